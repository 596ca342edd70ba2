// Code pages: the single-byte pages tables are written in, their case mapping, the pair of
// pages a table is read with (the OEM page of its text on disk and the ANSI page the record
// set hands out) and the choice of that pair from the header's language driver byte.
//
// OEM pages: 437, 737, 850, 852, 857, 860, 861, 863, 865, 866. ANSI pages: 1250 to 1254.
// Each page maps its 256 bytes to 256 different characters (bytes a page leaves undefined
// stand for C1 controls below 0xA0 and for private-use characters above), so text can go
// from one page to Unicode and back without loss.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvlocale {

class TnvCodePage {
public:
    int Number() const { return number_; }
    bool IsOem() const { return number_ < 1000; }
    char32_t ToUnicode(uint8_t c) const { return unicode_[c]; }
    // The byte holding `u`, or -1 when the page lacks it.
    int ExactByte(char32_t u) const;
    // The byte holding `u`, else its closest stand-in the page has, else '?'.
    uint8_t FromUnicode(char32_t u) const;
    uint8_t Upper(uint8_t c) const { return upper_[c]; }
    uint8_t Lower(uint8_t c) const { return lower_[c]; }
    std::string UpperCase(std::string_view text) const;
    std::string LowerCase(std::string_view text) const;
    // The language driver byte a new table in this page gets.
    uint8_t LanguageDriver() const { return languageDriver_; }
    // The ANSI page an OEM page's text is shown in; an ANSI page is its own.
    int AnsiPartner() const { return ansiPartner_; }

private:
    friend struct TnvCodePageFactory;
    int number_ = 0;
    int ansiPartner_ = 0;
    uint8_t languageDriver_ = 0;
    std::array<char32_t, 256> unicode_{};
    std::array<uint8_t, 256> upper_{};
    std::array<uint8_t, 256> lower_{};
    std::vector<std::pair<char32_t, uint8_t>> reverse_;  // sorted by character
};

// The page of that number, or nullptr when it is not one of ours.
const TnvCodePage* FindCodePage(int number);
// REQUIRES: FindCodePage(number) is not null.
const TnvCodePage& CodePage(int number);
std::vector<int> OemCodePages();
std::vector<int> AnsiCodePages();

// How a table's text is read: stored in `oem` and shown in `ansi` (translate), or stored
// in `ansi` already (no translation).
struct TnvPageChoice {
    int oem = 437;
    int ansi = 1252;
    bool translate = true;
    // The header named a page we do not read (Mac, multibyte, other Windows pages): the
    // default pair stands in for it.
    bool unsupportedMark = false;
    uint8_t mark = 0;

    int StoredPage() const { return translate ? oem : ansi; }
    const TnvCodePage& Stored() const { return CodePage(StoredPage()); }
    // "866/1251", or "1252" for text stored in its ANSI page.
    std::string Label() const;
    bool operator==(const TnvPageChoice& o) const {
        return oem == o.oem && ansi == o.ansi && translate == o.translate;
    }
};

// The pair unmarked tables are read with (437/1252 until changed; the record set takes it
// from norvane.cfg). An OEM page that is not ours, or an ANSI page that is not, is ignored.
TnvPageChoice DefaultPages();
void SetDefaultPages(int oem, int ansi);
// The pair the language driver byte names; 0 gives the default pair, and so does a mark
// we do not read, with unsupportedMark set.
TnvPageChoice ChoosePages(uint8_t languageDriver);
// The pair for a page the user names: an OEM page with its ANSI partner, an ANSI page as
// the page the text is stored in. False for a page that is not ours.
bool ChoiceForPage(int page, TnvPageChoice& choice);

// OEM <-> ANSI of one pair, byte for byte and without loss: characters both pages have
// keep their meaning, and each OEM character the ANSI page lacks (box drawing and the
// like) has an ANSI byte of its own, one the OEM page has no character for.
class TnvTranslation {
public:
    static const TnvTranslation& For(int oem, int ansi);
    uint8_t ToAnsi(uint8_t c) const { return toAnsi_[c]; }
    uint8_t ToOem(uint8_t c) const { return toOem_[c]; }
    void ToAnsi(const uint8_t* source, uint8_t* dest, std::size_t n) const;
    void ToOem(const uint8_t* source, uint8_t* dest, std::size_t n) const;

private:
    TnvTranslation(const TnvCodePage& oem, const TnvCodePage& ansi);
    std::array<uint8_t, 256> toAnsi_{};
    std::array<uint8_t, 256> toOem_{};
};

// Text as a table's reader holds it (ANSI of the pair when translating, else the stored
// page) to Unicode and back. Bytes an OEM page has and its ANSI page lacks show as the OEM
// character, so what the disk holds is what the user sees; Unicode goes in by the OEM
// page's best fit, so a character the disk cannot hold is never written as another one.
char32_t ReaderToUnicode(const TnvPageChoice& pages, uint8_t c);
uint8_t UnicodeToReader(const TnvPageChoice& pages, char32_t u);
// Whether the stored page has `u` itself (not a stand-in).
bool ReaderHasExact(const TnvPageChoice& pages, char32_t u);

}  // namespace nvlocale
