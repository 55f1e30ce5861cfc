#include "brn/crypto/AesHardware.h"

#include "brn/ByteOrder.h"

// Which hardware path this build has. Only the functions marked VELK_AES_TARGET are
// compiled for the AES instructions, so the rest of the program (and every inline
// function of a header) still runs on processors without them. VELK_AES_TARGET is a
// macro because the attribute is spelled differently per architecture. The ARM paths
// need GCC's spelling; other compilers there, and other architectures, get tables only.
#if defined(VELK_PORTABLE_AES)
// tables only, by request
#elif defined(__x86_64__) && defined(__GNUC__)
#define VELK_AES_X86 1
#define VELK_AES_TARGET __attribute__((target("aes")))
#include <wmmintrin.h>
#elif defined(__aarch64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define VELK_AES_ARM 1
#define VELK_AES_TARGET __attribute__((target("+crypto")))
#include <arm_neon.h>
#include <sys/auxv.h>
#elif defined(__arm__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SOFTFP__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && __ARM_ARCH >= 7
#define VELK_AES_ARM 1
#define VELK_AES_TARGET __attribute__((target("fpu=crypto-neon-fp-armv8")))
#include <arm_neon.h>
#include <sys/auxv.h>
#endif

namespace brn {
namespace {

#if defined(VELK_AES_X86) || defined(VELK_AES_ARM)

constexpr int kBlock = 16;
constexpr int kMaxRounds = 14;

// ---- The primitives of each architecture: a 128-bit Block, its loads and stores, and
// the forward cipher of kLanes independent blocks at once (their rounds interleaved, so
// the AES unit's pipeline stays full). Loops over lanes are unrolled even at -O2, so the
// states stay in registers.

#if defined(VELK_AES_X86)

using Block = __m128i;
constexpr int kLanes = 8;  // 8 states and the current round key fit the 16 xmm registers

bool processorHasAes() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes");
}

VELK_AES_TARGET inline Block loadBlock(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
VELK_AES_TARGET inline void storeBlock(unsigned char* p, Block b) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), b);
}
VELK_AES_TARGET inline Block xorBlocks(Block a, Block b) { return _mm_xor_si128(a, b); }

template <int kCount>
VELK_AES_TARGET inline void encryptBlocks(Block* b, const Block* keys, int rounds) {
#pragma GCC unroll 8
    for (int i = 0; i < kCount; ++i) b[i] = _mm_xor_si128(b[i], keys[0]);
    for (int round = 1; round < rounds; ++round) {
        const Block key = keys[round];
#pragma GCC unroll 8
        for (int i = 0; i < kCount; ++i) b[i] = _mm_aesenc_si128(b[i], key);
    }
#pragma GCC unroll 8
    for (int i = 0; i < kCount; ++i) b[i] = _mm_aesenclast_si128(b[i], keys[rounds]);
}

#else  // VELK_AES_ARM

using Block = uint8x16_t;
#if defined(__aarch64__)
constexpr int kLanes = 8;  // 32 vector registers: 8 states and all round keys stay in them
#else
constexpr int kLanes = 4;  // 16 quad registers
#endif

#if defined(__aarch64__)
constexpr unsigned long kHwcapAes = 1UL << 3;  // HWCAP_AES of AT_HWCAP
bool processorHasAes() { return (getauxval(AT_HWCAP) & kHwcapAes) != 0; }
#else
constexpr unsigned long kHwcap2Aes = 1UL << 0;  // HWCAP2_AES of AT_HWCAP2
bool processorHasAes() { return (getauxval(AT_HWCAP2) & kHwcap2Aes) != 0; }
#endif

VELK_AES_TARGET inline Block loadBlock(const unsigned char* p) { return vld1q_u8(p); }
VELK_AES_TARGET inline void storeBlock(unsigned char* p, Block b) { vst1q_u8(p, b); }
VELK_AES_TARGET inline Block xorBlocks(Block a, Block b) { return veorq_u8(a, b); }

