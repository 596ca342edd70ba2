// glibc's iconv as the reference for code-page tables: one conversion at a time.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <optional>
#include <string>

namespace nvtest {

// One conversion through glibc's iconv, the reference for every character a page has.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    // The converted bytes, or nothing when iconv refuses the input.
    std::optional<std::string> Convert(const std::string& in) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string buf = in;
        char* src = buf.data();
        std::size_t srcLeft = buf.size();
        char out[16];
        char* dst = out;
        std::size_t dstLeft = sizeof out;
        if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1))
            return std::nullopt;
        return std::string(out, static_cast<std::size_t>(dst - out));
    }

private:
    iconv_t cd_;
};

inline std::string Utf32(char32_t u) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
    return s;
}

inline std::optional<char32_t> ByteToUnicode(Iconv& cv, uint8_t b) {
    auto r = cv.Convert(std::string(1, static_cast<char>(b)));
    if (!r || r->size() != 4) return std::nullopt;
    char32_t u = 0;
    for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>((*r)[i]);
    return u;
}

inline std::optional<uint8_t> UnicodeToByte(Iconv& cv, char32_t u) {
    auto r = cv.Convert(Utf32(u));
    if (!r || r->size() != 1) return std::nullopt;
    return static_cast<uint8_t>((*r)[0]);
}


// Text in `page` from UTF-8 through iconv; empty when iconv refuses it.
inline std::string Encode(const char* page, const std::string& utf8) {
    iconv_t cd = iconv_open(page, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string in = utf8, out(utf8.size() * 4 + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t srcLeft = in.size(), dstLeft = out.size();
    const bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    return ok ? out.substr(0, out.size() - dstLeft) : std::string();
}

// UTF-8 from text in `page` through iconv; empty when iconv refuses it.
inline std::string Decode(const char* page, const std::string& bytes) {
    iconv_t cd = iconv_open("UTF-8", page);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string in = bytes, out(bytes.size() * 4 + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t srcLeft = in.size(), dstLeft = out.size();
    const bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    return ok ? out.substr(0, out.size() - dstLeft) : std::string();
}

}  // namespace nvtest
