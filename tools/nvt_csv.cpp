// export and import: records to and from RFC 4180 CSV with a header row. Text is UTF-8 in
// the CSV and code page 437 in the table; dates are ISO 8601; memo values travel inline.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "nv6_date.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nvt_files.h"
#include "nvt_table.h"
#include "nvt_tool.h"

namespace {

constexpr long double kMsPerDay = 86400000.0L;
constexpr int32_t kJulianOfDayOne = 1721425;

std::string Quoted(const std::string& value) {
    bool plain = value.find_first_of(",\"\r\n") == std::string::npos && !value.empty() && value.front() != ' ' &&
                 value.back() != ' ';
    if (plain || value.empty()) return value;
    std::string s = "\"";
    for (char c : value) {
        if (c == '"') s += '"';
        s += c;
    }
    return s + "\"";
}

struct CsvRow {
    int line;  // where the row starts
    std::vector<std::string> cells;
};

// Reads CSV rows from a stream, one at a time, so that an input of any size takes no more
// memory than its longest row; quoted cells may hold separators, quotes and line breaks.
class CsvReader {
public:
    CsvReader(std::istream& in, std::string name) : in_(in), name_(std::move(name)) {
        if (Peek() == 0xEF) {
            // A byte-order mark is skipped; anything else that starts so is data.
            Fill();
            if (have_ - at_ >= 3 && buffer_.compare(at_, 3, "\xEF\xBB\xBF") == 0) at_ += 3;
        }
    }

    // The next row that holds something; false at the end of the input.
    bool Next(CsvRow& row) {
        for (;;) {
            if (Peek() < 0) return false;
            row.line = line_;
            row.cells.clear();
            bool endOfRow = false;
            while (!endOfRow) {
                std::string cell;
                if (Peek() == '"') {
                    Get();
                    for (;;) {
                        const int c = Get();
                        if (c < 0)
                            throw NvtError(name_ + " line " + std::to_string(row.line) +
                                           ": quoted value without its closing quote");
                        if (c == '"') {
                            if (Peek() == '"') {
                                cell += '"';
                                Get();
                                continue;
                            }
                            break;
                        }
                        if (c == '\n') ++line_;
                        cell += static_cast<char>(c);
                    }
                    const int after = Peek();
                    if (after >= 0 && after != ',' && after != '\r' && after != '\n')
                        throw NvtError(name_ + " line " + std::to_string(line_) + ": text after a closing quote");
                } else {
                    for (int c = Peek(); c >= 0 && c != ',' && c != '\r' && c != '\n'; c = Peek()) {
                        cell += static_cast<char>(c);
                        Get();
                    }
                }
                row.cells.push_back(std::move(cell));
                if (Peek() == ',') {
                    Get();
                    continue;
                }
                if (Peek() == '\r') Get();
                if (Peek() == '\n') Get();
                ++line_;
                endOfRow = true;
            }
            // A blank line between rows carries nothing.
            if (row.cells.size() == 1 && row.cells[0].empty()) continue;
            return true;
        }
    }

private:
    int Peek() {
        if (at_ >= have_ && !Fill()) return -1;
        return static_cast<unsigned char>(buffer_[at_]);
    }
    int Get() {
        const int c = Peek();
        if (c >= 0) ++at_;
        return c;
    }
    // Keeps what is left and reads more behind it; false when nothing more came.
    bool Fill() {
        buffer_.erase(0, at_);
        have_ -= at_;
        at_ = 0;
        buffer_.resize(have_ + kChunk);
        in_.read(&buffer_[have_], static_cast<std::streamsize>(kChunk));
        const auto got = static_cast<std::size_t>(in_.gcount());
        if (in_.bad()) throw NvtError("cannot read " + name_);
        have_ += got;
        buffer_.resize(have_);
        return got > 0;
    }