// AESE adds the round key before SubBytes and ShiftRows, AESMC is MixColumns: the last
// round key is added on its own.
template <int kCount>
VELK_AES_TARGET inline void encryptBlocks(Block* b, const Block* keys, int rounds) {
    for (int round = 0; round < rounds - 1; ++round) {
        const Block key = keys[round];
#pragma GCC unroll 8
        for (int i = 0; i < kCount; ++i) b[i] = vaesmcq_u8(vaeseq_u8(b[i], key));
    }
#pragma GCC unroll 8
    for (int i = 0; i < kCount; ++i) b[i] = veorq_u8(vaeseq_u8(b[i], keys[rounds - 1]), keys[rounds]);
}

#endif

// ---- CFB-128 on top of the primitives, the same for every architecture.

// The engine keeps round keys as big-endian words; the instructions take them as bytes.
VELK_AES_TARGET void loadRoundKeys(const uint32_t* roundKeys, int rounds, Block* keys) {
    unsigned char bytes[kBlock];
    for (int round = 0; round <= rounds; ++round) {
        for (int c = 0; c < 4; ++c) storeBe32(bytes + 4 * c, roundKeys[4 * round + c]);
        keys[round] = loadBlock(bytes);
    }
}

// Deciphering needs only E(previous ciphertext block), so kLanes blocks go through the
// cipher together. A whole group is loaded before any of it is stored: in and out may alias.
VELK_AES_TARGET void cfbDecrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                                size_t length, unsigned char* chain) {
    Block keys[kMaxRounds + 1];
    loadRoundKeys(roundKeys, rounds, keys);
    Block previous = loadBlock(chain);
    size_t at = 0;
    for (; length - at >= size_t(kLanes * kBlock); at += kLanes * kBlock) {
        Block cipherText[kLanes];
        Block stream[kLanes];
#pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) cipherText[i] = loadBlock(in + at + size_t(i * kBlock));
        stream[0] = previous;
#pragma GCC unroll 8
        for (int i = 1; i < kLanes; ++i) stream[i] = cipherText[i - 1];
        encryptBlocks<kLanes>(stream, keys, rounds);
#pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) storeBlock(out + at + size_t(i * kBlock), xorBlocks(stream[i], cipherText[i]));
        previous = cipherText[kLanes - 1];
    }
    for (; at < length; at += kBlock) {
        const Block cipherText = loadBlock(in + at);
        Block stream = previous;
        encryptBlocks<1>(&stream, keys, rounds);
        storeBlock(out + at, xorBlocks(stream, cipherText));
        previous = cipherText;
    }
    storeBlock(chain, previous);
}

// Enciphering chains every block on the one before: one block at a time.
VELK_AES_TARGET void cfbEncrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                                size_t length, unsigned char* chain) {
    Block keys[kMaxRounds + 1];
    loadRoundKeys(roundKeys, rounds, keys);
    Block value = loadBlock(chain);
    for (size_t at = 0; at < length; at += kBlock) {
        encryptBlocks<1>(&value, keys, rounds);
        value = xorBlocks(value, loadBlock(in + at));
        storeBlock(out + at, value);
    }
    storeBlock(chain, value);
}

bool usable(int rounds) { return rounds > 0 && rounds <= kMaxRounds && aesHardwarePresent(); }

#else  // no hardware path in this build

bool processorHasAes() { return false; }

#endif

}  // namespace

bool aesHardwarePresent() {
    static const bool present = processorHasAes();
    return present;
}

#if defined(VELK_AES_X86) || defined(VELK_AES_ARM)

bool aesHardwareCfbDecrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                           size_t length, unsigned char* chain) {
    if (!usable(rounds)) return false;
    cfbDecrypt(roundKeys, rounds, in, out, length, chain);
    return true;
}

bool aesHardwareCfbEncrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                           size_t length, unsigned char* chain) {
    if (!usable(rounds)) return false;
    cfbEncrypt(roundKeys, rounds, in, out, length, chain);
    return true;
}

#else

bool aesHardwareCfbDecrypt(const uint32_t*, int, const unsigned char*, unsigned char*, size_t, unsigned char*) {
    return false;
}

bool aesHardwareCfbEncrypt(const uint32_t*, int, const unsigned char*, unsigned char*, size_t, unsigned char*) {
    return false;
}

#endif

}  // namespace brn
