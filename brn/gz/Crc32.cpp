#include "brn/gz/Crc32.h"

#include "brn/ByteOrder.h"

namespace brn {

namespace {

constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;
constexpr int kTableCount = 8;  // one table per byte position of an 8-byte step

// table[0][b] is the CRC remainder of the byte b; table[k][b] is that of b followed by k
// zero bytes, so eight bytes can be folded in with eight independent look-ups.
struct Crc32Tables {
    uint32_t table[kTableCount][256];
};

constexpr Crc32Tables makeTables() {
    Crc32Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t r = b;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) != 0 ? (r >> 1) ^ kReflectedPolynomial : r >> 1;
        t.table[0][b] = r;
    }
    for (int k = 1; k < kTableCount; ++k) {
        for (int b = 0; b < 256; ++b) {
            uint32_t previous = t.table[k - 1][b];
            t.table[k][b] = (previous >> 8) ^ t.table[0][previous & 0xFF];
        }
    }
    return t;
}

constexpr Crc32Tables kTables = makeTables();

inline uint32_t foldByte(uint32_t crc, unsigned char byte) {
    return kTables.table[0][(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

// The first four bytes are XORed with the running remainder; the byte that is furthest
// from the end of the step needs the table with the most trailing zero bytes.
inline uint32_t foldEightBytes(uint32_t crc, const unsigned char* p) {
    const auto& t = kTables.table;
    uint32_t low = loadLe32(p) ^ crc;
    uint32_t high = loadLe32(p + 4);
    return t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
           t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
}

}  // namespace

uint32_t crc32Update(uint32_t crc, const unsigned char* data, size_t length) {
    uint32_t remainder = ~crc;
    for (; length >= 8; length -= 8, data += 8) remainder = foldEightBytes(remainder, data);
    for (; length > 0; --length, ++data) remainder = foldByte(remainder, *data);
    return ~remainder;
}

}  // namespace brn
