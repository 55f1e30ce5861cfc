#pragma once
// SHA-1, SHA-256, SHA-384 and SHA-512 (FIPS 180-4), each through three calls: Init, any
// number of Update, Final. SHA-384 uses the SHA-512 context. The caller owns the
// context; nothing is allocated. Final pads the context and leaves it spent (call Init
// again before reusing it); a null digest pointer finalises without writing. Most code
// wants the one-shot forms in ShaDigest.h instead.

#include <cstdint>

namespace brn {

struct SHA1Context {
    uint64_t bitCount;          // message length in bits
    uint32_t state[5];          // H0..H4
    uint32_t bufferLength;      // bytes held in buffer, 0..63
    unsigned char buffer[64];   // the incomplete block
};

struct SHA256Context {
    uint64_t bitCount;          // message length in bits
    uint32_t state[8];          // H0..H7
    uint32_t bufferLength;      // bytes held in buffer, 0..63
    unsigned char buffer[64];   // the incomplete block
};

struct SHA512Context {          // serves SHA-384 and SHA-512
    uint64_t bitCountHigh;      // high half of the 128-bit message length in bits
    uint64_t bitCountLow;       // low half; its carry goes into bitCountHigh
    uint64_t state[8];          // H0..H7
    uint32_t bufferLength;      // bytes held in buffer, 0..127
    unsigned char buffer[128];  // the incomplete block
};

void SHA1Init(SHA1Context* context);
void SHA1Update(SHA1Context* context, const void* data, unsigned int length);
void SHA1Final(SHA1Context* context, unsigned char* digest);  // 20 bytes

void SHA256Init(SHA256Context* context);
void SHA256Update(SHA256Context* context, const void* data, unsigned int length);
void SHA256Final(SHA256Context* context, unsigned char* digest);  // 32 bytes

void SHA384Init(SHA512Context* context);
void SHA384Update(SHA512Context* context, const void* data, unsigned int length);
void SHA384Final(SHA512Context* context, unsigned char* digest);  // 48 bytes

void SHA512Init(SHA512Context* context);
void SHA512Update(SHA512Context* context, const void* data, unsigned int length);
void SHA512Final(SHA512Context* context, unsigned char* digest);  // 64 bytes

}  // namespace brn
