// The commands that change tables and index files: create, index, reindex, deltag, pack
// and zap. They open the table exclusive, as a program must for whole-table work, so a
// table another program has open is refused rather than changed under it.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "nv6_bld.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_memo.h"
#include "nvt_table.h"
#include "nvt_tool.h"

namespace fs = std::filesystem;

namespace {

struct FieldDef {
    std::string name;
    char type;
    int length;
    int decimals;
    // Where the field was given, for messages ("field 2", "list.txt line 3").
    std::string where;
};

int ToInt(const std::string& text, const std::string& what) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        throw NvtError(what + ": '" + text + "' is not a whole number");
    return std::stoi(text);
}

// Checks one field definition and fills in the fixed lengths of D, L and memo fields;
// `syntax` is how a definition is written where this one came from.
FieldDef MakeField(const std::vector<std::string>& parts, const std::string& where, const std::string& syntax) {
    if (parts.size() < 2 || parts.size() > 4) throw NvtError(where + ": expected " + syntax);
    FieldDef f;
    f.where = where;
    f.name = parts[0];
    if (f.name.empty()) throw NvtError(where + ": the field has no name (expected " + syntax + ")");
    for (char& c : f.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (f.name.size() > 10 || !std::isalpha(static_cast<unsigned char>(f.name[0])) ||
        f.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") != std::string::npos)
        throw NvtError(where + ": field name '" + parts[0] + "' must be 1 to 10 letters, digits or _, starting with a letter");
    if (parts[1].size() != 1) throw NvtError(where + ": field type '" + parts[1] + "' is not one letter");
    f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(parts[1][0])));
    f.length = parts.size() > 2 ? ToInt(parts[2], where) : 0;
    f.decimals = parts.size() > 3 ? ToInt(parts[3], where) : 0;
    switch (f.type) {
        case 'C':
            if (f.length < 1 || f.length > TnvTableLimits::kMaxCharLength)
                throw NvtError(where + ": a C field is 1 to " + std::to_string(TnvTableLimits::kMaxCharLength) +
                               " long");
            f.decimals = 0;
            break;
        case 'N':
        case 'F':
            if (f.length < 1 || f.length > TnvTableLimits::kMaxNumericLength)
                throw NvtError(where + ": an N or F field is 1 to " +
                               std::to_string(TnvTableLimits::kMaxNumericLength) + " long");
            if (f.decimals > 0 && f.decimals > f.length - 2)
                throw NvtError(where + ": " + std::to_string(f.decimals) + " decimals do not fit a length of " +
                               std::to_string(f.length));
            break;
        case 'D':
            f.length = 8;
            f.decimals = 0;
            break;
        case 'L':
            f.length = 1;
            f.decimals = 0;
            break;
        case 'M':
        case 'B':
        case 'G':
            f.length = 10;
            f.decimals = 0;
            break;
        default:
            throw NvtError(where + ": unknown field type '" + std::string(1, f.type) + "' (C, N, F, D, L, M, G)");
    }
    return f;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::vector<FieldDef> FieldsOf(const NvtArgs& args) {
    std::vector<FieldDef> fields;
    if (args.Has("fields") == args.Has("from")) throw NvtUsageError("create: give either --fields or --from");
    if (args.Has("fields")) {
        int i = 0;
        for (const std::string& part : NvtSplitList(args.Value("fields")))
            fields.push_back(MakeField(Words(part), "field " + std::to_string(++i), "NAME TYPE [LENGTH [DECIMALS]]"));
    } else {
        const std::string listing = args.Value("from");
        std::error_code ec;
        if (fs::is_directory(listing, ec)) throw NvtError(listing + " is a directory, not a field listing");
        std::ifstream in(listing);
        if (!in) throw NvtError("cannot read " + listing);
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos) continue;
            std::vector<std::string> parts;
            std::size_t start = 0;
            for (;;) {
                std::size_t semi = line.find(';', start);
                std::string part = line.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
                part.erase(0, part.find_first_not_of(" \t"));
                part.erase(part.find_last_not_of(" \t") + 1);
                parts.push_back(part);
                if (semi == std::string::npos) break;
                start = semi + 1;
            }
            fields.push_back(MakeField(parts, listing + " line " + std::to_string(number), "NAME;TYPE;LENGTH;DECIMALS"));
        }
        if (fields.empty()) throw NvtError(listing + " lists no fields");
    }
    if (fields.empty()) throw NvtError("create: no fields given");
    for (std::size_t i = 0; i < fields.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (fields[i].name == fields[j].name) throw NvtError("create: field " + fields[i].name + " is given twice");
    return fields;
}

