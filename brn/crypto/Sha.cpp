#include "brn/crypto/Sha.h"

#include "brn/crypto/DigestEngine.h"

namespace brn {
namespace {

using hashengine::BitCount;

constexpr uint32_t kSha1Iv[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u};

// One constant per group of 20 rounds.
constexpr uint32_t kSha1Constants[4] = {0x5a827999u, 0x6ed9eba1u, 0x8f1bbcdcu, 0xca62c1d6u};

// First 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr uint32_t kSha256Iv[8] = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
    0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
};

// First 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr uint32_t kSha256Constants[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u,
    0x923f82a4u, 0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u,
    0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u,
    0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u,
    0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u,
    0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au,
    0x5b9cca4fu, 0x682e6ff3u, 0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u,
    0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

// First 64 bits of the fractional parts of the square roots of the first 8 primes.
constexpr uint64_t kSha512Iv[8] = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull,
};

// The same for the 9th to 16th primes.
constexpr uint64_t kSha384Iv[8] = {
    0xcbbb9d5dc1059ed8ull, 0x629a292a367cd507ull, 0x9159015a3070dd17ull, 0x152fecd8f70e5939ull,
    0x67332667ffc00b31ull, 0x8eb44a8768581511ull, 0xdb0c2e0d64f98fa7ull, 0x47b5481dbefa4fa4ull,
};

// First 64 bits of the fractional parts of the cube roots of the first 80 primes.
constexpr uint64_t kSha512Constants[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
    0x3956c25bf348b538ull, 0x59f111f1b605d019ull, 0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
    0xd807aa98a3030242ull, 0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
    0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull, 0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
    0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
    0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull, 0x06ca6351e003826full, 0x142929670a0e6e70ull,
    0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull, 0x92722c851482353bull,
    0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull, 0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
    0xd192e819d6ef5218ull, 0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
    0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull, 0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
    0x748f82ee5defb2fcull, 0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
    0xca273eceea26619cull, 0xd186b8c721c0c207ull, 0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
    0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
    0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull, 0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull,
};

template <class Word>
inline Word rotr(Word x, unsigned n) {
    return (x >> n) | (x << (8 * sizeof(Word) - n));
}

// SHA-1 and SHA-256 count the same way: a 64-bit bit count and a fill level.
template <class Context>
struct ShaCount64 {
    static size_t buffered(const Context& c) { return c.bufferLength; }
    static void setBuffered(Context& c, size_t n) { c.bufferLength = uint32_t(n); }
    static void countBytes(Context& c, size_t n) { c.bitCount += uint64_t(n) << 3; }
    static BitCount bitCount(const Context& c) { return {0, c.bitCount}; }
};

struct Sha1Traits : ShaCount64<SHA1Context> {
    using Word = uint32_t;
    using Context = SHA1Context;
    static constexpr size_t kBlockBytes = 64;
    static constexpr size_t kLengthBytes = 8;
    static constexpr bool kBigEndian = true;
    static void compress(Word* state, const unsigned char* block);
};

// Round function of SHA-1 round i: choose, parity, majority, parity (20 rounds each).
inline uint32_t sha1Mix(unsigned i, uint32_t b, uint32_t c, uint32_t d) {
    if (i < 20) return (b & c) | (~b & d);
    if (i >= 40 && i < 60) return (b & c) | (b & d) | (c & d);
    return b ^ c ^ d;
}

