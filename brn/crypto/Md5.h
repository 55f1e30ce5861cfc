#pragma once
// MD5 (RFC 1321) through the classic three calls: MD5Init, any number of MD5Update,
// MD5Final. The caller owns the context; nothing is allocated. Final pads the context
// and leaves it spent: call MD5Init again before reusing it. Used only to derive the
// head key; the rest of the system reaches SHA through ShaDigest.h.

#include <cstdint>

namespace brn {

struct MD5Context {
    uint32_t count[2];          // message length in bits, low word first (one 64-bit count)
    uint32_t state[4];          // chaining value A, B, C, D
    unsigned char buffer[64];   // the incomplete block; fill = (count[0] / 8) mod 64
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const unsigned char* input, unsigned int length);
void MD5Final(MD5Context* context, unsigned char digest[16]);  // digest must not be null

}  // namespace brn
