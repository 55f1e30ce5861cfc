#include "brn/crypto/AesCipher.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "brn/ByteOrder.h"
#include "brn/crypto/AesHardware.h"

namespace brn {
namespace {

// ---- GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1, all evaluated at compile time.

constexpr uint8_t xtime(uint8_t a) {
    return uint8_t((a << 1) ^ ((a & 0x80) != 0 ? 0x1b : 0x00));
}

constexpr uint8_t gfMultiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    for (; b != 0; b >>= 1) {
        if ((b & 1) != 0) product ^= a;
        a = xtime(a);
    }
    return product;
}

// a^254 is the multiplicative inverse of a; 0 maps to 0 as AES requires.
constexpr uint8_t gfInverse(uint8_t a) {
    uint8_t result = 1;
    uint8_t power = a;
    for (int exponent = 254; exponent != 0; exponent >>= 1) {
        if ((exponent & 1) != 0) result = gfMultiply(result, power);
        power = gfMultiply(power, power);
    }
    return result;
}

constexpr uint8_t rotateLeft8(uint8_t x, int n) {
    return uint8_t((x << n) | (x >> (8 - n)));
}

// The S-box affine map: b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63.
constexpr uint8_t affineMap(uint8_t b) {
    return uint8_t(b ^ rotateLeft8(b, 1) ^ rotateLeft8(b, 2) ^ rotateLeft8(b, 3) ^ rotateLeft8(b, 4) ^ 0x63);
}

using ByteTable = std::array<uint8_t, 256>;
using WordTable = std::array<uint32_t, 256>;
using RoundTables = std::array<WordTable, 4>;

constexpr ByteTable makeSbox() {
    ByteTable box{};
    for (int i = 0; i < 256; ++i) box[size_t(i)] = affineMap(gfInverse(uint8_t(i)));
    return box;
}

constexpr ByteTable invertBox(const ByteTable& box) {
    ByteTable inverse{};
    for (int i = 0; i < 256; ++i) inverse[box[size_t(i)]] = uint8_t(i);
    return inverse;
}

constexpr uint32_t rotateRight32(uint32_t w, int n) {
    return n == 0 ? w : (w >> n) | (w << (32 - n));
}

// Table k holds, for each byte x, the column box[x] * (m0, m1, m2, m3) (big-endian word)
// rotated right by 8k bits, so one round is four lookups and XORs per column.
constexpr RoundTables makeRoundTables(const ByteTable& box, uint8_t m0, uint8_t m1, uint8_t m2, uint8_t m3) {
    RoundTables tables{};
    for (int x = 0; x < 256; ++x) {
        uint8_t s = box[size_t(x)];
        uint32_t column = uint32_t(gfMultiply(s, m0)) << 24 | uint32_t(gfMultiply(s, m1)) << 16 |
                          uint32_t(gfMultiply(s, m2)) << 8 | uint32_t(gfMultiply(s, m3));
        for (int k = 0; k < 4; ++k) tables[size_t(k)][size_t(x)] = rotateRight32(column, 8 * k);
    }
    return tables;
}

constexpr ByteTable kSbox = makeSbox();
constexpr ByteTable kInverseSbox = invertBox(kSbox);
constexpr RoundTables kForwardTables = makeRoundTables(kSbox, 0x02, 0x01, 0x01, 0x03);     // MixColumns
constexpr RoundTables kInverseTables = makeRoundTables(kInverseSbox, 0x0e, 0x09, 0x0d, 0x0b);  // InvMixColumns

static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xed && kSbox[0xff] == 0x16, "S-box differs from AES");
static_assert(kInverseSbox[0x63] == 0x00 && kInverseSbox[0xed] == 0x53, "inverse S-box differs from AES");
static_assert(kForwardTables[0][0] == 0xc66363a5u && kInverseTables[0][0] == 0x51f4a750u, "round tables differ");

constexpr int kBlock = AesCipher::kBlockBytes;
constexpr int kCfbLanes = 4;  // blocks deciphered together by the table path

// ---- Key schedule

uint32_t subWord(uint32_t w) {
    return uint32_t(kSbox[w >> 24]) << 24 | uint32_t(kSbox[(w >> 16) & 0xff]) << 16 |
           uint32_t(kSbox[(w >> 8) & 0xff]) << 8 | uint32_t(kSbox[w & 0xff]);
}

