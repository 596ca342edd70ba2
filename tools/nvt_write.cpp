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
#include "nvt_table.h"
#include "nvt_tool.h"

namespace fs = std::filesystem;

namespace {

struct FieldDef {
    std::string name;
    char type;
    int length;
    int decimals;
};

int ToInt(const std::string& text, const std::string& what) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        throw NvtError(what + ": '" + text + "' is not a whole number");
    return std::stoi(text);
}

// Checks one field definition and fills in the fixed lengths of D, L and memo fields.
FieldDef MakeField(const std::vector<std::string>& parts, const std::string& where) {
    if (parts.size() < 2 || parts.size() > 4) throw NvtError(where + ": expected NAME TYPE [LENGTH [DECIMALS]]");
    FieldDef f;
    f.name = parts[0];
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
            if (f.length < 1 || f.length > 65535) throw NvtError(where + ": a C field is 1 to 65535 long");
            f.decimals = 0;
            break;
        case 'N':
        case 'F':
            if (f.length < 1 || f.length > 20) throw NvtError(where + ": an N or F field is 1 to 20 long");
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
            throw NvtError(where + ": unknown field type '" + std::string(1, f.type) + "' (C, N, F, D, L, M, B, G)");
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
            fields.push_back(MakeField(Words(part), "field " + std::to_string(++i)));
    } else {
        std::ifstream in(args.Value("from"));
        if (!in) throw NvtError("cannot read " + args.Value("from"));
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
            fields.push_back(MakeField(parts, args.Value("from") + " line " + std::to_string(number)));
        }
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
    std::unique_ptr<TnvIndexExpression> test = cursor.CompileExpression(condition);
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

}  // namespace

int NvtCreate(const NvtArgs& args, NvtIo& io) {
    std::string flavour = args.Required("flavour");
    std::vector<FieldDef> fields = FieldsOf(args);
    std::string path = args.positional[0];
    if (fs::path(path).extension().empty()) path += ".dbf";
    std::error_code ec;
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
    for (const FieldDef& f : fields) build->AddField(f.name, std::string(1, f.type), f.length, f.decimals);
    build->Build();
    io.out << "created " << build->FileName() << " (" << fields.size() << " fields, record length "
           << build->RecordLength() << ")\n";
    return kNvtExitOk;
}

int NvtIndex(const NvtArgs& args, NvtIo& io) {
    std::string path = args.Required("file");
    std::string key = args.Required("key");
    bool single = NvtSingleTagFile(path);
    bool ntx = NvHasExt(path, "ntx");
    if (single && !ntx && args.Has("for")) throw NvtError("an NDX file cannot hold a FOR condition");
    if (single && args.Has("descending") && !ntx) throw NvtError("an NDX file cannot hold a descending order");
    std::string tagName = single ? std::string() : args.Required("tag");
    NvtTable table(args.positional[0], args.Value("password"), true);
    if (args.Has("for")) CheckLogical(table, args.Value("for"));
    // A single-tag file is made anew; a compound one gets one more tag.
    NVobjIndexFile& file = table.OpenIndex(path, true, single);
    if (!single && file.TagByName(tagName)) throw NvtError("tag " + tagName + " exists in " + path + "; deltag it first");
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
        added = file.TagAdd(tagName, key, args.Has("unique"), !args.Has("descending"), args.Value("for"));
    } catch (...) {
        drop();
        throw;
    }
    if (!added) {
        drop();
        throw NvtError("could not add the tag to " + path);
    }
    table.Flush();
    NVobjIndexTag* tag = single ? file.TagByNumber(0) : file.TagByName(tagName);
    io.out << "indexed " << (tag ? NvtTagName(file, *tag) : tagName) << " in " << file.MessageName() << "\n";
    return kNvtExitOk;
}

int NvtReindex(const NvtArgs& args, NvtIo& io) {
    if (args.Values("index").empty()) throw NvtUsageError("reindex: missing --index");
    NvtTable table(args.positional[0], args.Value("password"), true);
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
    NvtTable table(args.positional[0], args.Value("password"), true);
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
    io.out << "packed: " << (before - after) << " deleted records removed, " << after << " left\n";
    return kNvtExitOk;
}

int NvtZap(const NvtArgs& args, NvtIo& io) {
    if (!args.Has("yes")) throw NvtError("zap removes every record; give --yes to confirm");
    std::unique_ptr<NvtTable> table = NvtOpenForRecordWrites(args, io.err);
    int32_t before = table->Cursor().RecordCount();
    table->Cursor().Zap();
    table->Flush();
    io.out << "zapped: " << before << " records removed\n";
    return kNvtExitOk;
}

int NvtPassword(const NvtArgs& args, NvtIo& io) {
    const std::string password = args.Required("new");
    NvtTable table(args.positional[0], args.Value("password"), true);
    // The index files are opened with the old password first: one that does not read now
    // is refused before anything changes.
    table.OpenIndexes(args);
    table.OpenProductionIndex();
    table.WarnUnopenedIndexes(io.err, "it stays under the old password");
    table.Cursor().ChangePassword(password, {});
    table.Flush();
    io.out << (password.empty() ? "removed the password of " : "changed the password of ") << table.Path();
    if (!table.Indexes().empty()) io.out << " and of " << table.Indexes().size() << " index file(s)";
    io.out << "\n";
    return kNvtExitOk;
}