    static constexpr std::size_t kChunk = 64 * 1024;
    std::istream& in_;
    std::string name_;
    std::string buffer_;
    std::size_t at_ = 0;
    std::size_t have_ = 0;
    int line_ = 1;
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// yyyy-mm-dd or yyyymmdd; 0 when it is neither or no real day.
int32_t ParseIsoDate(const std::string& text) {
    std::string digits;
    if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        digits = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
    } else if (text.size() == 8) {
        digits = text;
    } else {
        return 0;
    }
    if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return TnvDBFDate::YMDToDay(std::stoi(digits.substr(0, 4)), std::stoi(digits.substr(4, 2)),
                                std::stoi(digits.substr(6, 2)));
}

// What an import may change in a value to make it fit, and how often it did.
struct Leeway {
    bool round = false;
    bool nearestCharacters = false;
    int64_t rounded = 0;
    int64_t replaced = 0;
};

// A control character in text a field would keep: a NUL byte, say, cuts keys short in
// other programs. Memo text may hold tabs and line ends.
void RefuseControlCharacters(const std::string& value, bool memo) {
    std::size_t position = 0;
    for (char ch : value) {
        auto c = static_cast<uint8_t>(ch);
        if ((c & 0xC0) != 0x80) ++position;
        if (c >= 0x20 || (memo && (c == '\t' || c == '\r' || c == '\n'))) continue;
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", c);
        throw NvtError(std::string("it holds the control character ") + code + " at character " +
                       std::to_string(position) + (memo ? "" : " (only memo fields take tabs and line breaks)"));
    }
}

// Stores one cell into field `n` of the record being built; memo values only when
// `commit` (the check pass leaves the memo file alone), and only then are changes counted
// in `leeway`. Raises NvtError with the reason.
void StoreCell(NVO_dBHandler& t, int n, const std::string& value, bool commit, Leeway& leeway) {
    char type = t.FieldType(n);
    bool vfp = t.Version() == nvdbf::kVerVfp;
    bool binary = vfp && (type == 'I' || type == 'Y' || type == 'B' || type == 'T');
    if (value.empty()) {
        // Blank, as an export writes a blank field: numbers, dates and logicals alike (the
        // record starts with zeros in its numbers). Binary numbers have no blank.
        if (!binary && !t.IsMemoField(n)) t.PutRaw(n, "");
        return;
    }
    auto text = [&] {
        RefuseControlCharacters(value, t.IsMemoField(n));
        std::string oem, bad, nearest;
        switch (NvtToOem(value, oem, leeway.nearestCharacters, &bad, &nearest)) {
            case NvtOemResult::Exact:
                break;
            case NvtOemResult::Replaced:
                if (commit) ++leeway.replaced;
                break;
            case NvtOemResult::NotUtf8:
                throw NvtError("it is not UTF-8 text");
            case NvtOemResult::Unmappable:
                if (nearest.empty()) throw NvtError("the table's code page has no character like '" + bad + "'");
                throw NvtError("the table's code page has no '" + bad + "' (--replace-unmappable stores '" + nearest +
                               "')");
        }
        return oem;
    };
    // A number with more decimals than `decimals` (negative: any) loses digits.
    auto number = [&](int decimals) {
        double v = 0;
        if (!nvlocale::TryParseNumber(value, v, '.')) throw NvtError("it is not a number");
        double kept = v;
        if (decimals >= 0 && (!nvlocale::TryParseNumber(nvlocale::FormatFixed(v, decimals), kept, '.') || kept != v)) {
            if (!leeway.round)
                throw NvtError("it has more decimals than the field's " + std::to_string(decimals) +
                               " (--round stores it rounded)");
            if (commit) ++leeway.rounded;
        }
        return kept;
    };
    if (t.IsMemoField(n)) {
        std::string oem = text();
        if (!commit) return;
        int32_t block = t.WriteMemo(n, reinterpret_cast<const uint8_t*>(oem.data()), static_cast<int32_t>(oem.size()));
        t.SetNumber(n, block);
        return;
    }
    switch (type) {
        case 'C': {
            std::string oem = text();
            if (static_cast<int>(oem.size()) > t.FieldLength(n))
                throw NvtError(std::to_string(oem.size()) + " characters do not fit the field's " +
                               std::to_string(t.FieldLength(n)));
            t.PutRaw(n, oem);
            return;
        }
        case 'N':
        case 'F':
            t.SetNumber(n, number(t.FieldDecimals(n)));
            return;
        case 'D': {
            int32_t day = ParseIsoDate(value);
            if (day <= 0) throw NvtError("it is not a date yyyy-mm-dd");
            t.SetDate(n, day);
            return;
        }
        case 'L': {
            std::string v = Lower(value);
            if (v == "t" || v == "y" || v == "true") {
                t.SetLogical(n, true);
            } else if (v == "f" || v == "n" || v == "false") {
                t.SetLogical(n, false);
            } else if (v == "?") {
                t.PutRaw(n, "?");
            } else {
                throw NvtError("it is not a logical (T, F, Y, N, true, false, ?)");
            }
            return;
        }
        default:
            break;
    }
    if (vfp && (type == 'I' || type == 'Y' || type == 'B')) {
        t.SetNumber(n, number(type == 'I' ? 0 : type == 'Y' ? 4 : -1));
        return;
    }
    if (vfp && type == 'T') {
        int hh = 0, mi = 0, ss = 0;
        int32_t day = value.size() >= 10 ? ParseIsoDate(value.substr(0, 10)) : 0;
        if (day > 0 && value.size() > 10) {
            char sep = 0;
            if (std::sscanf(value.c_str() + 10, "%c%2d:%2d:%2d", &sep, &hh, &mi, &ss) != 4 || (sep != 'T' && sep != ' ') ||
                hh > 23 || mi > 59 || ss > 59)
                day = 0;
        }
        if (day <= 0) throw NvtError("it is not a date-time yyyy-mm-ddThh:mm:ss");
        long double ms = (static_cast<long double>(day) - kJulianOfDayOne) * kMsPerDay + ((hh * 60 + mi) * 60 + ss) * 1000.0L;
        t.SetNumber(n, ms);
        return;
    }
    std::string oem = text();
    if (static_cast<int>(oem.size()) > t.FieldLength(n))
        throw NvtError(std::to_string(oem.size()) + " bytes do not fit the field's " + std::to_string(t.FieldLength(n)));
    t.PutRaw(n, oem);
}

}  // namespace

