// Code page 437 (OEM, the text on disk) and code page 1252 (ANSI, the text in the record set):
// their Unicode tables, the best-fit table for characters a page lacks, and the two
// byte-for-byte translation tables derived from them at compile time.
//
// Choices:
// - Bytes 0x00-0x7F are the same in both pages and map to themselves, control characters
//   included (0x00-0x1F and 0x7F are control codes, not the glyphs a PC screen showed for
//   them), so the translation never invents or removes a control byte.
// - The five bytes code page 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for
//   the C1 control characters of the same value, as on the original platform.
// - A character the target page lacks goes through the best-fit table below; a character
//   without an entry there, or whose stand-in the target lacks as well, becomes '?'.
#include <array>

#include "nv6_lcal.h"

namespace nvlocale {

namespace {

// Unicode of bytes 0x80-0xFF (bytes below 0x80 are ASCII in both pages).
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

constexpr char16_t kCp1252High[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // A8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // B8
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,  // C0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // C8
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // D0
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,  // D8
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // E0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // E8
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,  // F0
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,  // F8
};

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

}  // namespace nvlocale
