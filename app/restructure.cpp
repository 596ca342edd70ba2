#include "restructure.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "nv6_dbsy.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_indx.h"
#include "nv6_lcal.h"
#include "nv6_memo.h"
#include "nv6_os.h"
#include "nv6_tool.h"

namespace {

using TLog = std::function<void(const std::string&)>;
using TStatus = std::function<void(int32_t, int32_t, int32_t)>;

// A table whose index builds report their progress to the job's status.
class TReportingHandler : public NVO_dBHandler {
public:
    TReportingHandler(const std::string& path, bool shared, bool readWrite, const std::string& password,
                      TStatus status)
        : NVO_dBHandler(path, shared, readWrite, password), status_(std::move(status)) {}

    void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override {
        NVO_dBHandler::StatusUpdate(stat1, stat2, stat3);
        if (status_) status_(stat1, stat2, stat3);
    }

private:
    TStatus status_;
};

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtensionOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return path.substr(dot);
}

std::string TrimmedRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

bool Exists(const std::string& path) { return !path.empty() && NvOS().Exists(path); }

// A name beside `path` that nothing has, with the same extension.
std::string FreeNameBeside(const std::string& path) {
    for (;;) {
        std::string name = DirectoryOf(path) + "_" + UniqueName() + ExtensionOf(path);
        if (!NvOS().Exists(name)) return name;
    }
}

// The file steps of the exchange, each checked and remembered so that they can be undone in
// reverse. Files in the way (backups of an earlier restructure) are moved aside rather than
// deleted, and go only once every step has been made.
class TFileSteps {
public:
    explicit TFileSteps(TLog log) : log_(std::move(log)) {}

    // Renames `from` to `to`, which must not exist; "Error on Rename of file %s" otherwise.
    void Move(const std::string& from, const std::string& to) {
        log_("Rename " + from + " to " + to);
        if (!NvOS().RenameNoReplace(from, to)) NvRaise(TnvMsg::RenameError, {from});
        done_.emplace_back(from, to);
    }
    // Moves an existing file out of the way of a later step.
    void SetAside(const std::string& path) {
        if (!Exists(path)) return;
        const std::string aside = FreeNameBeside(path);
        Move(path, aside);
        aside_.push_back(aside);
    }
    // Removes what was set aside; a file that stays is only noted.
    void Commit() {
        for (const std::string& path : aside_) {
            log_("Delete " + path);
            if (!NvOS().Unlink(path)) log_("Could not delete " + path);
        }
        done_.clear();
        aside_.clear();
    }
    // Puts every moved file back, last first; false when one of them could not be.
    bool Undo() {
        bool complete = true;
        for (auto it = done_.rbegin(); it != done_.rend(); ++it) {
            log_("Rename " + it->second + " to " + it->first);
            if (!NvOS().RenameNoReplace(it->second, it->first)) {
                log_("Could not rename " + it->second + " back to " + it->first);
                complete = false;
            }
        }
        done_.clear();
        aside_.clear();
        return complete;
    }

private:
    TLog log_;
    std::vector<std::pair<std::string, std::string>> done_;
    std::vector<std::string> aside_;
};

// The tags of one index file as the old table knew them.
struct TIndexDefinition {
    std::string path;
    struct Tag {
        std::string name, key, forExpression;
    };
    std::vector<Tag> definitions;
    std::string problem;
};

std::string TagLabel(const std::string& tagName, const std::string& path) {
    const std::string name = TrimmedRight(tagName);
    return nvlocale::AnsiUpperCase(name.empty() ? BaseName(path) : name);
}

// Reads the tag definitions of the table's index files from the old table, so that a tag
// whose expression no longer compiles on the new fields can be named.
std::vector<TIndexDefinition> ReadIndexDefinitions(NVO_dBHandler& old, const TRestructureJob& job) {
    std::vector<std::string> paths = job.indexFiles;
    for (const char* ext : {"cdx", "mdx"}) {
        const std::string production = NvFindFileNoCase(NvCompanionName(job.oldPath, ext));
        bool listed = false;
        for (const std::string& p : paths) listed = listed || p == production;
        if (!listed && Exists(production)) paths.push_back(production);
    }
    std::vector<TIndexDefinition> files;
    for (const std::string& path : paths) {
        TIndexDefinition file;
        file.path = path;
        try {
            old.CloseIndexes();
            if (old.OpenIndex(path) != 0) continue;  // named twice in the list
            for (int n = 1; NVobjIndexTag* tag = old.TagByOrdinal(n); ++n)
                file.definitions.push_back({TagLabel(tag->tagName, path), tag->keyExpression, tag->forExpression});
        } catch (const Exception& e) {
            file.problem = e.Message();
        }
        files.push_back(std::move(file));
    }
    old.CloseIndexes();
    return files;
}

