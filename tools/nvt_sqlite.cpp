// export --sqlite: the records into a table of an SQLite database, through the SQLite
// library, in one transaction, written beside the target and put in its place when done.
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "nvt_args.h"
#include "nvt_files.h"
#include "nvt_table.h"
#include "nvt_tool.h"

namespace {

namespace fs = std::filesystem;

// How a field's values go into SQLite.
enum class Kind { Text, Integer, Real, Numeric, Logical, Blob };

Kind KindOf(char type, int decimals) {
    switch (type) {
        case 'N': return decimals == 0 ? Kind::Integer : Kind::Real;
        case 'I': return Kind::Integer;
        case 'F':
        case 'B': return Kind::Real;
        case 'Y': return Kind::Numeric;
        case 'L': return Kind::Logical;
        case 'G':
        case 'W':
        case 'Q': return Kind::Blob;
        default: return Kind::Text;  // C, M, V, D, T
    }
}

const char* Declared(Kind kind) {
    switch (kind) {
        case Kind::Integer:
        case Kind::Logical: return "INTEGER";
        case Kind::Real: return "REAL";
        case Kind::Numeric: return "NUMERIC";
        case Kind::Blob: return "BLOB";
        default: return "TEXT";
    }
}

std::string Identifier(const std::string& name) {
    std::string out = "\"";
    for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

class Database {
public:
    explicit Database(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            Fail("cannot open " + path);
    }
    ~Database() {
        if (insert_) sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void Run(const std::string& sql) {
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
    }
    void Prepare(const std::string& sql) {
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &insert_, nullptr) != SQLITE_OK) Fail(sql);
    }
    sqlite3_stmt* Insert() { return insert_; }
    void Step() {
        if (sqlite3_step(insert_) != SQLITE_DONE) Fail("insert");
        sqlite3_reset(insert_);
        sqlite3_clear_bindings(insert_);
    }
    [[noreturn]] void Fail(const std::string& what) {
        throw NvtError("SQLite: " + std::string(db_ ? sqlite3_errmsg(db_) : "out of memory") + " (" + what + ")");
    }

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

// Binds one field's value; blank values stay NULL.
void Bind(Database& db, int column, Kind kind, NVO_dBHandler& t, int n) {
    sqlite3_stmt* s = db.Insert();
    if (kind == Kind::Blob) {
        const std::string bytes = NvtMemoBytes(t, n);
        if (!bytes.empty()) sqlite3_bind_blob(s, column, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        return;
    }
    const std::string text = NvtTextValue(t, n);
    if (text.find_first_not_of(' ') == std::string::npos) return;
    switch (kind) {
        case Kind::Logical:
            if (text == "T" || text == "F") sqlite3_bind_int(s, column, text == "T" ? 1 : 0);
            return;
        case Kind::Integer: {
            char* end = nullptr;
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (end && *end == '\0') {
                sqlite3_bind_int64(s, column, v);
                return;
            }
            break;  // a number too wide or a damaged field: as it reads
        }
        case Kind::Real:
        case Kind::Numeric: {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (end && *end == '\0' && std::isfinite(v)) {
                sqlite3_bind_double(s, column, v);
                return;
            }
            break;
        }
        default: break;
    }
    sqlite3_bind_text(s, column, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

int NvtExportSqlite(const NvtArgs& args, NvtIo& io) {
    const std::string target = args.Required("sqlite");
    if (target == "-") throw NvtUsageError("export: --sqlite needs a file, not standard output");
    if (args.Has("bom")) throw NvtUsageError("export: --bom goes with --csv");
    NvtTable table(args, args.Has("exclusive"));
    table.OpenIndexes(args);
    if (args.Has("order")) table.OpenProductionIndex();
    std::error_code ec;
    std::vector<std::string> own = table.OwnFiles();
    if (fs::exists(target, ec))
        for (const std::string& index : table.UnopenedIndexFiles()) own.push_back(index);
    for (const std::string& file : own)
        if (NvtSameFile(file, target))
            throw NvtError("will not write the database over " + file + ", a file of the table " + table.Path());

    NVO_dBHandler& t = table.Cursor();
    t.SetReadAhead(true);
    NVobjIndexTag* tag = args.Has("order") ? &NvtFindTag(table.Indexes(), args.Value("order")) : nullptr;
    const bool withDeleted = args.Has("with-deleted");
    std::string name = args.Value("table", fs::path(table.Path()).stem().string());
    if (name.find_first_not_of(" \t") == std::string::npos) throw NvtUsageError("export: --table needs a name");

    NvtOutputFile output(target, io.out);
    // Tables already in the database stay: the copy is changed, then takes its place.
    if (fs::exists(target, ec)) fs::copy_file(target, output.TemporaryPath(), fs::copy_options::overwrite_existing, ec);
    if (ec) throw NvtError("cannot copy " + target + ": " + ec.message());
    int32_t rows = 0;
    {
        Database db(output.TemporaryPath());
        // The copy is private until it is complete: no journal is needed to protect it.
        db.Run("PRAGMA journal_mode=OFF");
        db.Run("PRAGMA synchronous=OFF");
        db.Run("BEGIN");
        std::vector<Kind> kinds;
        std::string columns = "\"recno\" INTEGER PRIMARY KEY", marks = "?";
        for (int n = 1; n <= t.FieldCount(); ++n) {
            kinds.push_back(KindOf(t.FieldType(n), t.FieldDecimals(n)));
            columns += ", " + Identifier(t.FieldName(n)) + " " + Declared(kinds.back());
            marks += ",?";
        }
        if (withDeleted) {
            columns += ", \"deleted\" INTEGER NOT NULL";
            marks += ",?";
        }
        db.Run("DROP TABLE IF EXISTS " + Identifier(name));
        db.Run("CREATE TABLE " + Identifier(name) + " (" + columns + ")");
        db.Prepare("INSERT INTO " + Identifier(name) + " VALUES (" + marks + ")");
        NvtForEachRecord(table, tag, args.Value("filter"), !withDeleted, [&](int32_t record) {
            sqlite3_bind_int64(db.Insert(), 1, record);
            for (int n = 1; n <= t.FieldCount(); ++n) Bind(db, n + 1, kinds[static_cast<std::size_t>(n - 1)], t, n);
            if (withDeleted) sqlite3_bind_int(db.Insert(), t.FieldCount() + 2, t.RecordPointer()[0] != ' ' ? 1 : 0);
            db.Step();
            ++rows;
        });
        db.Run("COMMIT");
    }
    output.Commit();
    io.out << "exported " << rows << (rows == 1 ? " record" : " records") << " to table " << name << " of " << target
           << "\n";
    return kNvtExitOk;
}
