#include "nv6_encrxm.h"

#include <cstring>

#include "nv6_glbl.h"

int Cipher(std::string_view password, const void* source, void* destination, std::size_t count,
           bool encipher) {
    const auto* src = static_cast<const uint8_t*>(source);
    auto* dst = static_cast<uint8_t*>(destination);
    if (password.empty()) {
        if (src != dst && count > 0) std::memmove(dst, src, count);
        return 0;
    }
    const std::size_t keyLength = password.size();
    std::size_t k = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto mask = static_cast<uint8_t>((i & 0xFF) | static_cast<uint8_t>(password[k]));
        dst[i] = static_cast<uint8_t>(src[i] ^ mask);
        if (++k == keyLength) k = 0;
    }
    return encipher ? 1 : -1;
}

void Recipher(std::string_view oldPassword, std::string_view newPassword, void* buffer,
              std::size_t count) {
    if (oldPassword == newPassword) return;
    DecipherInPlace(oldPassword, buffer, count);
    EncipherInPlace(newPassword, buffer, count);
}

void EncipherRecord(std::string_view password, const uint8_t* record, uint8_t* work,
                    std::size_t recordLength, bool append) {
    Cipher(password, record, work, recordLength, true);
    if (append) work[recordLength] = 0x1A;
}

uint32_t DescriptorRecordLength(const uint8_t* area, std::size_t fieldCount) {
    uint32_t total = 1;
    for (std::size_t f = 0; f < fieldCount; ++f) {
        const uint8_t* d = area + 32 * f;
        uint32_t length = d[16];
        if (d[11] == 'C') length += uint32_t(d[17]) << 8;
        total += length;
    }
    return total;
}

void CheckPasswordGiven(bool enciphered, std::string_view password, std::string_view fileName) {
    if (!enciphered && !password.empty()) NvRaise(TnvMsg::PasswordForUnencrypted, {fileName});
    if (enciphered && password.empty()) NvRaise(TnvMsg::NoPassword, {fileName});
}

void CheckPasswordFits(const uint8_t* area, std::size_t fieldCount, uint32_t recordLength,
                       std::string_view fileName) {
    if (DescriptorRecordLength(area, fieldCount) != recordLength)
        NvRaise(TnvMsg::WrongPassword, {fileName});
}

void TnvCipherKeys::EncipherWrite(const void* source, void* destination, std::size_t count) const {
    if (enciphered) {
        Cipher(writeKey, source, destination, count, true);
    } else if (source != destination && count > 0) {
        std::memmove(destination, source, count);
    }
}