std::string MemoBytes(NVO_dBHandler& table, int field) {
    const int32_t size = table.MemoSize(field);
    if (size <= 0) return {};
    std::string bytes(static_cast<std::size_t>(size), '\0');
    const int32_t read = table.ReadMemo(field, reinterpret_cast<uint8_t*>(bytes.data()), size);
    bytes.resize(static_cast<std::size_t>(read > 0 ? read : 0));
    return bytes;
}

void StoreMemo(NVO_dBHandler& table, int field, const std::string& bytes) {
    if (bytes.empty()) return;
    table.SetNumber(field, table.WriteMemo(field, reinterpret_cast<const uint8_t*>(bytes.data()),
                                           static_cast<int32_t>(bytes.size())));
}

bool IsNumber(char type) { return type == 'N' || type == 'F'; }
// Visual FoxPro keeps I, Y and B (a B that is not a memo) as binary numbers in the record.
bool HoldsNumber(char type) { return IsNumber(type) || type == 'I' || type == 'Y' || type == 'B'; }

// Copies every record of `old` (deleted ones too, still deleted; no filter, no order) into
// `target`, one record at a time through the old cursor's read-ahead.
void CopyRecords(NVO_dBHandler& old, NVO_dBHandler& target, const std::vector<int>& fieldMap,
                 const TStatus& status) {
    const int fields = std::min<int>(static_cast<int>(fieldMap.size()), target.FieldCount());
    old.SetShowDeleted(true);
    old.SetReadAhead(true);
    // The phase ends however the copy does, so the progress dialog never outlives it.
    struct PhaseEnd {
        const TStatus& status;
        ~PhaseEnd() {
            if (status) status(0, 0, 0);
        }
    } phaseEnd{status};
    if (status) status(-1, 6, old.RecordCount());
    old.Go(-3);
    while (!old.Eof() && old.CurrentRecord() > 0) {
        if (status) status(6, old.CurrentRecord(), 0);
        const bool deleted = old.RecordPointer()[0] == '*';
        target.BlankRecord();
        for (int a = 1; a <= fields; ++a) CopyFieldValue(old, fieldMap[static_cast<std::size_t>(a - 1)], target, a);
        target.Append();
        if (deleted) target.DeleteRecord();
        old.Go(-1);
    }
}

// The new table's index work once it has the old name: every file whose tags all compile on
// the new fields is opened and rebuilt; the others are reported by tag and left alone.
void RebuildIndexes(const TRestructureJob& job, const std::vector<TIndexDefinition>& files, bool productionFlag,
                    TRestructureResult& result) {
    if (files.empty()) return;
    TReportingHandler table(job.oldPath, false, true, job.password, job.status);
    // A production index is one whose base name is the table's.
    auto isProduction = [&](const std::string& path) {
        return (NvHasExt(path, "cdx") || NvHasExt(path, "mdx")) &&
               nvlocale::AnsiUpperCase(BaseName(path)) == nvlocale::AnsiUpperCase(BaseName(job.oldPath));
    };
    bool productionRebuilt = false;
    for (const TIndexDefinition& file : files) {
        if (!file.problem.empty()) {
            result.problems.push_back(file.path + ": " + file.problem);
            continue;
        }
        std::string problem;
        for (const TIndexDefinition::Tag& tag : file.definitions) {
            try {
                table.CompileExpression(tag.key);
                if (!tag.forExpression.empty()) table.CompileExpression(tag.forExpression);
            } catch (const Exception& e) {
                problem = "index tag " + tag.name + " no longer fits the table (" + e.Message() + ")";
                break;
            }
        }
        if (problem.empty()) {
            try {
                table.OpenIndex(file.path);
                const int slot = table.FindIndexFile(file.path);
                if (slot == 0) NvRaise(TnvMsg::FileNotFound, {file.path});
                table.IndexFile(slot)->Reindex();
                result.rebuiltIndexFiles.push_back(file.path);
                productionRebuilt = productionRebuilt || isProduction(file.path);
            } catch (const Exception& e) {
                problem = e.Message();
            }
        }
        if (!problem.empty()) {
            result.problems.push_back(file.path + ": " + problem);
            table.CloseIndex(file.path);
        }
    }
    if (productionFlag && productionRebuilt && !table.ProductionIndex()) table.SetProductionIndex(true);
    table.CloseIndexes();
    table.WriteHeader();
}

}  // namespace

