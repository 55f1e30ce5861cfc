#include "brn/gz/ZUncompress.h"

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "tests/support/TestSupport.h"

namespace {

using brn::CZUncompress;
constexpr int kGzip = CZUncompress::kModeGzip, kPlain = CZUncompress::kModeInflate;
constexpr size_t kSlice = 16384;

std::string lettersAndNoise(size_t size, uint64_t seed) {
    std::string s;
    while (s.size() < size) s += s.size() % 80000 ? velktest::seededBytes(40000, seed++) : std::string(40000, 'v');
    return s.substr(0, size);
}

// What `command FILE` prints for a file holding `source`, dated 1234567890.
std::string make(const std::string& command, const std::string& source) {
    static velktest::TempDir dir;
    velktest::writeFile(dir / "in", source);
    return velktest::shell("cd " + velktest::quote(dir.path()) + " && touch -d @1234567890 in && " + command + " in");
}

// A member: FLG `flags`, MTIME 0x12345678, `optional` fields, `body` (empty data and trailer).
std::string member(unsigned char flags, const std::string& optional = "",
                   const std::string& body = std::string("\x03\x00\0\0\0\0\0\0\0\0", 10)) {
    return std::string("\x1f\x8b\x08", 3) + char(flags) + std::string("\x78\x56\x34\x12\x00\x03", 6) + optional + body;
}

// Inits `z` (its `refuseAt`th output block is refused, the observer answers `observed`), pushes `stream`
// in `slices` up to an update that falls short (its result is `update`), then finishes. Blocks: 1..16384
// bytes; `pieces` has the length of each block taken.
struct Outcome { int update = 0, finish = 0; std::string out, printed, header; std::vector<size_t> pieces; };
Outcome run(CZUncompress& z, const std::string& stream, const std::vector<size_t>& slices, int refuseAt, int observed) {
    Outcome r;
    auto out = [&r, refuseAt, calls = 0](const char* p, int n) mutable {
        EXPECT_TRUE(n >= 1 && n <= int(kSlice)) << n;
        return ++calls == refuseAt ? -1 : (r.out.append(p, size_t(n)), r.pieces.push_back(size_t(n)), n);
    };
    auto observe = [&](const brn::GZ_HEADER_INFO_T& h) {
        r.header += std::to_string(h.modificationTime) + "|" + h.fileName + "|" + h.comment + "|" + h.subfieldData;
        return r.header += "|" + std::to_string(h.subfieldId1) + " " + std::to_string(h.subfieldId2), observed;
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(z.init(out, observe, -15), 0);
    for (size_t i = 0, at = 0; i < slices.size() && r.update == 0; at += slices[i++])
        if (int got = z.update(stream.data() + at, int(slices[i])); got != int(slices[i])) r.update = got;
    if (r.update == 0) r.finish = z.finish();
    fflush(stdout);
    r.printed = testing::internal::GetCapturedStdout();
    return r;
}

// Good, damaged and foreign streams in every slicing: the same results, cause of failure (recorded
// where it is found), output, header record and text.
TEST(ZUncompress, StreamsInEverySlicing) {
    const std::string big = lettersAndNoise(300000, 1), small = lettersAndNoise(3000, 2), empty = member(0);
    const std::string gz = make("gzip -c -9 -n", big), named = make("gzip -c", small);
    const std::string twoSlices = lettersAndNoise(2 * kSlice, 4), exact = make("gzip -c -n", twoSlices);
    const std::string raw = make(velktest::python() + " -c 'import sys, zlib; c = zlib.compressobj(9, 8, -15); "
                                 "sys.stdout.buffer.write(c.compress(open(\"in\", \"rb\").read()) + c.flush())'", big);
    // FEXTRA (XLEN 12: subfields AP "vk" and ZZ), FNAME, FCOMMENT and FHCRC (never checked).
    const std::string allFields = std::string("\x0c\x00" "AP\x02\x00" "vk" "ZZ\x02\x00\x01\x02" "m.bin\0hi\0HC", 25);
    const std::string mtime = "305419896|", longName(16381, 'n'), tailer = "CZUncompress::finish checkTailer error ";
    auto set = [](std::string s, size_t at, int byte) { return s[at] = char(byte), s; };
    auto dump = [](const std::string& id) {  // the first 10 bytes after a coloured source location
        return "invalid gzip header:\n\x1b\\[40;32m.*brn/gz/ZUncompress\\.cpp,line [0-9]+,checkHeader\\(\\):\x1b\\[0m "
               "pBuffer\\(10\\)=\n0000H: " + id + " 00 78 56 34 12  00 03 \nCZUncompress::checkHeader error -2\n";
    };
    using E = brn::GzipError;
    struct Case { std::string stream; int update, finish; E error; std::string printed, out, header = "";
                  int mode = kGzip, refuseAt = 0, observed = 0; };
    const Case cases[] = {
        {gz, 0, 0, E::kNone, "", big},  // FLG 0: the observer is never told
        {exact, 0, 0, E::kNone, "", twoSlices},  // the deflate data ends with the output buffer full
        {named, 0, 0, E::kNone, "", small, "1234567890|in|||0 0"},  // held whole until finish
        {member(0x1E, allFields, gz.substr(10)), 0, 0, E::kNone, "", big, mtime + "m.bin|hi|vk|65 80"},
        {raw, 0, 0, E::kNone, "", big, "", kPlain},  // its last 8 bytes are data too
        // XLEN 6 holds one subfield whose LEN (200) runs past the extra field: not reported.
        {member(0x04, std::string("\x06\x00" "AB\xc8\x00" "xy", 8)), 0, 0, E::kNone, "", "", mtime + "|||0 0"},
        {member(0x08, longName + '\0'), 0, 0, E::kNone, "", "", mtime + longName + "|||0 0"},  // fills the input
        {member(0x08, longName + "n" + '\0'), -4, 0, E::kHeaderTooLong, "", ""},                // one byte more
        {named, -3, 0, E::kHeaderRefused, "CZUncompress::checkHeader error -3\n", "", "1234567890|in|||0 0", kGzip, 0,
         -1},
        {gz, -3, 0, E::kOutputRefused, "", "", "", kGzip, 1},  // the output refuses a block while update inflates
        {named, 0, -2, E::kOutputRefused, "", "", "1234567890|in|||0 0", kGzip, 1},  // ... and while finish does
        {set(gz, gz.size() - 8, gz[gz.size() - 8] == 'A' ? 'B' : 'A'), 0, -3, E::kCrcMismatch, tailer + "-2\n", ""},
        {set(gz, gz.size() - 1, 0x40), 0, -3, E::kSizeMismatch, tailer + "-3\n", ""},
        // Deflate data that never ends: cut short, a non-final block, a final block cut short (no output).
        {gz.substr(0, gz.size() - 3), 0, -2, E::kTruncated, "", ""},
        {member(0, "", std::string("\0\3\0\xfc\xff" "abc" "\xc2\x41\x24\x35\3\0\0\0", 16)), 0, -2, E::kTruncated, "",
         ""},
        {member(0, "", std::string("\x93\0\0\0\0\0\0\0\0", 9)), 0, -2, E::kTruncated, "", ""},
        {gz + "garbage after the member", 0, -3, E::kCrcMismatch, tailer + "-2\n", ""},
        {empty.substr(0, 15), 0, -1, E::kTruncated, "CZUncompress::finish 5 < 8\n", ""},
        {std::string(8, '\0'), 0, -2, E::kTruncated, "", ""},  // no header: zeros are no empty member's trailer
        {raw.substr(0, raw.size() - 1), 0, -2, E::kTruncated, "", "", "", kPlain},  // must reach the deflate data's end
        {set(gz, 10, 0xFF), -3, 0, E::kBadData, "", ""},     // reserved block type, met in update
        {set(empty, 0, 0x20), -3, 0, E::kNotGzip, dump("20 8B 08"), ""},
        {set(empty, 1, 0x8C), -3, 0, E::kNotGzip, dump("1F 8C 08"), ""},
        {set(empty, 2, 9), -3, 0, E::kNotGzip, dump("1F 8B 09"), ""},
    };
    for (const Case& c : cases) {
        const size_t n = c.stream.size();
        for (size_t s : {n, size_t(0), size_t(1), size_t(7), kSlice - 1, kSlice, kSlice + 1}) {
            SCOPED_TRACE("case " + std::to_string(&c - cases) + ", slices of " + std::to_string(s) + " (0: random)");
            CZUncompress z(c.mode);
            const auto slices = s ? velktest::fixedSlices(n, s) : velktest::randomSlices(n, 3 * kSlice, n);
            const Outcome r = run(z, c.stream, slices, c.refuseAt, c.observed);
            EXPECT_EQ(std::tuple(r.update, r.finish, z.lastError(), r.header),
                      std::tuple(c.update, c.finish, c.error, c.header));
            EXPECT_TRUE(std::regex_match(r.printed, std::regex(c.printed))) << r.printed;
            EXPECT_TRUE(r.out == c.out || r.update != 0 || r.finish != 0);
            // Whole output buffers, a multiple of the tar block size, then one shorter: also on failure.
            EXPECT_EQ(r.pieces, velktest::fixedSlices(r.out.size(), kSlice));
        }
    }
}

#ifdef VELK_EMULATED
constexpr size_t kBigMemberBytes = size_t(8) << 20;  // under an emulator: the same test, smaller
#else
constexpr size_t kBigMemberBytes = size_t(50) << 20;
#endif

TEST(ZUncompress, FiftyMebibyteMember) {
    const std::string source = lettersAndNoise(kBigMemberBytes, 3), stream = make("gzip -c -1 -n", source);
    CZUncompress z(kGzip);
    const Outcome r = run(z, stream, velktest::randomSlices(stream.size(), 200000, 5), 0, 0);
    EXPECT_TRUE(r.update == 0 && r.finish == 0 && r.out == source);
    EXPECT_EQ(r.pieces, velktest::fixedSlices(source.size(), kSlice));
}

TEST(ZUncompress, MisuseAndRestart) {
    const std::string big = lettersAndNoise(100000, 6), stream = make("gzip -c", big);
    auto keep = [](const char*, int n) { return n; };
    CZUncompress z(kGzip), bad(2);  // bad: an invalid mode
    EXPECT_EQ(std::tuple(z.update("x", 1), bad.init(keep, nullptr, -15), bad.update("x", 1)), std::tuple(-2, -2, -2));
    EXPECT_EQ(std::tuple(z.init(nullptr, nullptr, -15), z.init(keep, nullptr, 99)), std::tuple(-1, -3));
    ASSERT_EQ(z.init(keep, nullptr, -15), 0);
    EXPECT_EQ(std::tuple(z.update("x", 0), z.update("x", -5), z.update(nullptr, 4)), std::tuple(-1, -1, -1));
    ASSERT_EQ(z.update(stream.data(), 30000), 30000);  // run's init starts over mid-stream
    const Outcome r = run(z, stream, velktest::fixedSlices(stream.size(), 4000), 0, 0);
    EXPECT_TRUE(r.finish == 0 && r.out == big && z.update("x", 1) == -2);  // -2 after finish
    run(z, std::string(20, 'x'), {20}, 0, 0);  // a failure, whose cause a new init forgets
    ASSERT_EQ(z.init(keep, nullptr, -15), 0);
    EXPECT_EQ(z.lastError(), brn::GzipError::kNone);
}

}  // namespace
