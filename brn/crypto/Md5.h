#pragma once
// MD5 (RFC 1321) through the classic three calls: MD5Init, any number of MD5Update,
// MD5Final. The caller owns the context; nothing is allocated.

#include <cstdint>

namespace brn {

struct MD5Context {
    uint32_t count[2];          // message length in bits, low word first
    uint32_t state[4];          // chaining value A, B, C, D
    unsigned char buffer[64];   // the incomplete block; fill = (count[0] / 8) mod 64
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const unsigned char* input, unsigned int length);
void MD5Final(MD5Context* context, unsigned char digest[16]);

}  // namespace brn
