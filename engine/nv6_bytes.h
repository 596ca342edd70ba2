// Byte-order helpers shared by every file format: little- and big-endian loads and stores
// of 16, 32 and 64 bits at any (unaligned) address. Formats use these and nothing else.
// Besides them, a copy for the short runs of bytes keys are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nvbytes {

inline uint16_t LoadLE16(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t LoadLE32(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
inline uint64_t LoadLE64(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return uint64_t(LoadLE32(b)) | (uint64_t(LoadLE32(b + 4)) << 32);
}
inline uint16_t LoadBE16(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t LoadBE32(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}
inline uint64_t LoadBE64(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return (uint64_t(LoadBE32(b)) << 32) | uint64_t(LoadBE32(b + 4));
}

inline void StoreLE16(void* p, uint16_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
}
inline void StoreLE32(void* p, uint32_t v) {
    auto* b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (8 * i));
}
inline void StoreLE64(void* p, uint64_t v) {
    auto* b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
}
inline void StoreBE16(void* p, uint16_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v >> 8);
    b[1] = uint8_t(v);
}
inline void StoreBE32(void* p, uint32_t v) {
    auto* b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (8 * (3 - i)));
}
inline void StoreBE64(void* p, uint64_t v) {
    auto* b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * (7 - i)));
}

inline double LoadLEDouble(const void* p) {
    uint64_t u = LoadLE64(p);
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}
inline void StoreLEDouble(void* p, double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    StoreLE64(p, u);
}

// Copies `n` bytes (0 <= n) between buffers that do not overlap. Keys are mostly a few to
// a few dozen bytes, where a copy of variable length costs a library call or a string
// instruction that takes longer to start than the copy itself: two fixed-size copies that
// overlap in the middle cover any length up to twice their size.
inline void CopyShort(void* to, const void* from, std::size_t n) {
    auto* d = static_cast<uint8_t*>(to);
    const auto* s = static_cast<const uint8_t*>(from);
    if (n >= 16 && n <= 32) {
        std::memcpy(d, s, 16);
        std::memcpy(d + n - 16, s + n - 16, 16);
    } else if (n >= 8 && n < 16) {
        std::memcpy(d, s, 8);
        std::memcpy(d + n - 8, s + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(d, s, 4);
        std::memcpy(d + n - 4, s + n - 4, 4);
    } else if (n > 32) {
        std::memcpy(d, s, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
    }
}

}  // namespace nvbytes