void expandKey(const unsigned char* key, int keyWords, int rounds, uint32_t* w) {
    const int total = 4 * (rounds + 1);
    for (int i = 0; i < keyWords; ++i) w[i] = loadBe32(key + 4 * i);
    uint8_t roundConstant = 0x01;
    for (int i = keyWords; i < total; ++i) {
        uint32_t t = w[i - 1];
        if (i % keyWords == 0) {
            t = subWord(rotateRight32(t, 24)) ^ uint32_t(roundConstant) << 24;
            roundConstant = xtime(roundConstant);
        } else if (keyWords > 6 && i % keyWords == 4) {
            t = subWord(t);
        }
        w[i] = w[i - keyWords] ^ t;
    }
}

// InvMixColumns of one word: the inverse tables hold InvSbox then InvMixColumns, so
// feeding them S-box outputs leaves InvMixColumns alone.
uint32_t invMixColumn(uint32_t w) {
    return kInverseTables[0][kSbox[w >> 24]] ^ kInverseTables[1][kSbox[(w >> 16) & 0xff]] ^
           kInverseTables[2][kSbox[(w >> 8) & 0xff]] ^ kInverseTables[3][kSbox[w & 0xff]];
}

// The equivalent inverse cipher walks the forward round keys backwards, with
// InvMixColumns applied to every round key but the first and the last.
void makeDecryptionKeys(const uint32_t* forward, int rounds, uint32_t* inverse) {
    for (int round = 0; round <= rounds; ++round) {
        for (int c = 0; c < 4; ++c) {
            uint32_t w = forward[4 * (rounds - round) + c];
            inverse[4 * round + c] = (round == 0 || round == rounds) ? w : invMixColumn(w);
        }
    }
}

// ---- Block function shared by both directions

// Column c of a round reads state words c, c+step, c+2*step, c+3*step (mod 4):
// step 1 is ShiftRows, step 3 is InvShiftRows.
template <int kStep>
uint32_t tableColumn(const RoundTables& t, const uint32_t* s, int c) {
    return t[0][s[c] >> 24] ^ t[1][(s[(c + kStep) & 3] >> 16) & 0xff] ^ t[2][(s[(c + 2 * kStep) & 3] >> 8) & 0xff] ^
           t[3][s[(c + 3 * kStep) & 3] & 0xff];
}

template <int kStep>
uint32_t lastRoundColumn(const ByteTable& box, const uint32_t* s, int c) {
    return uint32_t(box[s[c] >> 24]) << 24 | uint32_t(box[(s[(c + kStep) & 3] >> 16) & 0xff]) << 16 |
           uint32_t(box[(s[(c + 2 * kStep) & 3] >> 8) & 0xff]) << 8 | uint32_t(box[s[(c + 3 * kStep) & 3] & 0xff]);
}

// The whole input is loaded before anything is stored, so in and out may alias.
template <int kStep>
void runRounds(const uint32_t* roundKeys, int rounds, const RoundTables& tables, const ByteTable& box,
               const unsigned char* in, unsigned char* out) {
    uint32_t s[4];
    uint32_t t[4];
    for (int c = 0; c < 4; ++c) s[c] = loadBe32(in + 4 * c) ^ roundKeys[c];
    for (int round = 1; round < rounds; ++round) {
        roundKeys += 4;
        for (int c = 0; c < 4; ++c) t[c] = tableColumn<kStep>(tables, s, c) ^ roundKeys[c];
        for (int c = 0; c < 4; ++c) s[c] = t[c];
    }
    roundKeys += 4;
    for (int c = 0; c < 4; ++c) storeBe32(out + 4 * c, lastRoundColumn<kStep>(box, s, c) ^ roundKeys[c]);
}