int NvtExport(const NvtArgs& args, NvtIo& io) {
    if (args.Has("sqlite") && args.Has("csv")) throw NvtUsageError("export: --csv or --sqlite, not both");
    if (args.Has("sqlite")) return NvtExportSqlite(args, io);
    for (const char* option : {"table", "with-deleted"})
        if (args.Has(option)) throw NvtUsageError(std::string("export: --") + option + " goes with --sqlite");
    const std::string target = args.Required("csv");
    NvtTable table(args, args.Has("exclusive"));
    table.OpenIndexes(args);
    if (args.Has("order")) table.OpenProductionIndex();
    std::error_code ec;
    if (target != "-") {
        // Writing over the table's own files would destroy what is being read.
        std::vector<std::string> own = table.OwnFiles();
        if (std::filesystem::exists(target, ec))
            for (const std::string& index : table.UnopenedIndexFiles()) own.push_back(index);
        for (const std::string& file : own)
            if (NvtSameFile(file, target))
                throw NvtError("will not write the CSV over " + file + ", a file of the table " + table.Path());
    }
    NVO_dBHandler& t = table.Cursor();
    t.SetReadAhead(true);
    NVobjIndexTag* tag = args.Has("order") ? &NvtFindTag(table.Indexes(), args.Value("order")) : nullptr;
    NvtOutputFile output(target, io.out);
    std::ostream& out = output.Stream();
    std::string line;
    // Spreadsheet programs that guess the encoding want the mark; everything else reads
    // plain UTF-8 better without it.
    if (args.Has("bom")) out << "\xEF\xBB\xBF";
    for (int n = 1; n <= t.FieldCount(); ++n) {
        if (n > 1) line += ',';
        line += Quoted(t.FieldName(n));
    }
    out << line << "\r\n";
    int32_t rows = 0;
    NvtForEachRecord(table, tag, args.Value("filter"), true, [&](int32_t) {
        line.clear();
        for (int n = 1; n <= t.FieldCount(); ++n) {
            if (n > 1) line += ',';
            line += Quoted(NvtTextValue(t, n));
        }
        out << line << "\r\n";
        ++rows;
    });
    output.Commit();
    if (target != "-") io.out << "exported " << NvtCount(rows, "record") << " to " << target << "\n";
    return kNvtExitOk;
}

