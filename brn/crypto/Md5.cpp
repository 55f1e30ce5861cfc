#include "brn/crypto/Md5.h"

#include "brn/crypto/DigestEngine.h"

namespace brn {
namespace {

constexpr uint32_t kMd5Iv[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// floor(|sin(i + 1)| * 2^32) for step i.
constexpr uint32_t kMd5Constants[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au,
    0xa8304613u, 0xfd469501u, 0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu,
    0x6b901122u, 0xfd987193u, 0xa679438eu, 0x49b40821u, 0xf61e2562u, 0xc040b340u,
    0x265e5a51u, 0xe9b6c7aau, 0xd62f105du, 0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u,
    0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu, 0xa9e3e905u, 0xfcefa3f8u,
    0x676f02d9u, 0x8d2a4c8au, 0xfffa3942u, 0x8771f681u, 0x6d9d6122u, 0xfde5380cu,
    0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u, 0x289b7ec6u, 0xeaa127fau,
    0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u,
    0xf4292244u, 0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u,
    0xffeff47du, 0x85845dd1u, 0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u,
    0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu, 0xeb86d391u,
};

// Left-rotation amounts: four per round, repeated over the round's 16 steps.
constexpr unsigned kMd5Shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

struct Md5Traits {
    using Word = uint32_t;
    using Context = MD5Context;
    static constexpr size_t kBlockBytes = 64;
    static constexpr size_t kLengthBytes = 8;
    static constexpr bool kBigEndian = false;

    static void compress(Word* state, const unsigned char* block);

    // The count pair is one 64-bit bit count; the fill level follows from it.
    static uint64_t bits(const Context& c) { return uint64_t(c.count[1]) << 32 | c.count[0]; }
    static size_t buffered(const Context& c) { return (c.count[0] >> 3) & 63; }
    static void setBuffered(Context&, size_t) {}
    static void countBytes(Context& c, size_t n) {
        uint64_t total = bits(c) + (uint64_t(n) << 3);
        c.count[0] = uint32_t(total);
        c.count[1] = uint32_t(total >> 32);
    }
    static hashengine::BitCount bitCount(const Context& c) { return {0, bits(c)}; }
};

// Round function and message-word order of each of the four rounds of 16 steps.
inline uint32_t mix(unsigned step, uint32_t b, uint32_t c, uint32_t d, unsigned& word) {
    switch (step / 16) {
    case 0: word = step; return (b & c) | (~b & d);
    case 1: word = (5 * step + 1) & 15; return (d & b) | (~d & c);
    case 2: word = (3 * step + 5) & 15; return b ^ c ^ d;
    default: word = (7 * step) & 15; return c ^ (b | ~d);
    }
}

void Md5Traits::compress(Word* state, const unsigned char* block) {
    uint32_t m[16];
    for (unsigned i = 0; i < 16; ++i) m[i] = loadLe32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned step = 0; step < 64; ++step) {
        unsigned word = 0;
        uint32_t f = mix(step, b, c, d, word) + a + kMd5Constants[step] + m[word];
        a = d;
        d = c;
        c = b;
        b += rotl(f, kMd5Shifts[step / 16][step & 3]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void MD5Init(MD5Context* context) { hashengine::mdStart<Md5Traits>(*context, kMd5Iv); }

void MD5Update(MD5Context* context, const unsigned char* input, unsigned int length) {
    hashengine::mdAbsorb<Md5Traits>(*context, input, length);
}

void MD5Final(MD5Context* context, unsigned char digest[16]) {
    hashengine::mdFinish<Md5Traits>(*context, digest, 4);
}

}  // namespace brn
