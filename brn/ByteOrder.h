#pragma once
// Loads and stores of fixed-width integers in a stated byte order. All multi-byte
// fields of the formats we read go through these, never through a pointer cast, so
// the code is the same on little- and big-endian machines and never misaligned.

#include <cstdint>

namespace brn {

inline uint32_t loadBe32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline uint64_t loadBe64(const unsigned char* p) {
    return uint64_t(loadBe32(p)) << 32 | loadBe32(p + 4);
}

inline uint32_t loadLe32(const unsigned char* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[0]);
}

inline uint64_t loadLe64(const unsigned char* p) {
    return uint64_t(loadLe32(p + 4)) << 32 | loadLe32(p);
}

inline uint16_t loadLe16(const unsigned char* p) {
    return uint16_t(p[1] << 8 | p[0]);
}

inline void storeBe32(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline void storeBe64(unsigned char* p, uint64_t v) {
    storeBe32(p, uint32_t(v >> 32));
    storeBe32(p + 4, uint32_t(v));
}

inline void storeLe32(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline void storeLe64(unsigned char* p, uint64_t v) {
    storeLe32(p, uint32_t(v));
    storeLe32(p + 4, uint32_t(v >> 32));
}

}  // namespace brn
