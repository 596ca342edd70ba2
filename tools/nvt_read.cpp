// The commands that only read: info, dump, list and seek. They open the table shared and
// read-only, so they can run beside a program that has it open.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <utility>

#include "nv6_date.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"
#include "nv6_memo.h"
#include "nvt_table.h"
#include "nvt_tool.h"

namespace {

const char* Flavour(uint8_t version) {
    switch (version) {
        case 0x03:
            return "dBase III / Clipper, no memo file";
        case 0x04:
            return "dBase IV, no memo file";
        case 0x30:
            return "Visual FoxPro";
        case 0x83:
            return "dBase III / Clipper with .dbt memo file";
        case 0x8B:
            return "dBase IV with .dbt memo file";
        case 0xF5:
            return "FoxPro with .fpt memo file";
        default:
            return "unknown";
    }
}

std::string Hex(uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

// One tag's definition as info and dump print it.
std::string TagLine(const NVobjIndexFile& file, const NVobjIndexTag& tag) {
    return NvtTagName(file, tag) + "|" + NvtStoredText(tag.keyExpression) + "|" +
           NvtStoredText(tag.forExpression) + "|" + (tag.ascending ? "ascending" : "descending") + "|" +
           (tag.unique ? "unique" : "duplicates") + "|";
}

// Code points of UTF-8 text, for column widths.
std::size_t Width(const std::string& s) {
    std::size_t n = 0;
    for (char c : s)
        if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) ++n;
    return n;
}

// Cuts UTF-8 text to `width` code points, a trailing "~" marking the cut.
std::string Cut(const std::string& s, std::size_t width) {
    if (Width(s) <= width) return s;
    std::size_t n = 0, i = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) {
            if (n == width - 1) break;
            ++n;
        }
    }
    return s.substr(0, i) + "~";
}

std::vector<int> SelectedFields(NVO_dBHandler& cursor, const NvtArgs& args) {
    std::vector<int> numbers;
    if (!args.Has("fields")) {
        for (int n = 1; n <= cursor.FieldCount(); ++n) numbers.push_back(n);
        return numbers;
    }
    for (const std::string& name : NvtSplitList(args.Value("fields"))) {
        int n = cursor.FieldNumber(name);
        if (n == 0) NvRaise(TnvMsg::NoFieldName, {name});
        numbers.push_back(n);
    }
    return numbers;
}

}  // namespace

int NvtInfo(const NvtArgs& args, NvtIo& io) {
    NvtTable table(args, false);
    NVO_dBHandler& t = table.Cursor();
    std::ostream& out = io.out;
    out << "table:          " << table.Path() << "\n";
    out << "version:        " << Hex(t.Version()) << " (" << Flavour(t.Version()) << ")\n";
    out << "records:        " << t.RecordCount() << "\n";
    out << "header length:  " << t.HeaderLength() << "\n";
    out << "record length:  " << t.RecordLength() << "\n";
    std::string memo = t.HasMemo() ? NVobjMemoBase::MemoFileName(table.Path(), t.Version()) : std::string();
    out << "memo file:      " << (memo.empty() ? "none" : memo) << "\n";
    out << "encrypted:      " << (t.Enciphered() ? "yes" : "no") << "\n";
    {
        // The page the text is read in, and where that choice came from.
        const nvlocale::TnvPageChoice& pages = t.CodePages();
        char mark[8];
        std::snprintf(mark, sizeof mark, "0x%02X", pages.mark);
        out << "code page:      " << pages.StoredPage() << " ("
            << (args.Has("codepage")        ? std::string("--codepage")
                : pages.unsupportedMark     ? "mark " + std::string(mark) + " not read here, default used"
                : pages.mark != 0           ? "language driver mark " + std::string(mark)
                                            : std::string("no mark, default"))
            << ")\n";
    }
    out << "production index flag: " << (t.ProductionIndex() ? "set" : "clear") << "\n";
    out << "fields:         " << t.FieldCount() << "\n";
    for (int n = 1; n <= t.FieldCount(); ++n) {
        char line[80];
        std::snprintf(line, sizeof line, "  %3d  %-10s  %c  %5d  %2d\n", n, t.FieldName(n).c_str(), t.FieldType(n),
                      t.FieldLength(n), t.FieldDecimals(n));
        out << line;
    }
    std::vector<std::string> beside = NvtIndexFilesBeside(table.Path());
    out << "index files:    " << (beside.empty() ? "none" : std::to_string(beside.size())) << "\n";
    for (const std::string& path : beside) {
        out << "  " << path << "\n";
        try {
            NVobjIndexFile& file = table.OpenIndex(path);
            for (int i = 0; i < file.TagCount(); ++i) {
                NVobjIndexTag& tag = *file.TagByNumber(i);
                const std::string forText = NvtStoredText(tag.forExpression);
                out << "    tag " << NvtTagName(file, tag) << "  key " << NvtOemToUtf8(NvtStoredText(tag.keyExpression));
                if (!forText.empty()) out << "  for " << NvtOemToUtf8(forText);
                out << "  " << (tag.ascending ? "ascending" : "descending") << (tag.unique ? "  unique" : "") << "\n";
            }
        } catch (const std::exception& e) {
            out << "    (not readable: " << e.what() << ")\n";
        }
    }
    return kNvtExitOk;
}