// The forward cipher of kLanes blocks with their rounds interleaved, which keeps more
// table loads in flight than one block can: lane 0 reads `first`, lane i the (i-1)th
// block of `rest`; `out` receives kLanes blocks. All input is loaded before any store.
template <int kLanes>
void forwardLanes(const uint32_t* roundKeys, int rounds, const unsigned char* first, const unsigned char* rest,
                  unsigned char* out) {
    uint32_t s[kLanes][4];
    uint32_t t[kLanes][4];
    for (int c = 0; c < 4; ++c) s[0][c] = loadBe32(first + 4 * c) ^ roundKeys[c];
    for (int i = 1; i < kLanes; ++i) {
        for (int c = 0; c < 4; ++c) s[i][c] = loadBe32(rest + (i - 1) * kBlock + 4 * c) ^ roundKeys[c];
    }
    for (int round = 1; round < rounds; ++round) {
        roundKeys += 4;
        for (int i = 0; i < kLanes; ++i) {
            for (int c = 0; c < 4; ++c) t[i][c] = tableColumn<1>(kForwardTables, s[i], c) ^ roundKeys[c];
        }
        std::memcpy(s, t, sizeof s);
    }
    roundKeys += 4;
    for (int i = 0; i < kLanes; ++i) {
        for (int c = 0; c < 4; ++c) storeBe32(out + i * kBlock + 4 * c, lastRoundColumn<1>(kSbox, s[i], c) ^ roundKeys[c]);
    }
}

// ---- Modes. Each reads its input block completely before writing the output block,
// and `v` is the running chaining value.

void xorBlock(unsigned char* out, const unsigned char* a, const unsigned char* b) {
    for (int i = 0; i < kBlock; ++i) out[i] = uint8_t(a[i] ^ b[i]);
}

void ecbEncrypt(const AesCipher& aes, const unsigned char* in, unsigned char* out, size_t length) {
    for (size_t at = 0; at < length; at += kBlock) aes.encryptBlock(in + at, out + at);
}

void ecbDecrypt(const AesCipher& aes, const unsigned char* in, unsigned char* out, size_t length) {
    for (size_t at = 0; at < length; at += kBlock) aes.decryptBlock(in + at, out + at);
}

void cbcEncrypt(const AesCipher& aes, const unsigned char* in, unsigned char* out, size_t length, unsigned char* v) {
    for (size_t at = 0; at < length; at += kBlock) {
        xorBlock(v, in + at, v);
        aes.encryptBlock(v, v);
        std::memcpy(out + at, v, kBlock);
    }
}

void cbcDecrypt(const AesCipher& aes, const unsigned char* in, unsigned char* out, size_t length, unsigned char* v) {
    unsigned char plain[kBlock];
    for (size_t at = 0; at < length; at += kBlock) {
        aes.decryptBlock(in + at, plain);
        xorBlock(plain, plain, v);
        std::memcpy(v, in + at, kBlock);
        std::memcpy(out + at, plain, kBlock);
    }
}

void cfbEncrypt(const AesCipher& aes, const unsigned char* in, unsigned char* out, size_t length, unsigned char* v) {
    for (size_t at = 0; at < length; at += kBlock) {
        aes.encryptBlock(v, v);
        xorBlock(v, v, in + at);
        std::memcpy(out + at, v, kBlock);
    }
}

// Deciphering needs only E(previous ciphertext block), so kCfbLanes blocks go through the
// cipher together. The next chaining value is saved before the group is written, since
// in and out may alias.
void cfbDecrypt(const AesCipher& aes, const unsigned char* in, unsigned char* out, size_t length, unsigned char* v) {
    unsigned char keystream[kCfbLanes * kBlock];
    size_t at = 0;
    for (; length - at >= size_t(kCfbLanes * kBlock); at += kCfbLanes * kBlock) {
        forwardLanes<kCfbLanes>(aes.encryptionRoundKeys, aes.rounds, v, in + at, keystream);
        std::memcpy(v, in + at + (kCfbLanes - 1) * kBlock, kBlock);
        for (int i = 0; i < kCfbLanes; ++i) xorBlock(out + at + i * kBlock, keystream + i * kBlock, in + at + i * kBlock);
    }
    for (; at < length; at += kBlock) {
        aes.encryptBlock(v, keystream);
        std::memcpy(v, in + at, kBlock);
        xorBlock(out + at, keystream, v);
    }
}

// OFB is its own inverse.
void ofbCipher(const AesCipher& aes, const unsigned char* in, unsigned char* out, size_t length, unsigned char* v) {
    for (size_t at = 0; at < length; at += kBlock) {
        aes.encryptBlock(v, v);
        xorBlock(out + at, v, in + at);
    }
}