void Sha1Traits::compress(Word* state, const unsigned char* block) {
    uint32_t w[80];
    for (unsigned i = 0; i < 16; ++i) w[i] = loadBe32(block + 4 * i);
    for (unsigned i = 16; i < 80; ++i) w[i] = rotr(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 31);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (unsigned i = 0; i < 80; ++i) {
        uint32_t t = rotr(a, 27) + sha1Mix(i, b, c, d) + e + kSha1Constants[i / 20] + w[i];
        e = d;
        d = c;
        c = rotr(b, 2);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

// What SHA-256 and SHA-512 differ in: word size, round count, constants, rotations.
struct Sha256Params {
    using Word = uint32_t;
    static constexpr unsigned kRounds = 64;
    static constexpr const Word* kConstants = kSha256Constants;
    static Word load(const unsigned char* p) { return loadBe32(p); }
    static Word bigSigma0(Word x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
    static Word bigSigma1(Word x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
    static Word smallSigma0(Word x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
    static Word smallSigma1(Word x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }
};

struct Sha512Params {
    using Word = uint64_t;
    static constexpr unsigned kRounds = 80;
    static constexpr const Word* kConstants = kSha512Constants;
    static Word load(const unsigned char* p) { return loadBe64(p); }
    static Word bigSigma0(Word x) { return rotr(x, 28) ^ rotr(x, 34) ^ rotr(x, 39); }
    static Word bigSigma1(Word x) { return rotr(x, 14) ^ rotr(x, 18) ^ rotr(x, 41); }
    static Word smallSigma0(Word x) { return rotr(x, 1) ^ rotr(x, 8) ^ (x >> 7); }
    static Word smallSigma1(Word x) { return rotr(x, 19) ^ rotr(x, 61) ^ (x >> 6); }
};

// One SHA-2 round. Instead of shifting the eight working words along, the caller
// rotates the argument order, so each round only updates d and h in place.
template <class P>
inline void sha2Round(typename P::Word a, typename P::Word b, typename P::Word c, typename P::Word& d,
                      typename P::Word e, typename P::Word f, typename P::Word g, typename P::Word& h,
                      typename P::Word constantPlusWord) {
    typename P::Word t1 = h + P::bigSigma1(e) + ((e & f) ^ (~e & g)) + constantPlusWord;
    typename P::Word t2 = P::bigSigma0(a) + ((a & b) ^ (a & c) ^ (b & c));
    d += t1;
    h = t1 + t2;
}

template <class P>
void sha2Compress(typename P::Word* state, const unsigned char* block) {
    using Word = typename P::Word;
    const Word* k = P::kConstants;
    Word w[P::kRounds];
    for (unsigned i = 0; i < 16; ++i) w[i] = P::load(block + i * sizeof(Word));
    for (unsigned i = 16; i < P::kRounds; ++i) {
        w[i] = P::smallSigma1(w[i - 2]) + w[i - 7] + P::smallSigma0(w[i - 15]) + w[i - 16];
    }
    Word a = state[0], b = state[1], c = state[2], d = state[3];
    Word e = state[4], f = state[5], g = state[6], h = state[7];
    for (unsigned i = 0; i < P::kRounds; i += 8) {
        sha2Round<P>(a, b, c, d, e, f, g, h, k[i] + w[i]);
        sha2Round<P>(h, a, b, c, d, e, f, g, k[i + 1] + w[i + 1]);
        sha2Round<P>(g, h, a, b, c, d, e, f, k[i + 2] + w[i + 2]);
        sha2Round<P>(f, g, h, a, b, c, d, e, k[i + 3] + w[i + 3]);
        sha2Round<P>(e, f, g, h, a, b, c, d, k[i + 4] + w[i + 4]);
        sha2Round<P>(d, e, f, g, h, a, b, c, k[i + 5] + w[i + 5]);
        sha2Round<P>(c, d, e, f, g, h, a, b, k[i + 6] + w[i + 6]);
        sha2Round<P>(b, c, d, e, f, g, h, a, k[i + 7] + w[i + 7]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

struct Sha256Traits : ShaCount64<SHA256Context> {
    using Word = uint32_t;
    using Context = SHA256Context;
    static constexpr size_t kBlockBytes = 64;
    static constexpr size_t kLengthBytes = 8;
    static constexpr bool kBigEndian = true;
    static void compress(Word* state, const unsigned char* block) { sha2Compress<Sha256Params>(state, block); }
};

struct Sha512Traits {  // SHA-384 too
    using Word = uint64_t;
    using Context = SHA512Context;
    static constexpr size_t kBlockBytes = 128;
    static constexpr size_t kLengthBytes = 16;
    static constexpr bool kBigEndian = true;
    static void compress(Word* state, const unsigned char* block) { sha2Compress<Sha512Params>(state, block); }

    static size_t buffered(const Context& c) { return c.bufferLength; }
    static void setBuffered(Context& c, size_t n) { c.bufferLength = uint32_t(n); }
    static BitCount bitCount(const Context& c) { return {c.bitCountHigh, c.bitCountLow}; }
    static void countBytes(Context& c, size_t n) {
        BitCount count = bitCount(c);
        hashengine::addBytes(count, n);
        c.bitCountHigh = count.high;
        c.bitCountLow = count.low;
    }
};

const unsigned char* bytes(const void* data) { return static_cast<const unsigned char*>(data); }

}  // namespace

void SHA1Init(SHA1Context* context) { hashengine::mdStart<Sha1Traits>(*context, kSha1Iv); }

void SHA1Update(SHA1Context* context, const void* data, unsigned int length) {
    hashengine::mdAbsorb<Sha1Traits>(*context, bytes(data), length);
}

void SHA1Final(SHA1Context* context, unsigned char* digest) { hashengine::mdFinish<Sha1Traits>(*context, digest, 5); }

void SHA256Init(SHA256Context* context) { hashengine::mdStart<Sha256Traits>(*context, kSha256Iv); }

void SHA256Update(SHA256Context* context, const void* data, unsigned int length) {
    hashengine::mdAbsorb<Sha256Traits>(*context, bytes(data), length);
}

void SHA256Final(SHA256Context* context, unsigned char* digest) {
    hashengine::mdFinish<Sha256Traits>(*context, digest, 8);
}

void SHA384Init(SHA512Context* context) { hashengine::mdStart<Sha512Traits>(*context, kSha384Iv); }

void SHA384Update(SHA512Context* context, const void* data, unsigned int length) {
    hashengine::mdAbsorb<Sha512Traits>(*context, bytes(data), length);
}

void SHA384Final(SHA512Context* context, unsigned char* digest) {
    hashengine::mdFinish<Sha512Traits>(*context, digest, 6);
}

void SHA512Init(SHA512Context* context) { hashengine::mdStart<Sha512Traits>(*context, kSha512Iv); }

void SHA512Update(SHA512Context* context, const void* data, unsigned int length) {
    hashengine::mdAbsorb<Sha512Traits>(*context, bytes(data), length);
}

void SHA512Final(SHA512Context* context, unsigned char* digest) {
    hashengine::mdFinish<Sha512Traits>(*context, digest, 8);
}

}  // namespace brn
