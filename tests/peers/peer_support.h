// Harness for the interchange tests: runs a peer program and captures what it prints, parses
// the Python dbf library's dump, and builds the same dump from our engine's reading so that
// the two compare line for line. Values are compared as one canonical text per field kind
// (UTF-8 text decoded from code page 437, numbers with the field's decimals, dates YYYYMMDD).
//
// Index checks belong in their own file here, one per peer.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "nv6_bld.h"
#include "nv6_date.h"
#include "nv6_fld.h"

namespace peertest {

struct CommandResult {
    int status = -1;
    std::string out;
};

// Runs `command` through the shell; stderr joins stdout so failures explain themselves.
inline CommandResult Run(const std::string& command) {
    CommandResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The Debian interpreter the python3-dbf package installs into; a python3 earlier on PATH
// may not see the package.
constexpr const char* kPython = "/usr/bin/python3";

inline bool PythonDbfAvailable() {
    return Run(std::string(kPython) + " -c 'import dbf'").status == 0;
}

inline CommandResult PythonPeer(const std::string& args) {
    return Run(std::string(kPython) + " " + Quote(PELMORA_PEER_SCRIPT) + " " + args);
}

inline std::string OemToUtf8(std::string_view oem) {
    static const char16_t kHigh[128] = {
        0xC7,   0xFC,   0xE9,   0xE2,   0xE4,   0xE0,   0xE5,   0xE7,   0xEA,   0xEB,   0xE8,
        0xEF,   0xEE,   0xEC,   0xC4,   0xC5,   0xC9,   0xE6,   0xC6,   0xF4,   0xF6,   0xF2,
        0xFB,   0xF9,   0xFF,   0xD6,   0xDC,   0xA2,   0xA3,   0xA5,   0x20A7, 0x192,  0xE1,
        0xED,   0xF3,   0xFA,   0xF1,   0xD1,   0xAA,   0xBA,   0xBF,   0x2310, 0xAC,   0xBD,
        0xBC,   0xA1,   0xAB,   0xBB,   0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
        0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
        0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
        0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
        0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x3B1,  0xDF,   0x393,
        0x3C0,  0x3A3,  0x3C3,  0xB5,   0x3C4,  0x3A6,  0x398,  0x3A9,  0x3B4,  0x221E, 0x3C6,
        0x3B5,  0x2229, 0x2261, 0xB1,   0x2265, 0x2264, 0x2320, 0x2321, 0xF7,   0x2248, 0xB0,
        0x2219, 0xB7,   0x221A, 0x207F, 0xB2,   0x25A0, 0xA0};
    std::string out;
    for (char ch : oem) {
        auto b = static_cast<uint8_t>(ch);
        char32_t c = b < 0x80 ? b : kHigh[b - 0x80];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct DumpField {
    std::string name;
    char type = 0;
    int length = 0;
    int decimals = 0;
    bool operator==(const DumpField&) const = default;
};

struct DumpRecord {
    bool deleted = false;
    std::map<std::string, std::string> values;
    bool operator==(const DumpRecord&) const = default;
};

struct Dump {
    std::vector<DumpField> fields;
    std::vector<DumpRecord> records;
};

inline std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
    return out;
}

// Parses dbf_peer.py's dump; a line it does not know fails the parse (returns false).
inline bool ParseDump(const std::string& text, Dump& dump) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("F ", 0) == 0) {
            std::istringstream f(line.substr(2));
            DumpField d;
            f >> d.name >> d.type >> d.length >> d.decimals;
            if (!f) return false;
            dump.fields.push_back(d);
        } else if (line.rfind("R ", 0) == 0) {
            dump.records.push_back({line.substr(2) == "1", {}});
        } else if (line.rfind("V ", 0) == 0 && !dump.records.empty()) {
            std::size_t tab = line.find('\t');
            if (tab == std::string::npos) return false;
            dump.records.back().values[line.substr(2, tab - 2)] = Unescape(line.substr(tab + 1));
        } else {
            return false;
        }
    }
    return true;
}

inline std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

inline std::string Fixed(long double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*Lf", decimals, v);
    return buf;
}

// Civil date of a Julian day number.
inline void CivilFromJulian(int64_t jdn, int& y, int& m, int& d) {
    int64_t a = jdn + 32044, b = (4 * a + 3) / 146097, c = a - 146097 * b / 4;
    int64_t dd = (4 * c + 3) / 1461, e = c - 1461 * dd / 4, mm = (5 * e + 2) / 153;
    d = static_cast<int>(e - (153 * mm + 2) / 5 + 1);
    m = static_cast<int>(mm + 3 - 12 * (mm / 10));
    y = static_cast<int>(100 * b + dd - 4800 + mm / 10);
}

