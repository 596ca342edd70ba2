// export and import: records to and from RFC 4180 CSV with a header row. Text is UTF-8 in
// the CSV and code page 437 in the table; dates are ISO 8601; memo values travel inline.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "nv6_date.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
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

// Splits CSV text into rows; quoted cells may hold separators, quotes and line breaks.
std::vector<CsvRow> ParseCsv(const std::string& text, const std::string& name) {
    std::vector<CsvRow> rows;
    std::size_t i = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;
    int line = 1;
    while (i < text.size()) {
        CsvRow row{line, {}};
        std::string cell;
        bool endOfRow = false;
        while (!endOfRow) {
            cell.clear();
            if (i < text.size() && text[i] == '"') {
                ++i;
                for (;;) {
                    if (i >= text.size())
                        throw NvtError(name + " line " + std::to_string(row.line) + ": quoted value without its closing quote");
                    char c = text[i++];
                    if (c == '"') {
                        if (i < text.size() && text[i] == '"') {
                            cell += '"';
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (c == '\n') ++line;
                    cell += c;
                }
                if (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n')
                    throw NvtError(name + " line " + std::to_string(line) + ": text after a closing quote");
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n') cell += text[i++];
            }
            row.cells.push_back(cell);
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            if (i < text.size() && text[i] == '\r') ++i;
            if (i < text.size() && text[i] == '\n') ++i;
            ++line;
            endOfRow = true;
        }
        // A blank line between rows carries nothing.
        if (row.cells.size() == 1 && row.cells[0].empty()) continue;
        rows.push_back(std::move(row));
    }
    return rows;
}

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

// Stores one cell into field `n` of the record being built; memo values only when
// `writeMemos` (the check pass leaves the memo file alone). Raises NvtError with the reason.
void StoreCell(NVO_dBHandler& t, int n, const std::string& value, bool writeMemos) {
    if (value.empty()) return;
    char type = t.FieldType(n);
    bool vfp = t.Version() == nvdbf::kVerVfp;
    auto text = [&] {
        std::string oem;
        if (!NvtUtf8ToOem(value, oem)) throw NvtError("it is not UTF-8 text the table's code page can hold");
        return oem;
    };
    auto number = [&] {
        double v = 0;
        if (!nvlocale::TryParseNumber(value, v, '.')) throw NvtError("it is not a number");
        return v;
    };
    if (t.IsMemoField(n)) {
        std::string oem = text();
        if (!writeMemos) return;
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
            t.SetNumber(n, number());
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
            } else {
                throw NvtError("it is not a logical (T, F, Y, N, true, false)");
            }
            return;
        }
        default:
            break;
    }
    if (vfp && (type == 'I' || type == 'Y' || type == 'B')) {
        t.SetNumber(n, number());
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
    std::string target = args.Required("csv");
    NvtTable table(args.positional[0], args.Value("password"), false);
    table.OpenIndexes(args);
    NVO_dBHandler& t = table.Cursor();
    t.SetReadAhead(true);
    NVobjIndexTag* tag = args.Has("order") ? &NvtFindTag(table.Indexes(), args.Value("order")) : nullptr;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) throw NvtError("cannot write " + target);
    std::string line;
    for (int n = 1; n <= t.FieldCount(); ++n) line += (n > 1 ? "," : "") + Quoted(t.FieldName(n));
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
    out.close();
    if (!out) throw NvtError("error writing " + target);
    io.out << "exported " << rows << " records to " << target << "\n";
    return kNvtExitOk;
}

int NvtImport(const NvtArgs& args, NvtIo& io) {
    std::string source = args.Required("csv");
    std::ifstream in(source, std::ios::binary);
    if (!in) throw NvtError("cannot read " + source);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<CsvRow> rows = ParseCsv(text, source);
    if (rows.empty()) throw NvtError(source + ": no header row");
    std::unique_ptr<NvtTable> table = NvtOpenForRecordWrites(args, io.err);
    NVO_dBHandler& t = table->Cursor();
    std::vector<int> fields;
    for (const std::string& name : rows[0].cells) {
        std::string trimmed = name;
        trimmed.erase(0, trimmed.find_first_not_of(' '));
        trimmed.erase(trimmed.find_last_not_of(' ') + 1);
        int n = t.FieldNumber(trimmed);
        if (n == 0) throw NvtError(source + " line 1: the table has no field named '" + name + "'");
        if (std::find(fields.begin(), fields.end(), n) != fields.end())
            throw NvtError(source + " line 1: field '" + name + "' is named twice");
        fields.push_back(n);
    }
    // The first pass only checks, so a value that does not fit leaves the table as it was.
    for (bool commit : {false, true}) {
        for (std::size_t r = 1; r < rows.size(); ++r) {
            const CsvRow& row = rows[r];
            if (row.cells.size() != fields.size())
                throw NvtError(source + " line " + std::to_string(row.line) + ": " + std::to_string(row.cells.size()) +
                               " values for " + std::to_string(fields.size()) + " fields");
            t.BlankRecord();
            for (std::size_t c = 0; c < fields.size(); ++c) {
                try {
                    StoreCell(t, fields[c], row.cells[c], commit);
                } catch (const std::exception& e) {
                    std::string shown = row.cells[c].size() > 40 ? row.cells[c].substr(0, 40) + "..." : row.cells[c];
                    throw NvtError(source + " line " + std::to_string(row.line) + ", field " + t.FieldName(fields[c]) +
                                   ": value '" + shown + "' does not fit: " + e.what());
                }
            }
            if (commit) t.Append();
        }
    }
    table->Flush();
    io.out << "imported " << rows.size() - 1 << " records into " << table->Path() << "\n";
    return kNvtExitOk;
}
