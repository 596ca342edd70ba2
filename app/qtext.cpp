#include "qtext.h"

#include <QList>
#include <array>

namespace {

struct Crossing {
    nvlocale::TnvPageChoice pages = nvlocale::DefaultPages();
    std::array<char16_t, 256> toUnicode{};
    bool ready = false;
};

Crossing& TheCrossing() {
    static Crossing c;
    if (!c.ready) {
        // Every page's characters lie in the basic plane (private-use ones included).
        for (int b = 0; b < 256; ++b)
            c.toUnicode[b] = static_cast<char16_t>(nvlocale::ReaderToUnicode(c.pages, static_cast<uint8_t>(b)));
        c.ready = true;
    }
    return c;
}

}  // namespace

void SetTextPages(const nvlocale::TnvPageChoice& pages) {
    Crossing& c = TheCrossing();
    if (c.pages == pages) return;
    c.pages = pages;
    c.ready = false;
}

const nvlocale::TnvPageChoice& TextPages() { return TheCrossing().pages; }

QString FromAnsi(std::string_view text) {
    const Crossing& c = TheCrossing();
    QString out;
    out.reserve(static_cast<qsizetype>(text.size()));
    for (const char ch : text) out.append(QChar(c.toUnicode[static_cast<unsigned char>(ch)]));
    return out;
}

std::string ToAnsi(const QString& text) {
    const Crossing& c = TheCrossing();
    std::string out;
    out.reserve(static_cast<size_t>(text.size()));
    for (const char32_t u : text.toUcs4()) out.push_back(static_cast<char>(nvlocale::UnicodeToReader(c.pages, u)));
    return out;
}