// The canonical text of field `n` of the current record, as our engine reads it.
inline std::string EngineValue(NVO_dBaseFld& t, int n) {
    char type = t.FieldType(n);
    bool vfp = t.Version() == nvdbf::kVerVfp;
    std::string raw = t.GetRaw(n);
    switch (type) {
        case 'C':
            return OemToUtf8(TrimRight(raw));
        case 'N':
        case 'F':
            if (TrimRight(raw).find_first_not_of(' ') == std::string::npos) return "";
            return Fixed(t.GetNumber(n), t.FieldDecimals(n));
        case 'D':
            return TrimRight(raw);
        case 'L': {
            char c = raw.empty() ? ' ' : raw[0];
            if (std::string_view("TtYy").find(c) != std::string_view::npos) return "T";
            if (std::string_view("FfNn").find(c) != std::string_view::npos) return "F";
            return "";
        }
        case 'I':
            return Fixed(t.GetNumber(n), 0);
        case 'Y':
            return Fixed(t.GetNumber(n), 4);
        case 'B':
            if (vfp) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "%.15g", static_cast<double>(t.GetNumber(n)));
                return buf;
            }
            return "";
        case 'T': {
            long double v = t.GetNumber(n);
            if (v == 0) return "";
            long double days = std::floor(v / 86400000.0L);
            auto ms = static_cast<int64_t>(v - days * 86400000.0L);
            int y, m, d;
            CivilFromJulian(static_cast<int64_t>(days) + 1721425, y, m, d);
            char buf[40];
            std::snprintf(buf, sizeof buf, "%04d%02d%02d %02d:%02d:%02d", y, m, d,
                          static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                          static_cast<int>(ms / 1000 % 60));
            return buf;
        }
        case 'M':
            // Memo text through the memo file, trailing blanks dropped as the dump drops them.
            return OemToUtf8(TrimRight(t.GetText(n)));
        default:
            return "";
    }
}

// Our engine's reading of the whole table in dump form.
inline Dump EngineDump(const std::string& path) {
    Dump dump;
    NVO_dBaseFld t(path, false, false, "");
    for (int n = 1; n <= t.FieldCount(); ++n)
        dump.fields.push_back({t.FieldName(n), t.FieldType(n), t.FieldLength(n), t.FieldDecimals(n)});
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.Go(r);
        DumpRecord rec{t.RecordPointer()[0] == '*', {}};
        for (int n = 1; n <= t.FieldCount(); ++n)
            rec.values[t.FieldName(n)] = EngineValue(t, n);
        dump.records.push_back(rec);
    }
    return dump;
}

// Code page 437 bytes of "Café Müller Ñandú" and their UTF-8 reading.
inline const std::string kAccentOem = "Caf\x82 M\x81ller \xA5" "and\xA3";
inline const std::string kAccentUtf8 = "Café Müller Ñandú";

struct Flavour {
    const char* label;
    std::function<std::unique_ptr<NVO_DBFBuild>(const std::string&)> make;
};

// A memo of many blocks in every flavour's block size: numbered lines of accented text
// (code page 437) ending in CR LF, `lines` of them.
inline std::string LongMemo(int lines) {
    std::string text;
    for (int i = 1; i <= lines; ++i) text += "Line " + std::to_string(i) + ": " + kAccentOem + "\r\n";
    return text;
}

// The memo texts MakeOurTable stores, record by record (record 4 holds no block).
inline const std::string kOurMemos[] = {LongMemo(120), "short note", "memo of a deleted record", ""};

// The table every peer reads: each kind of field the three builders share, filled through the
// field layer. Record 1 has accented text, record 3 is deleted, record 4 is blank (blank date
// and logical, zero numbers). The memo field, when there is one, holds kOurMemos: a long
// memo of many blocks, a short one, one in the deleted record and, in record 4, no block.
inline void MakeOurTable(const Flavour& flavour, const std::string& path, bool withMemoField) {
    {
        auto build = flavour.make(path);
        build->AddField("NAME", "C", 20, 0);
        build->AddField("AMT", "N", 9, 2);
        build->AddField("QTY", "N", 5, 0);
        build->AddField("RATIO", "F", 12, 4);
        build->AddField("BORN", "D", 8, 0);
        build->AddField("OK", "L", 1, 0);
        if (withMemoField) build->AddField("NOTES", "M", 10, 0);
        build->Build();
    }
    {
        NVO_dBaseFld t(path, false, true, "");
        t.BlankRecord();
        t.PutTextByName("NAME", kAccentOem);
        t.SetNumberByName("AMT", 1234.5);
        t.SetNumberByName("QTY", 42);
        t.SetNumberByName("RATIO", 3.1416);
        t.SetDateByName("BORN", TnvDBFDate::YMDToDay(1999, 12, 31));
        t.SetLogicalByName("OK", true);
        if (withMemoField) t.PutTextByName("NOTES", kOurMemos[0]);
        t.Append();
        t.BlankRecord();
        t.PutTextByName("NAME", "plain");
        t.SetNumberByName("AMT", -0.25);
        t.SetNumberByName("RATIO", -0.5);
        t.SetDateByName("BORN", TnvDBFDate::YMDToDay(2024, 2, 29));
        t.SetLogicalByName("OK", false);
        if (withMemoField) t.PutTextByName("NOTES", kOurMemos[1]);
        t.Append();
        t.BlankRecord();
        t.PutTextByName("NAME", "gone");
        t.SetNumberByName("AMT", -7);
        t.SetNumberByName("QTY", -3);
        t.SetDateByName("BORN", TnvDBFDate::YMDToDay(2024, 3, 1));
        t.SetLogicalByName("OK", true);
        if (withMemoField) t.PutTextByName("NOTES", kOurMemos[2]);
        t.Append();
        t.Go(3);
        t.DeleteRecord();
        t.BlankRecord();
        t.Append();
    }
}

inline const Flavour kOurFlavours[] = {
    {"dBase III", [](const std::string& p) { return std::make_unique<NVO_DBFBuild>(p); }},
    {"dBase IV", [](const std::string& p) { return std::make_unique<NVO_DB4Build>(p); }},
    {"FoxPro", [](const std::string& p) { return std::make_unique<NVO_DBFoxBuild>(p); }},
};

}  // namespace peertest