void CopyFieldValue(NVO_dBHandler& source, int from, NVO_dBHandler& target, int to) {
    if (from < 1 || from > source.FieldCount()) return;
    const char fromType = source.FieldType(from);
    const char toType = target.FieldType(to);
    const bool fromMemo = source.IsMemoField(from);
    const bool toMemo = target.IsMemoField(to);
    if (fromMemo) {
        // Binary and OLE memos mean nothing as text; a memo's text fits a C field, cut.
        if (toMemo)
            StoreMemo(target, to, MemoBytes(source, from));
        else if (fromType == 'M' && toType == 'C')
            target.PutRaw(to, MemoBytes(source, from));
        return;
    }
    if (toMemo) {
        StoreMemo(target, to, fromType == 'C' ? TrimmedRight(source.GetRaw(from)) : source.GetText(from));
        return;
    }
    if (fromType == toType && source.FieldLength(from) == target.FieldLength(to) &&
        source.FieldDecimals(from) == target.FieldDecimals(to)) {
        target.PutRaw(to, source.GetRaw(from));
    } else if (fromType == 'C' && toType == 'C') {
        // Leading blanks are part of the value; the display text would drop them.
        target.PutRaw(to, TrimmedRight(source.GetRaw(from)));
    } else if (HoldsNumber(fromType) && IsNumber(toType)) {
        target.SetNumber(to, source.GetNumber(from));
    } else {
        target.PutText(to, source.GetText(from));
    }
}

TRestructureResult RestructureTable(const TRestructureJob& job) {
    const TLog log = job.log ? job.log : TLog([](const std::string& line) {
        std::fprintf(stderr, "Pelmora: %s\n", line.c_str());
    });
    TRestructureResult result;
    std::string newMemo;
    auto removeNewFiles = [&] {
        for (const std::string& path : {job.newPath, newMemo}) {
            if (!Exists(path)) continue;
            log("Delete " + path);
            NvOS().Unlink(path);
        }
    };

    // The old table stays open, exclusive, until its files have been exchanged.
    auto old = std::make_unique<NVO_dBHandler>(job.oldPath, false, false, job.password);
    const bool productionFlag = old->ProductionIndex();
    std::vector<TIndexDefinition> indexFiles;
    uint8_t oldVersion = old->Version();
    uint8_t newVersion = 0;
    try {
        indexFiles = ReadIndexDefinitions(*old, job);
        {
            NVO_dBHandler target(job.newPath, false, true, "");
            newVersion = target.Version();
            if (target.HasMemo()) newMemo = NVobjMemoBase::MemoFileName(job.newPath, newVersion);
            CopyRecords(*old, target, job.fieldMap, job.status);
            target.Flush();
        }
        if (!job.password.empty()) {
            NVO_dBHandler target(job.newPath, false, true, "");
            target.SetPassword(job.password);
            target.Flush();
        }
    } catch (...) {
        old.reset();
        removeNewFiles();
        throw;
    }

    const std::string oldMemo = old->HasMemo() ? NVobjMemoBase::MemoFileName(job.oldPath, oldVersion) : "";
    TFileSteps steps(log);
    try {
        const std::string tableBackup = NvFindFileNoCase(NvCompanionName(job.oldPath, "hbf"));
        steps.SetAside(tableBackup);
        steps.Move(job.oldPath, tableBackup);
        if (Exists(oldMemo)) {
            const bool fox = oldVersion == 0x30 || oldVersion == 0xF5;
            const std::string memoBackup = NvFindFileNoCase(NvCompanionName(job.oldPath, fox ? "hpt" : "hbt"));
            steps.SetAside(memoBackup);
            steps.Move(oldMemo, memoBackup);
        }
        if (Exists(newMemo)) {
            // A memo file of the other kind may be left beside the table from long ago.
            const std::string memo = NvFindFileNoCase(NvCompanionName(job.oldPath, ExtensionOf(newMemo)));
            steps.SetAside(memo);
            steps.Move(newMemo, memo);
        }
        steps.Move(job.newPath, job.oldPath);
    } catch (...) {
        const bool undone = steps.Undo();
        old.reset();
        removeNewFiles();
        if (undone) throw;
        std::string message = "Error on Rename";
        try {
            throw;
        } catch (const std::exception& e) {
            message = e.what();
        }
        throw ENorvaneError(message + ". The old table could not be put back under its name; it is kept as " +
                            NvCompanionName(job.oldPath, "hbf") + ".");
    }
    old.reset();
    steps.Commit();

    try {
        RebuildIndexes(job, indexFiles, productionFlag, result);
    } catch (const Exception& e) {
        // The new table is in place; what is left undone concerns its index files only.
        result.problems.push_back(e.Message());
    }
    return result;
}
