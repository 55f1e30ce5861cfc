#include "brn/crypto/SipHash.h"

#include "brn/ByteOrder.h"

namespace brn {

namespace {

uint64_t rotl(uint64_t x, int b) { return x << b | x >> (64 - b); }

struct SipState {
    uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void absorb(uint64_t m) {  // two compression rounds per 8-byte word
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
};

}  // namespace

uint64_t sipHash24(const SipKey& key, const void* data, size_t length) {
    SipState s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull, key.k0 ^ 0x6c7967656e657261ull,
               key.k1 ^ 0x7465646279746573ull};
    auto* in = static_cast<const unsigned char*>(data);
    const size_t whole = length - length % 8;
    for (size_t at = 0; at < whole; at += 8) s.absorb(loadLe64(in + at));
    // The last word holds the remaining bytes and the length's low byte at the top.
    uint64_t last = uint64_t(length & 0xff) << 56;
    for (size_t i = 0; i < length % 8; ++i) last |= uint64_t(in[whole + i]) << (8 * i);
    s.absorb(last);
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) s.round();  // four finalisation rounds
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace brn