int NvtImport(const NvtArgs& args, NvtIo& io) {
    const std::string source = args.Required("csv");
    std::string name = source;
    std::ifstream file;
    std::istream* in = nullptr;
    if (source == "-") {
        if (!io.in) throw NvtError("import: there is no standard input to read");
        name = "standard input";
        in = io.in;
    } else {
        std::error_code ec;
        if (std::filesystem::is_directory(source, ec)) throw NvtError(source + " is a directory, not a CSV file");
        file.open(source, std::ios::binary);
        if (!file) throw NvtError("cannot read " + source);
        in = &file;
    }
    CsvReader reader(*in, name);
    CsvRow header;
    if (!reader.Next(header)) throw NvtError(name + ": no header row");
    // Every byte the import changes is kept first, so that a failure (a value that does not
    // fit, a full disk) can put the table, its memo and its index files back as they were.
    // The rows stream through: they are checked as they are appended, never held.
    NvtUndoJournal journal;
    NvPlatformScope journaled(journal);
    std::unique_ptr<NvtTable> table = NvtOpenForRecordWrites(args, io.err);
    NVO_dBHandler& t = table->Cursor();
    std::vector<int> fields;
    for (const std::string& column : header.cells) {
        std::string trimmed = column;
        trimmed.erase(0, trimmed.find_first_not_of(' '));
        trimmed.erase(trimmed.find_last_not_of(' ') + 1);
        int n = t.FieldNumber(trimmed);
        if (n == 0) throw NvtError(name + " line 1: the table has no field named '" + column + "'");
        if (std::find(fields.begin(), fields.end(), n) != fields.end())
            throw NvtError(name + " line 1: field '" + column + "' is named twice");
        fields.push_back(n);
    }
    Leeway leeway;
    leeway.round = args.Has("round");
    leeway.nearestCharacters = args.Has("replace-unmappable");
    int64_t imported = 0;
    // A row that does not fit is the user's to mend: its message is said as it is, since
    // nothing of the import stays. A failure while writing says that it was undone.
    bool rowRefused = false;
    try {
        NvWriteBehindScope bulk(&t);
        CsvRow row;
        while (reader.Next(row)) {
            if (row.cells.size() != fields.size()) {
                rowRefused = true;
                throw NvtError(name + " line " + std::to_string(row.line) + ": " + std::to_string(row.cells.size()) +
                               " values for " + std::to_string(fields.size()) + " fields");
            }
            // The row is checked whole before any of it is stored (a memo of it written).
            for (bool commit : {false, true}) {
                t.BlankRecord();
                for (std::size_t c = 0; c < fields.size(); ++c) {
                    try {
                        StoreCell(t, fields[c], row.cells[c], commit, leeway);
                    } catch (const std::exception& e) {
                        std::string shown = row.cells[c].size() > 40 ? row.cells[c].substr(0, 40) + "..." : row.cells[c];
                        for (char& ch : shown)
                            if (static_cast<uint8_t>(ch) < 0x20) ch = '.';
                        rowRefused = !commit;
                        throw NvtError(name + " line " + std::to_string(row.line) + ", field " +
                                       t.FieldName(fields[c]) + ": value '" + shown + "' does not fit: " + e.what());
                    }
                }
            }
            t.Append();
            ++imported;
        }
        bulk.Finish();
        table->Flush();
    } catch (const std::exception& e) {
        const std::string why = e.what();
        // The reader's own complaints (an unclosed quote) are the input's, like a refused row.
        const bool parseError = !rowRefused && dynamic_cast<const NvtError*>(&e) != nullptr &&
                                why.find(" does not fit: ") == std::string::npos;
        table.reset();
        try {
            journal.Undo();
        } catch (const std::exception& undo) {
            throw NvtError(why + "; " + undo.what());
        }
        if (rowRefused || parseError) throw NvtError(why);
        throw NvtError(why + "; nothing was imported, every file is as it was");
    }
    const std::string path = table->Path();
    table.reset();
    io.out << "imported " << NvtCount(imported, "record") << " into " << path << "\n";
    if (leeway.rounded > 0) io.out << "rounded " << NvtCount(leeway.rounded, "value") << " to the field's decimals\n";
    if (leeway.replaced > 0)
        io.out << "stored " << NvtCount(leeway.replaced, "value")
               << " with the nearest equivalents of characters the code page lacks\n";
    return kNvtExitOk;
}