int NvtDump(const NvtArgs& args, NvtIo& io) {
    NvtTable table(args, false);
    table.OpenIndexes(args);
    NVO_dBHandler& t = table.Cursor();
    t.SetReadAhead(true);
    std::string line;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.Go(r);
        line = "row " + std::to_string(r) + (t.RecordPointer()[0] != ' ' ? " *" : " -");
        for (int n = 1; n <= t.FieldCount(); ++n) {
            line += '|';
            line += NvtDumpValue(t, n);
        }
        line += '\n';
        io.out << line;
    }
    std::vector<std::pair<std::string, std::string>> orders;
    for (NVobjIndexFile* file : table.Indexes()) {
        for (int i = 0; i < file->TagCount(); ++i) {
            NVobjIndexTag& tag = *file->TagByNumber(i);
            std::string text = "order " + TagLine(*file, tag);
            int64_t steps = 0;
            for (int32_t r = tag.TagMove(-3); r != 0; r = tag.TagMove(-1)) {
                if (++steps > static_cast<int64_t>(t.RecordCount()) + 1) tag.RaiseCorrupt();
                text += ' ';
                text += std::to_string(r);
            }
            orders.emplace_back(NvtTagName(*file, tag), text + "\n");
        }
    }
    std::stable_sort(orders.begin(), orders.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [name, text] : orders) io.out << text;
    return kNvtExitOk;
}

int NvtList(const NvtArgs& args, NvtIo& io) {
    NvtTable table(args, false);
    table.OpenIndexes(args);
    if (args.Has("order")) table.OpenProductionIndex();
    NVO_dBHandler& t = table.Cursor();
    t.SetReadAhead(true);
    NVobjIndexTag* tag = args.Has("order") ? &NvtFindTag(table.Indexes(), args.Value("order")) : nullptr;
    std::vector<int> fields = SelectedFields(t, args);
    const std::string filter = args.Value("filter");
    const bool hideDeleted = args.Has("hide-deleted");
    constexpr std::size_t kMaxWidth = 40;
    std::vector<std::size_t> widths;
    // Visual FoxPro's binary numbers have no width of their own in text: their columns take
    // the width of the widest value shown.
    std::vector<std::size_t> measured;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        int n = fields[i];
        std::size_t w;
        switch (t.FieldType(n)) {
            case 'D':
                w = 10;
                break;
            case 'T':
                w = 19;
                break;
            default:
                w = t.IsMemoField(n) ? 30 : static_cast<std::size_t>(t.FieldLength(n));
        }
        char type = t.FieldType(n);
        if (t.Version() == nvdbf::kVerVfp && (type == 'I' || type == 'B' || type == 'Y')) {
            w = 1;
            measured.push_back(i);
        }
        widths.push_back(std::max(w, t.FieldName(n).size()));
    }
    if (!measured.empty()) {
        NvtForEachRecord(table, tag, filter, hideDeleted, [&](int32_t) {
            for (std::size_t i : measured) widths[i] = std::max(widths[i], Width(NvtTextValue(t, fields[i])));
        });
    }
    std::string header = "  RECNO  ";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        widths[i] = std::clamp(widths[i], std::size_t{1}, kMaxWidth);
        std::string name = t.FieldName(fields[i]);
        header += name + std::string(widths[i] - name.size() + 1, ' ');
    }
    while (!header.empty() && header.back() == ' ') header.pop_back();
    // The header waits for the first row (or the end), so that a filter that fails on the
    // first record leaves nothing on standard output.
    bool headerShown = false;
    auto showHeader = [&] {
        if (!headerShown) io.out << header << "\n";
        headerShown = true;
    };
    int32_t shown = 0;
    NvtForEachRecord(table, tag, filter, hideDeleted, [&](int32_t r) {
        showHeader();
        char head[16];
        std::snprintf(head, sizeof head, "%7d%c ", r, t.RecordPointer()[0] != ' ' ? '*' : ' ');
        std::string line = head;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::string value = NvtTextValue(t, fields[i]);
            for (char& c : value)
                if (c == '\r' || c == '\n' || c == '\t') c = ' ';
            value = Cut(value, widths[i]);
            line += value + std::string(widths[i] - Width(value) + 1, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        io.out << line << "\n";
        ++shown;
    });
    showHeader();
    io.out << NvtCount(shown, "record") << "\n";
    return kNvtExitOk;
}

int NvtSeek(const NvtArgs& args, NvtIo& io) {
    NvtTable table(args, false);
    if (args.Values("index").empty()) throw NvtUsageError("seek: missing --index");
    table.OpenIndexes(args);
    NVobjIndexTag& tag = NvtFindTag(table.Indexes(), args.Required("order"));
    const std::string& text = args.positional[1];
    NVobjIndexKeyData key(256);
    if (tag.keyType == 'N') {
        double value = 0;
        if (!nvlocale::TryParseNumber(text, value, '.')) throw NvtError("'" + text + "' is not a number, as the tag's key is");
        key.PutNumber(value);
    } else if (tag.keyType == 'D') {
        std::string digits;
        for (char c : text)
            if (c != '-') digits += c;
        int y = 0, m = 0, d = 0;
        if (digits.size() != 8 || digits.find_first_not_of("0123456789") != std::string::npos ||
            std::sscanf(digits.c_str(), "%4d%2d%2d", &y, &m, &d) != 3)
            throw NvtError("'" + text + "' is not a date (yyyymmdd or yyyy-mm-dd), as the tag's key is");
        int32_t day = TnvDBFDate::YMDToDay(y, m, d);
        if (day <= 0) throw NvtError("'" + text + "' is not a valid date");
        key.PutDate(day);
    } else {
        std::string oem;
        if (!NvtUtf8ToOem(text, oem)) throw NvtError("'" + text + "' cannot be written in the table's code page");
        key.PutString(oem);
    }
    key.reference = -1;
    int32_t found = tag.KeyFind(key);
    if (found == 0) return kNvtExitNo;
    io.out << found << "\n";
    return kNvtExitOk;
}
