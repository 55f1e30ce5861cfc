#include "brn/gz/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/TestSupport.h"

namespace {

// The published check value; zlib's crc32 over lengths 0..100 from offsets 0..7 (unaligned 8-byte steps).
TEST(Crc32, CheckValueAndZlib) {
    auto bytes = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
    EXPECT_EQ(brn::crc32Update(0, bytes("123456789"), 9), 0xCBF43926u);
    const std::string data = velktest::seededBytes(108, 7);
    for (size_t start = 0; start < 8; ++start)
        for (size_t n = 0; n <= 100; ++n)
            ASSERT_EQ(brn::crc32Update(0, bytes(data) + start, n), ::crc32(0, bytes(data) + start, uInt(n))) << start;
}

}  // namespace
