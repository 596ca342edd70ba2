// Byte-order helpers shared by every file format: little- and big-endian loads and stores
// of 16, 32 and 64 bits at any (unaligned) address. Formats use these and nothing else.
#pragma once

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

}  // namespace nvbytes
