// Code pages: their Unicode tables (generated, nv6_cpag_tables.inc), the best-fit table for
// characters a page lacks, the fixed 437 <-> 1252 translation of the engine's text helpers
// (best fit, derived at compile time), and the pages and lossless pairs tables are read with.
//
// Choices:
// - Bytes 0x00-0x7F are the same in both pages and map to themselves, control characters
//   included (0x00-0x1F and 0x7F are control codes, not the glyphs a PC screen showed for
//   them), so the translation never invents or removes a control byte.
// - The five bytes code page 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for
//   the C1 control characters of the same value, as on the original platform.
// - A character the target page lacks goes through the best-fit table below; a character
//   without an entry there, or whose stand-in the target lacks as well, becomes '?'.
#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "nv6_lcal.h"
#include "nv6_cpag.h"

namespace nvlocale {

namespace {

struct CasePair {
    uint8_t lower, upper;
};

#include "nv6_cpag_tables.inc"

constexpr const char16_t (&kCp437High)[128] = kHigh437;
constexpr const char16_t (&kCp1252High)[128] = kHigh1252;

// Best fit: a character and the stand-in to use when the target page lacks it. A character
// may have several entries, tried in order; a stand-in the target lacks too is skipped.
// Missing on purpose (they become '?'): ¤ § ¶ ¾ Þ þ, the integral halves ⌠ ⌡, and
// anything outside this table.
struct BestFit {
    char32_t from, to;
};

constexpr BestFit kBestFit[] = {
    // Latin-1 letters code page 437 lacks: the unaccented letter.
    {0x00C0, 'A'}, {0x00C1, 'A'}, {0x00C2, 'A'}, {0x00C3, 'A'}, {0x00C8, 'E'}, {0x00CA, 'E'},
    {0x00CB, 'E'}, {0x00CC, 'I'}, {0x00CD, 'I'}, {0x00CE, 'I'}, {0x00CF, 'I'}, {0x00D0, 'D'},
    {0x00D2, 'O'}, {0x00D3, 'O'}, {0x00D4, 'O'}, {0x00D5, 'O'}, {0x00D8, 'O'}, {0x00D9, 'U'},
    {0x00DA, 'U'}, {0x00DB, 'U'}, {0x00DD, 'Y'}, {0x00E3, 'a'}, {0x00F0, 'd'}, {0x00F5, 'o'},
    {0x00F8, 'o'}, {0x00FD, 'y'}, {0x0160, 'S'}, {0x0161, 's'}, {0x0152, 'O'}, {0x0153, 'o'},
    {0x017D, 'Z'}, {0x017E, 'z'}, {0x0178, 'Y'},
    // Latin-1 and code page 1252 signs.
    {0x00A6, '|'}, {0x00A8, '"'}, {0x00A9, 'c'}, {0x00AD, '-'}, {0x00AE, 'R'}, {0x00AF, '-'},
    {0x00B3, '3'}, {0x00B4, '\''}, {0x00B8, ','}, {0x00B9, '1'}, {0x00D7, 'x'},
    {0x20AC, 'E'}, {0x201A, ','}, {0x201E, '"'}, {0x2026, '.'}, {0x2020, '+'}, {0x2021, '+'},
    {0x02C6, '^'}, {0x2030, '%'}, {0x2039, '<'}, {0x2018, '\''}, {0x2019, '\''},
    {0x201C, '"'}, {0x201D, '"'}, {0x2022, 0x2219}, {0x2022, 0x00B7}, {0x2013, '-'},
    {0x2014, '-'}, {0x02DC, '~'}, {0x2122, 'T'}, {0x203A, '>'}, {0x201B, '\''},
    {0x201F, '"'}, {0x2212, '-'},
    // Code page 437 signs and Greek letters code page 1252 lacks.
    {0x20A7, 'P'}, {0x2310, 0x00AC}, {0x03B1, 'a'}, {0x0393, 'G'}, {0x03C0, 'p'},
    {0x03A3, 'S'}, {0x03C3, 's'}, {0x03C4, 't'}, {0x03A6, 'F'}, {0x0398, 'T'},
    {0x03A9, 'O'}, {0x03B4, 'd'}, {0x03C6, 'f'}, {0x03B5, 'e'}, {0x03B2, 0x00DF},
    {0x03BC, 0x00B5}, {0x221E, '8'}, {0x2229, 'n'}, {0x2261, '='}, {0x2265, '>'},
    {0x2264, '<'}, {0x2248, '~'}, {0x2219, 0x00B7}, {0x221A, 'v'}, {0x207F, 'n'},
    // Box drawing: lines become '-' and '|', corners and junctions '+'; shades and blocks.
    {0x2500, '-'}, {0x2550, '-'}, {0x2502, '|'}, {0x2551, '|'},
    {0x250C, '+'}, {0x2510, '+'}, {0x2514, '+'}, {0x2518, '+'}, {0x251C, '+'}, {0x2524, '+'},
    {0x252C, '+'}, {0x2534, '+'}, {0x253C, '+'}, {0x2552, '+'}, {0x2553, '+'}, {0x2554, '+'},
    {0x2555, '+'}, {0x2556, '+'}, {0x2557, '+'}, {0x2558, '+'}, {0x2559, '+'}, {0x255A, '+'},
    {0x255B, '+'}, {0x255C, '+'}, {0x255D, '+'}, {0x255E, '+'}, {0x255F, '+'}, {0x2560, '+'},
    {0x2561, '+'}, {0x2562, '+'}, {0x2563, '+'}, {0x2564, '+'}, {0x2565, '+'}, {0x2566, '+'},
    {0x2567, '+'}, {0x2568, '+'}, {0x2569, '+'}, {0x256A, '+'}, {0x256B, '+'}, {0x256C, '+'},
    {0x2591, '#'}, {0x2592, '#'}, {0x2593, '#'}, {0x2588, '#'}, {0x25A0, '#'},
    {0x2584, '_'}, {0x2580, '-'}, {0x258C, '|'}, {0x2590, '|'},
};

constexpr char32_t ToUnicode(const char16_t (&high)[128], uint8_t c) {
    return c < 0x80 ? char32_t(c) : char32_t(high[c - 0x80]);
}

// The byte of `u` in the page, or -1.
constexpr int ExactByte(const char16_t (&high)[128], char32_t u) {
    if (u < 0x80) return static_cast<int>(u);
    for (int i = 0; i < 128; ++i)
        if (high[i] == u) return 0x80 + i;
    return -1;
}

constexpr uint8_t FromUnicode(const char16_t (&high)[128], char32_t u) {
    int b = ExactByte(high, u);
    if (b >= 0) return static_cast<uint8_t>(b);
    for (const BestFit& f : kBestFit) {
        if (f.from != u) continue;
        int s = ExactByte(high, f.to);
        if (s >= 0) return static_cast<uint8_t>(s);
    }
    return '?';
}

constexpr std::array<uint8_t, 256> Translation(const char16_t (&from)[128],
                                               const char16_t (&to)[128]) {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = FromUnicode(to, ToUnicode(from, static_cast<uint8_t>(c)));
    return t;
}

constexpr auto kOemToAnsi = Translation(kCp437High, kCp1252High);
constexpr auto kAnsiToOem = Translation(kCp1252High, kCp437High);

void Translate(const std::array<uint8_t, 256>& table, const uint8_t* source, uint8_t* dest,
               std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dest[i] = table[source[i]];
}

std::string Translate(const std::array<uint8_t, 256>& table, std::string_view text) {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(table[static_cast<uint8_t>(ch)]);
    return out;
}

}  // namespace

void OemToAnsi(const uint8_t* source, uint8_t* dest, std::size_t n) {
    Translate(kOemToAnsi, source, dest, n);
}
void AnsiToOem(const uint8_t* source, uint8_t* dest, std::size_t n) {
    Translate(kAnsiToOem, source, dest, n);
}
std::string OemToAnsi(std::string_view text) { return Translate(kOemToAnsi, text); }
std::string AnsiToOem(std::string_view text) { return Translate(kAnsiToOem, text); }

char32_t Cp437ToUnicode(uint8_t c) { return ToUnicode(kCp437High, c); }
char32_t Cp1252ToUnicode(uint8_t c) { return ToUnicode(kCp1252High, c); }
uint8_t UnicodeToCp437(char32_t u) { return FromUnicode(kCp437High, u); }
uint8_t UnicodeToCp1252(char32_t u) { return FromUnicode(kCp1252High, u); }


// --- the pages tables are read with ----------------------------------------------------

namespace {

struct PageSource {
    int number;
    const char16_t (&high)[128];
    const CasePair* pairs;
    std::size_t pairCount;
    int ansiPartner;
    uint8_t languageDriver;
};

template <std::size_t N>
constexpr std::size_t Count(const CasePair (&)[N]) {
    return N;
}

#define NV_PAGE(n, partner, mark) PageSource{n, kHigh##n, kCase##n, Count(kCase##n), partner, mark}
// The marks new tables get: FoxPro's where it has one, dBase's for 860.
const PageSource kSources[] = {
    NV_PAGE(437, 1252, 0x01),  NV_PAGE(737, 1253, 0x6A),  NV_PAGE(850, 1252, 0x02),
    NV_PAGE(852, 1250, 0x64),  NV_PAGE(857, 1254, 0x6B),  NV_PAGE(860, 1252, 0x24),
    NV_PAGE(861, 1252, 0x67),  NV_PAGE(863, 1252, 0x6C),  NV_PAGE(865, 1252, 0x66),
    NV_PAGE(866, 1251, 0x65),  NV_PAGE(1250, 1250, 0xC8), NV_PAGE(1251, 1251, 0xC9),
    NV_PAGE(1252, 1252, 0x03), NV_PAGE(1253, 1253, 0xCB), NV_PAGE(1254, 1254, 0xCA),
};
#undef NV_PAGE

// Language driver bytes and the page each names (0 for a page we do not read). FoxPro's
// marks first, then dBase's language drivers (country variants of the same DOS page).
struct Mark {
    uint8_t mark;
    int page;
};
constexpr Mark kMarks[] = {
    {0x01, 437},  {0x02, 850},  {0x03, 1252}, {0x57, 1252}, {0x58, 1252}, {0x59, 1252},
    {0x64, 852},  {0x65, 866},  {0x66, 865},  {0x67, 861},  {0x68, 0},    {0x69, 0},
    {0x6A, 737},  {0x6B, 857},  {0x6C, 863},  {0x78, 0},    {0x79, 0},    {0x7A, 0},
    {0x7B, 0},    {0x7C, 0},    {0x7D, 0},    {0x7E, 0},    {0x86, 737},  {0x87, 852},
    {0x88, 857},  {0x96, 0},    {0x97, 0},    {0x98, 0},    {0xC8, 1250}, {0xC9, 1251},
    {0xCA, 1254}, {0xCB, 1253}, {0xCC, 0},
    {0x08, 865},  {0x09, 437},  {0x0A, 850},  {0x0B, 437},  {0x0D, 437},  {0x0E, 850},
    {0x0F, 437},  {0x10, 850},  {0x11, 437},  {0x12, 850},  {0x13, 0},    {0x14, 850},
    {0x15, 437},  {0x16, 850},  {0x17, 865},  {0x18, 437},  {0x19, 437},  {0x1A, 850},
    {0x1B, 437},  {0x1C, 863},  {0x1F, 852},  {0x22, 852},  {0x23, 852},  {0x24, 860},
    {0x26, 866},  {0x37, 850},  {0x40, 852},
};

}  // namespace

struct TnvCodePageFactory {
    static TnvCodePage Make(const PageSource& src) {
        TnvCodePage p;
        p.number_ = src.number;
        p.ansiPartner_ = src.ansiPartner;
        p.languageDriver_ = src.languageDriver;
        for (int b = 0; b < 256; ++b) {
            p.unicode_[b] = b < 0x80 ? char32_t(b) : char32_t(src.high[b - 0x80]);
            p.upper_[b] = kUpper437Ascii(static_cast<uint8_t>(b), true);
            p.lower_[b] = kUpper437Ascii(static_cast<uint8_t>(b), false);
            p.reverse_.emplace_back(p.unicode_[b], static_cast<uint8_t>(b));
        }
        for (std::size_t i = 0; i < src.pairCount; ++i) {
            const CasePair& c = src.pairs[i];
            if (c.lower == 0) continue;
            p.upper_[c.lower] = c.upper;
            // A capital shared with an ASCII letter (Turkish dotless i -> I) keeps its own
            // small letter.
            if (c.upper >= 0x80 && p.lower_[c.upper] == c.upper) p.lower_[c.upper] = c.lower;
        }
        std::sort(p.reverse_.begin(), p.reverse_.end());
        return p;
    }
    static uint8_t kUpper437Ascii(uint8_t c, bool upper) {
        if (upper && c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 0x20);
        if (!upper && c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c + 0x20);
        return c;
    }
};

namespace {

const std::vector<TnvCodePage>& AllPages() {
    static const std::vector<TnvCodePage> pages = [] {
        std::vector<TnvCodePage> v;
        for (const PageSource& s : kSources) v.push_back(TnvCodePageFactory::Make(s));
        return v;
    }();
    return pages;
}

TnvPageChoice& TheDefault() {
    static TnvPageChoice d;
    return d;
}

}  // namespace

int TnvCodePage::ExactByte(char32_t u) const {
    // Every page keeps ASCII where it is, and no other byte of it stands for an ASCII
    // character: most text needs no search.
    if (u < 0x80) return static_cast<int>(u);
    auto it = std::lower_bound(reverse_.begin(), reverse_.end(), std::make_pair(u, uint8_t(0)));
    return it != reverse_.end() && it->first == u ? it->second : -1;
}

uint8_t TnvCodePage::FromUnicode(char32_t u) const {
    int b = ExactByte(u);
    if (b >= 0) return static_cast<uint8_t>(b);
    for (const BestFit& f : kBestFit) {
        if (f.from != u) continue;
        int s = ExactByte(f.to);
        if (s >= 0) return static_cast<uint8_t>(s);
    }
    return '?';
}

std::string TnvCodePage::UpperCase(std::string_view text) const {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(upper_[static_cast<uint8_t>(ch)]);
    return out;
}

std::string TnvCodePage::LowerCase(std::string_view text) const {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(lower_[static_cast<uint8_t>(ch)]);
    return out;
}

const TnvCodePage* FindCodePage(int number) {
    for (const TnvCodePage& p : AllPages())
        if (p.Number() == number) return &p;
    return nullptr;
}

const TnvCodePage& CodePage(int number) {
    const TnvCodePage* p = FindCodePage(number);
    return p ? *p : AllPages().front();
}

std::vector<int> OemCodePages() {
    std::vector<int> v;
    for (const TnvCodePage& p : AllPages())
        if (p.IsOem()) v.push_back(p.Number());
    return v;
}

std::vector<int> AnsiCodePages() {
    std::vector<int> v;
    for (const TnvCodePage& p : AllPages())
        if (!p.IsOem()) v.push_back(p.Number());
    return v;
}

std::string TnvPageChoice::Label() const {
    return translate ? std::to_string(oem) + "/" + std::to_string(ansi) : std::to_string(ansi);
}

TnvPageChoice DefaultPages() { return TheDefault(); }

void SetDefaultPages(int oem, int ansi) {
    TnvPageChoice& d = TheDefault();
    const TnvCodePage* o = FindCodePage(oem);
    const TnvCodePage* a = FindCodePage(ansi);
    if (o && o->IsOem()) d.oem = oem;
    if (a && !a->IsOem()) d.ansi = ansi;
    d.translate = true;
}

TnvPageChoice ChoosePages(uint8_t languageDriver) {
    TnvPageChoice choice = DefaultPages();
    if (languageDriver == 0) return choice;
    for (const Mark& m : kMarks) {
        if (m.mark != languageDriver) continue;
        if (m.page != 0 && ChoiceForPage(m.page, choice)) {
            choice.mark = languageDriver;
            return choice;
        }
        break;
    }
    choice.unsupportedMark = true;
    choice.mark = languageDriver;
    return choice;
}

bool ChoiceForPage(int page, TnvPageChoice& choice) {
    const TnvCodePage* p = FindCodePage(page);
    if (!p) return false;
    choice = TnvPageChoice{};
    choice.translate = p->IsOem();
    choice.oem = p->IsOem() ? page : DefaultPages().oem;
    choice.ansi = p->AnsiPartner();
    return true;
}

TnvTranslation::TnvTranslation(const TnvCodePage& oem, const TnvCodePage& ansi) {
    std::vector<uint8_t> oemOnly, ansiOnly;
    bool ansiTaken[256] = {};
    for (int b = 0; b < 256; ++b) {
        int a = ansi.ExactByte(oem.ToUnicode(static_cast<uint8_t>(b)));
        if (a < 0) {
            oemOnly.push_back(static_cast<uint8_t>(b));
            continue;
        }
        toAnsi_[b] = static_cast<uint8_t>(a);
        toOem_[a] = static_cast<uint8_t>(b);
        ansiTaken[a] = true;
    }
    for (int a = 0; a < 256; ++a)
        if (!ansiTaken[a]) ansiOnly.push_back(static_cast<uint8_t>(a));
    // Both pages have 256 different characters, so the two leftovers are equally long.
    for (std::size_t i = 0; i < oemOnly.size() && i < ansiOnly.size(); ++i) {
        toAnsi_[oemOnly[i]] = ansiOnly[i];
        toOem_[ansiOnly[i]] = oemOnly[i];
    }
}

const TnvTranslation& TnvTranslation::For(int oem, int ansi) {
    static std::vector<std::pair<std::pair<int, int>, std::unique_ptr<TnvTranslation>>> cache;
    for (auto& [key, t] : cache)
        if (key.first == oem && key.second == ansi) return *t;
    cache.emplace_back(std::make_pair(oem, ansi),
                       std::unique_ptr<TnvTranslation>(new TnvTranslation(CodePage(oem), CodePage(ansi))));
    return *cache.back().second;
}

void TnvTranslation::ToAnsi(const uint8_t* source, uint8_t* dest, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) dest[i] = toAnsi_[source[i]];
}

void TnvTranslation::ToOem(const uint8_t* source, uint8_t* dest, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) dest[i] = toOem_[source[i]];
}

char32_t ReaderToUnicode(const TnvPageChoice& pages, uint8_t c) {
    if (!pages.translate) return CodePage(pages.ansi).ToUnicode(c);
    return CodePage(pages.oem).ToUnicode(TnvTranslation::For(pages.oem, pages.ansi).ToOem(c));
}

uint8_t UnicodeToReader(const TnvPageChoice& pages, char32_t u) {
    if (!pages.translate) return CodePage(pages.ansi).FromUnicode(u);
    return TnvTranslation::For(pages.oem, pages.ansi).ToAnsi(CodePage(pages.oem).FromUnicode(u));
}

bool ReaderHasExact(const TnvPageChoice& pages, char32_t u) {
    return CodePage(pages.StoredPage()).ExactByte(u) >= 0;
}

}  // namespace nvlocale
