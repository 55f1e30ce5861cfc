#include "brn/gz/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>

#include "tests/support/TestSupport.h"

namespace {

const unsigned char* bytesOf(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

TEST(Crc32, CheckValue) {
    EXPECT_EQ(brn::crc32Update(0, bytesOf("123456789"), 9), 0xCBF43926u);
}

// Lengths 0..100 from start offsets 0..7 (the 8-byte steps run on unaligned data) against
// python3's zlib.crc32, and the running value carried over every split against zlib's crc32.
TEST(Crc32, MatchesPythonAndZlib) {
    velktest::TempDir dir;
    const std::string data = velktest::seededBytes(4099, 7);
    velktest::writeFile(dir / "data", data);
    std::istringstream expected(velktest::shell(velktest::python() + " " + velktest::scriptDir() +
                                                "/gz_make.py crc " + velktest::quote(dir / "data")));
    for (size_t start = 0; start < 8; ++start) {
        for (size_t n = 0; n <= 100; ++n) {
            uint32_t reference = 0;
            ASSERT_TRUE(expected >> reference);
            EXPECT_EQ(brn::crc32Update(0, bytesOf(data) + start, n), reference) << start << "+" << n;
        }
    }
    const uint32_t whole = uint32_t(::crc32(0, bytesOf(data), uInt(data.size())));
    for (size_t split : {0u, 1u, 7u, 9u, 63u, 2048u, 4098u}) {
        uint32_t first = brn::crc32Update(0, bytesOf(data), split);
        EXPECT_EQ(brn::crc32Update(first, bytesOf(data) + split, data.size() - split), whole) << split;
    }
}

}  // namespace
