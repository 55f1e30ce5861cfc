#pragma once
// The AES block engine (128-, 192- and 256-bit keys) with ECB, CBC, CFB-128 and OFB.
// Calling order: setKey, then setIv for the chaining modes, then any number of
// encrypt/decrypt calls; every call continues the chain left in `iv` by the previous
// one, and a new setIv restarts it. The engine is a plain record owned by its user:
// it holds no pointer and allocates nothing; its tables are constant data.
// A refused mode call (see encrypt) touches neither the output nor `iv`. CFB-128 uses the
// processor's AES instructions when AesHardware.h finds them, with identical results, unless
// the engine's own hardwareAllowed is cleared (a test or benchmark comparing both paths).

#include <cstdint>

namespace brn {

struct AesCipher {
    static constexpr int kBlockBytes = 16;
    static constexpr int kMaxRoundKeyWords = 60;  // 4 x (14 rounds + 1)

    // The `mode` argument of encrypt and decrypt. Any other value processes nothing.
    static constexpr int kModeEcb = 0;
    static constexpr int kModeCbc = 1;
    static constexpr int kModeCfb128 = 2;
    static constexpr int kModeOfb = 3;
    static constexpr int kModeCounter = 4;  // reserved: nothing sets the counter, so it processes nothing

    // Installs the schedule of a 16-, 24- or 32-byte key. A null key or any other length
    // keeps the previous schedule.
    void setKey(const unsigned char* key, int length);
    // Installs a 16-byte chaining value; null clears `ivSet`.
    void setIv(const unsigned char* value);

    void encryptBlock(const unsigned char* in, unsigned char* out) const;  // 16 bytes each
    void decryptBlock(const unsigned char* in, unsigned char* out) const;

    // Cipher `length` bytes (a non-zero multiple of 16) in `mode`; in and out may be the
    // same buffer. Nothing happens for a null pointer, no key, a bad length, an unknown
    // mode, or a chaining mode without `ivSet`.
    void encrypt(const char* in, char* out, unsigned int length, int mode);
    void decrypt(const char* in, char* out, unsigned int length, int mode);

    bool keySet = false;
    uint32_t encryptionRoundKeys[kMaxRoundKeyWords] = {};  // forward schedule, 4 x (rounds + 1) used
    uint32_t decryptionRoundKeys[kMaxRoundKeyWords] = {};  // equivalent inverse cipher schedule
    int keyLength = 0;                                     // key bytes: 16, 24 or 32
    int rounds = 0;                                        // 10, 12 or 14
    bool ivSet = false;
    unsigned char iv[kBlockBytes] = {};  // chaining value; each mode call leaves its last one here
    bool hardwareAllowed = true;         // CFB-128 may use the processor's AES instructions
    bool counterSet = false;             // reserved for a counter mode
    unsigned char counter[kBlockBytes] = {};
};

}  // namespace brn