// A FOR condition that gives no logical value would quietly leave every record out of
// the tag. It is tried on the first record (on the blank record of an empty table, where an
// error says nothing about the records to come).
void CheckLogical(NvtTable& table, const std::string& condition) {
    NVO_dBHandler& cursor = table.Cursor();
    std::unique_ptr<TnvIndexExpression> test = NvtCompile(cursor, condition, "FOR condition");
    TnvVariant result(16);
    if (cursor.RecordCount() > 0) {
        cursor.Go(1);
        test->Evaluate(result);
    } else {
        try {
            test->Evaluate(result);
        } catch (const Exception&) {
            return;
        }
    }
    if (result.Kind() != TnvVariant::kLogical)
        throw NvtError("the FOR condition '" + condition + "' does not give a logical value");
}

// Checks the fields against what the builder's flavour can hold.
void CheckLimits(const std::vector<FieldDef>& fields, const NVO_DBFBuild& build, const std::string& flavour) {
    const TnvTableLimits limits = build.Limits();
    if (static_cast<int>(fields.size()) > limits.maxFields)
        throw NvtError("create: a " + flavour + " table holds at most " + NvtCount(limits.maxFields, "field") +
                       ", not " + std::to_string(fields.size()));
    const std::string types = limits.types;
    for (const FieldDef& f : fields) {
        if (types.find(f.type) != std::string::npos) continue;
        std::string known;
        for (char c : types) known += std::string(known.empty() ? "" : ", ") + c;
        throw NvtError(f.where + ": a " + flavour + " table has no fields of type " + std::string(1, f.type) + " (only " +
                       known + ")");
    }
}

bool IsTagName(const std::string& name) {
    return !name.empty() && name.size() <= 10 &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
}

}  // namespace

int NvtCreate(const NvtArgs& args, NvtIo& io) {
    std::string flavour = args.Required("flavour");
    std::string path = args.positional[0];
    if (path.find_first_not_of(" \t") == std::string::npos) throw NvtError("create: no table named");
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw NvtError(path + " is a directory, not a table");
    std::vector<FieldDef> fields = FieldsOf(args);
    if (fs::path(path).extension().empty()) path += ".dbf";
    if (fs::exists(path, ec)) throw NvtError("table " + path + " exists already");
    std::unique_ptr<NVO_DBFBuild> build;
    if (flavour == "dbase3" || flavour == "clipper") {
        build = std::make_unique<NVO_DBFBuild>(path);
    } else if (flavour == "dbase4") {
        build = std::make_unique<NVO_DB4Build>(path);
    } else if (flavour == "foxpro") {
        build = std::make_unique<NVO_DBFoxBuild>(path);
    } else {
        throw NvtUsageError("create: --flavour is dbase3, dbase4 or foxpro, not '" + flavour + "'");
    }
    // A builder left without Build would build when it goes: only Build itself may create.
    build->SetCreateEnabled(false);
    if (const int page = NvtCodePageOption(args)) build->SetLanguageDriver(nvlocale::CodePage(page).LanguageDriver());
    CheckLimits(fields, *build, flavour == "clipper" ? "dbase3" : flavour);
    for (const FieldDef& f : fields) build->AddField(f.name, std::string(1, f.type), f.length, f.decimals);
    try {
        build->SetCreateEnabled(true);
        build->Build();
    } catch (...) {
        // What the builder wrote of a table that did not exist before is removed (and it
        // must not try again, and say so on stderr, when it goes).
        build->SetCreateEnabled(false);
        std::string memo = NVobjMemoBase::MemoFileName(build->FileName(), build->VersionByte());
        build.reset();
        fs::remove(path, ec);
        if (!memo.empty()) fs::remove(memo, ec);
        throw;
    }
    io.out << "created " << build->FileName() << " (" << NvtCount(static_cast<int64_t>(fields.size()), "field")
           << ", record length " << build->RecordLength() << ")\n";
    return kNvtExitOk;
}