bool needsChainingValue(int mode) {
    return mode == AesCipher::kModeCbc || mode == AesCipher::kModeCfb128 || mode == AesCipher::kModeOfb;
}

bool acceptsModeCall(const AesCipher& aes, const char* in, const char* out, unsigned int length, int mode) {
    if (in == nullptr || out == nullptr || !aes.keySet) return false;
    if (length == 0 || length % kBlock != 0) return false;
    if (mode == AesCipher::kModeEcb) return true;
    return needsChainingValue(mode) && aes.ivSet;
}

}  // namespace

void AesCipher::setKey(const unsigned char* key, int length) {
    if (key == nullptr || (length != 16 && length != 24 && length != 32)) return;
    keyLength = length;
    rounds = length / 4 + 6;
    expandKey(key, length / 4, rounds, encryptionRoundKeys);
    makeDecryptionKeys(encryptionRoundKeys, rounds, decryptionRoundKeys);
    keySet = true;
}

void AesCipher::setIv(const unsigned char* value) {
    if (value == nullptr) {
        ivSet = false;
        return;
    }
    std::memcpy(iv, value, kBlockBytes);
    ivSet = true;
}

void AesCipher::encryptBlock(const unsigned char* in, unsigned char* out) const {
    runRounds<1>(encryptionRoundKeys, rounds, kForwardTables, kSbox, in, out);
}

void AesCipher::decryptBlock(const unsigned char* in, unsigned char* out) const {
    runRounds<3>(decryptionRoundKeys, rounds, kInverseTables, kInverseSbox, in, out);
}

namespace {

// The chaining modes in one direction: ECB leaves `iv` as it was, the others store the
// last chaining value back so the next call continues the same chain. Only the per-mode
// routines differ between the two directions.
struct ModeRoutines {
    void (*ecb)(const AesCipher&, const unsigned char*, unsigned char*, size_t);
    void (*cbc)(const AesCipher&, const unsigned char*, unsigned char*, size_t, unsigned char*);
    bool (*cfbHardware)(const uint32_t*, int, const unsigned char*, unsigned char*, size_t, unsigned char*);
    void (*cfb)(const AesCipher&, const unsigned char*, unsigned char*, size_t, unsigned char*);
};

void runMode(AesCipher& aes, const ModeRoutines& routines, const char* in, char* out, unsigned int length,
             int mode) {
    if (!acceptsModeCall(aes, in, out, length, mode)) return;
    auto* src = reinterpret_cast<const unsigned char*>(in);
    auto* dst = reinterpret_cast<unsigned char*>(out);
    unsigned char v[AesCipher::kBlockBytes];
    std::memcpy(v, aes.iv, AesCipher::kBlockBytes);
    switch (mode) {
        case AesCipher::kModeEcb: routines.ecb(aes, src, dst, length); return;  // `iv` keeps its value
        case AesCipher::kModeCbc: routines.cbc(aes, src, dst, length, v); break;
        case AesCipher::kModeCfb128:
            if (!aes.hardwareAllowed || !routines.cfbHardware(aes.encryptionRoundKeys, aes.rounds, src, dst, length, v)) {
                routines.cfb(aes, src, dst, length, v);
            }
            break;
        case AesCipher::kModeOfb: ofbCipher(aes, src, dst, length, v); break;
        default: return;  // refused by acceptsModeCall already
    }
    std::memcpy(aes.iv, v, AesCipher::kBlockBytes);
}

constexpr ModeRoutines kEncryptRoutines = {ecbEncrypt, cbcEncrypt, aesHardwareCfbEncrypt, cfbEncrypt};
constexpr ModeRoutines kDecryptRoutines = {ecbDecrypt, cbcDecrypt, aesHardwareCfbDecrypt, cfbDecrypt};

}  // namespace

void AesCipher::encrypt(const char* in, char* out, unsigned int length, int mode) {
    runMode(*this, kEncryptRoutines, in, out, length, mode);
}

void AesCipher::decrypt(const char* in, char* out, unsigned int length, int mode) {
    runMode(*this, kDecryptRoutines, in, out, length, mode);
}

}  // namespace brn