int NvtIndex(const NvtArgs& args, NvtIo& io) {
    std::string path = args.Required("file");
    std::string key = args.Required("key");
    bool single = NvtSingleTagFile(path);
    bool ntx = NvHasExt(path, "ntx");
    bool replace = args.Has("replace");
    if (single && !ntx && args.Has("for")) throw NvtError("an NDX file cannot hold a FOR condition (an NTX file can)");
    if (single && args.Has("descending") && !ntx) throw NvtError("an NDX file cannot hold a descending order");
    std::string tagName = single ? std::string() : args.Required("tag");
    if (!single && !IsTagName(tagName))
        throw NvtError("tag name '" + tagName + "' is not 1 to 10 letters, digits and underscores");
    std::error_code ec;
    // A single-tag file is made anew, and may be another table's index: only on request.
    // The engine gives a name without extension ".ndx".
    if (single && fs::exists(fs::path(path).extension().empty() ? path + ".ndx" : path, ec) && !replace)
        throw NvtError(path + " exists (it may be another table's index); give --replace to build it anew");
    NvtTable table(args, true);
    const std::string memo = NvtMemoFieldInKey(table.Cursor(), key);
    if (!memo.empty())
        throw NvtError("memo fields cannot be keys, and " + memo + " is one (a part of it can: LEFT(" + memo + ", 20))");
    NvtCompile(table.Cursor(), key, "key");
    if (args.Has("for")) CheckLogical(table, args.Value("for"));
    // The index file keeps its expressions in the table's code page, as other programs read
    // them.
    const std::string keyText = NvtOemExpression(key, "key");
    const std::string forText = NvtOemExpression(args.Value("for"), "FOR condition");
    NVobjIndexFile& file = table.OpenIndex(path, true, single);
    if (!single) {
        // A compound file gets one more tag, or a tag built anew.
        if (NVobjIndexTag* old = file.TagByName(tagName)) {
            if (!replace) throw NvtError("tag " + tagName + " exists in " + path + "; deltag it first or give --replace");
            if (!file.TagDelete(old->tagName)) throw NvtError("could not replace tag " + tagName + " in " + path);
        }
    }
    // A single-tag file was made anew for the tag; without it, it is no index at all.
    auto drop = [&] {
        if (!single) return;
        const std::string made = file.diskFile ? file.diskFile->FileName() : path;
        table.CloseIndex(&file);
        std::error_code ec;
        fs::remove(made, ec);
    };
    bool added = false;
    try {
        added = file.TagAdd(tagName, keyText, args.Has("unique"), !args.Has("descending"), forText);
    } catch (...) {
        drop();
        throw;
    }
    if (!added) {
        drop();
        throw NvtError("could not add the tag to " + path);
    }
    table.FlushWritten();
    NVobjIndexTag* tag = single ? file.TagByNumber(0) : file.TagByName(tagName);
    io.out << "indexed " << (tag ? NvtTagName(file, *tag) : tagName) << " in " << file.MessageName() << "\n";
    return kNvtExitOk;
}

int NvtReindex(const NvtArgs& args, NvtIo& io) {
    if (args.Values("index").empty()) throw NvtUsageError("reindex: missing --index");
    NvtTable table(args, true);
    table.OpenIndexes(args);
    for (NVobjIndexFile* file : table.Indexes()) {
        file->Reindex();
        io.out << "reindexed " << file->MessageName() << "\n";
    }
    table.Flush();
    return kNvtExitOk;
}

int NvtDelTag(const NvtArgs& args, NvtIo& io) {
    if (args.Values("index").size() != 1) throw NvtUsageError("deltag: give one --index");
    std::string name = args.Required("tag");
    NvtTable table(args, true);
    NVobjIndexFile& file = table.OpenIndex(args.Values("index").front());
    NVobjIndexTag& tag = NvtFindTag(table.Indexes(), name);
    std::string shown = NvtTagName(file, tag);
    std::string path = file.diskFile ? file.diskFile->FileName() : file.FileName();
    if (NvtSingleTagFile(path)) {
        table.CloseIndex(&file);
        std::error_code ec;
        if (!fs::remove(path, ec)) throw NvtError("could not remove " + path + (ec ? ": " + ec.message() : ""));
        io.out << "removed " << path << "\n";
        return kNvtExitOk;
    }
    if (!file.TagDelete(tag.tagName)) throw NvtError("could not delete tag " + name + " from " + path);
    table.Flush();
    io.out << "deleted tag " << shown << " from " << path << "\n";
    return kNvtExitOk;
}

int NvtPack(const NvtArgs& args, NvtIo& io) {
    std::unique_ptr<NvtTable> table = NvtOpenForRecordWrites(args, io.err);
    int32_t before = table->Cursor().RecordCount();
    table->Cursor().Pack();
    table->Flush();
    int32_t after = table->Cursor().RecordCount();
    io.out << "packed: " << NvtCount(before - after, "deleted record") << " removed, " << after << " left\n";
    return kNvtExitOk;
}

int NvtZap(const NvtArgs& args, NvtIo& io) {
    if (!args.Has("yes")) throw NvtError("zap removes every record; give --yes to confirm");
    std::unique_ptr<NvtTable> table = NvtOpenForRecordWrites(args, io.err);
    int32_t before = table->Cursor().RecordCount();
    table->Cursor().Zap();
    table->Flush();
    io.out << "zapped: " << NvtCount(before, "record") << " removed\n";
    return kNvtExitOk;
}

int NvtPassword(const NvtArgs& args, NvtIo& io) {
    const std::string password = args.Required("new");
    NvtTable table(args, true);
    // The index files are opened with the old password first: one that does not read now
    // is refused before anything changes.
    table.OpenIndexes(args);
    table.OpenProductionIndex();
    table.WarnUnopenedIndexes(io.err, "it stays under the old password");
    table.Cursor().ChangePassword(password, {});
    table.Flush();
    io.out << (password.empty() ? "removed the password of " : "changed the password of ") << table.Path();
    if (!table.Indexes().empty())
        io.out << " and of " << NvtCount(static_cast<int64_t>(table.Indexes().size()), "index file");
    io.out << "\n";
    return kNvtExitOk;
}
