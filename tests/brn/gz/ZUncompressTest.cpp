#include "brn/gz/ZUncompress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <tuple>

#include "tests/support/TestSupport.h"

namespace {

using brn::CGunzip;
using brn::CZUncompress;
using velktest::TempDir;

constexpr size_t kSlice = 16384;

// Compressible text and random bytes taking turns in 40000-byte blocks.
std::string mixedSource(size_t size, uint64_t seed) {
    std::string source = velktest::seededBytes(size, seed), text;
    for (int i = 0; text.size() < 40000; ++i) text += "line " + std::to_string(i % 97) + " of velk text\n";
    for (size_t at = 0; at < size; at += 80000) source.replace(at, std::min<size_t>(40000, size - at), text, 0, 40000);
    return source.substr(0, size);
}

std::string gzip(const std::string& flags, const TempDir& dir, const std::string& name, const std::string& content) {
    velktest::writeFile(dir / name, content);
    return velktest::shell("gzip -c " + flags + " " + velktest::quote(dir / name));
}

std::string pythonMake(const std::string& what, const std::string& source, const TempDir& dir) {
    velktest::writeFile(dir / "py.in", source);
    velktest::shell(velktest::python() + " " + velktest::scriptDir() + "/gz_make.py " + what + " " +
                    velktest::quote(dir / "py.in") + " " + velktest::quote(dir / "py.out"));
    return velktest::readFile(dir / "py.out");
}

// A member of empty content: the 10 fixed header bytes (FLG `flags`, MTIME 0x12345678), the
// optional fields as raw bytes, an empty final deflate block and a trailer of zeros.
std::string emptyMember(unsigned char flags, const std::string& optional = "") {
    return std::string("\x1f\x8b\x08", 3) + char(flags) + std::string("\x78\x56\x34\x12\x00\x03", 6) + optional +
           std::string("\x03\x00", 2) + std::string(8, '\0');
}

// Collects the output; checks that every block is 1..16384 bytes; refuses call `refuseAt`.
struct Sink {
    std::string bytes;
    int calls = 0, refuseAt = 0;
    bool badBlock = false;
    brn::StageOutput out() {
        return [this](const char* p, int n) {
            badBlock |= n < 1 || n > int(kSlice);
            if (++calls == refuseAt) return -1;
            bytes.append(p, size_t(n));
            return n;
        };
    }
};

// 0 when every update took its whole slice, else the first result that did not.
int pushSlices(CZUncompress& z, const std::string& stream, const std::vector<size_t>& slices) {
    size_t at = 0;
    for (size_t n : slices) {
        if (int r = z.update(stream.data() + at, int(n)); r != int(n)) return r;
        at += n;
    }
    return 0;
}

std::vector<std::vector<size_t>> slicings(size_t total, bool byteByByte) {
    std::vector<std::vector<size_t>> all = {{total}, velktest::randomSlices(total, 3 * kSlice, total)};
    if (byteByByte) all.push_back(velktest::fixedSlices(total, 1));
    for (size_t slice : {size_t(7), size_t(511), kSlice - 1, kSlice, kSlice + 1}) {
        all.push_back(velktest::fixedSlices(total, slice));
    }
    return all;
}

void expectDecodes(CZUncompress& z, const std::string& stream, const std::vector<size_t>& slices,
                   const std::string& source) {
    Sink sink;
    ASSERT_EQ(z.init(sink.out(), nullptr, -15), 0);
    ASSERT_EQ(pushSlices(z, stream, slices), 0);
    ASSERT_EQ(z.finish(), 0);
    EXPECT_TRUE(sink.bytes == source);
    EXPECT_FALSE(sink.badBlock);
}

TEST(Gunzip, RealStreamsDecodeInEverySlicing) {
    TempDir dir;
    const std::string big = mixedSource(300000, 1), small = mixedSource(3000, 2);
    struct Case { std::string name, stream, source; };
    const Case cases[] = {
        {"gzip -1 (FNAME)", gzip("-1", dir, "big", big), big},
        {"gzip -9 -n", gzip("-9 -n", dir, "big", big), big},
        {"gzip -n", gzip("-n", dir, "big", big), big},
        {"gzip small (FNAME)", gzip("", dir, "small", small), small},
        {"python member", pythonMake("member", big, dir), big},
        {"gzip empty", gzip("-n", dir, "empty", ""), ""},
    };
    ASSERT_EQ(cases[0].stream[3], 0x08) << "gzip stored no file name";
    ASSERT_EQ(cases[1].stream[3], 0x00);
    for (const Case& c : cases) {
        for (const auto& slices : slicings(c.stream.size(), true)) {
            SCOPED_TRACE(c.name + ", slices " + std::to_string(slices.size()));
            CGunzip gunzip;
            expectDecodes(gunzip, c.stream, slices, c.source);
        }
    }
}

TEST(Gunzip, FiftyMebibyteMember) {
    TempDir dir;
    const std::string source = mixedSource(50u << 20, 3);
    const std::string stream = gzip("-1 -n", dir, "big", source);
    for (const auto& slices : {std::vector<size_t>{stream.size()}, velktest::randomSlices(stream.size(), 200000, 5)}) {
        CGunzip gunzip;
        expectDecodes(gunzip, stream, slices, source);
    }
}

// Damaged and foreign streams pushed in one call: update's and finish's results and the
// text printed (a regular expression; a dump shows the first 10 bytes).
TEST(Gunzip, DamagedStreamsFailWithTheirMessages) {
    TempDir dir;
    const std::string good = gzip("-n", dir, "src", mixedSource(100000, 4)), empty = emptyMember(0);
    auto set = [](std::string s, size_t at, int byte) { s[at] = char(byte); return s; };
    auto dump = [](const std::string& hex) {
        return "invalid gzip header:\n\x1b\\[40;32m[^\n]*brn/gz/ZUncompress\\.cpp,line [0-9]+,checkHeader\\(\\):"
               "\x1b\\[0m pBuffer\\(10\\)=\n0000H: " + hex + " 00 78 56 34 12  00 03 \n"
               "CZUncompress::checkHeader error -2\n";
    };
    const std::string crcError = "CZUncompress::finish checkTailer error -2\n";
    struct Case { std::string name, stream; int update, finish; std::string printed; };
    const Case cases[] = {
        {"crc damaged", set(good, good.size() - 8, good[good.size() - 8] ^ 1), 0, -3, crcError},
        {"isize damaged", set(good, good.size() - 1, 0x40), 0, -3, "CZUncompress::finish checkTailer error -3\n"},
        {"trailer cut short", good.substr(0, good.size() - 3), 0, -3, crcError},
        {"trailing garbage", good + "garbage after the member", 0, -3, crcError},
        {"second member", good + empty, 0, -3, crcError},
        {"trailer missing", empty.substr(0, 15), 0, -1, "CZUncompress::finish 5 < 8\n"},
        {"ends inside header", empty.substr(0, 7), 0, -1, "CZUncompress::finish 7 < 8\n"},
        // Without a consumed header there is no member: zero bytes must not pass as a trailer.
        {"no header, zero trailer", std::string(8, '\0'), 0, -2, ""},
        {"no header, 9 bytes", set(std::string(9, '\0'), 0, 3), 0, -2, ""},
        {"bad block type in update", set(good, 10, 0xFF), -3, 0, ""},  // BTYPE 11 is reserved
        {"bad block type in finish", set(empty, 10, 0xFF), 0, -2, ""},
        {"FTEXT and reserved bits", emptyMember(0xE1), 0, 0, ""},
        {"bad ID1", set(empty, 0, 0x20), -3, 0, dump("20 8B 08")},
        {"bad ID2", set(empty, 1, 0x8C), -3, 0, dump("1F 8C 08")},
        {"bad method", set(empty, 2, 9), -3, 0, dump("1F 8B 09")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CGunzip gunzip;
        Sink sink;
        ASSERT_EQ(gunzip.init(sink.out(), nullptr, -15), 0);
        testing::internal::CaptureStdout();
        int updated = pushSlices(gunzip, c.stream, {c.stream.size()});
        int finished = updated == 0 ? gunzip.finish() : 0;
        fflush(stdout);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(updated, c.update);
        EXPECT_EQ(finished, c.finish);
        EXPECT_TRUE(std::regex_match(printed, std::regex(c.printed))) << printed;
    }
}

// A header fills at most the 16392-byte input buffer, however it arrives; a longer one
// ends the stream with -4.
TEST(Gunzip, HeaderLengthLimit) {
    for (size_t headerLength : {size_t(16392), size_t(16393)}) {
        const std::string stream = emptyMember(0x08, std::string(headerLength - 11, 'n') + '\0');
        for (size_t slice : {stream.size(), size_t(7), size_t(1)}) {
            CGunzip gunzip;
            Sink sink;
            ASSERT_EQ(gunzip.init(sink.out(), nullptr, -15), 0);
            int updated = pushSlices(gunzip, stream, velktest::fixedSlices(stream.size(), slice));
            EXPECT_EQ(updated, headerLength == 16392 ? 0 : -4) << "slice " << slice;
            EXPECT_EQ(updated == 0 ? gunzip.finish() : gunzip.update(stream.data(), 1), updated == 0 ? 0 : -2);
        }
    }
}

TEST(Gunzip, HeaderObserverSeesTheFields) {
    TempDir dir;
    velktest::writeFile(dir / "member.bin", "named content");
    velktest::shell("touch -d @1234567890 " + velktest::quote(dir / "member.bin"));
    const std::string named = velktest::shell("gzip -c " + velktest::quote(dir / "member.bin"));
    const std::string unnamed = velktest::shell("gzip -n -c " + velktest::quote(dir / "member.bin"));
    // XLEN 6 holds one subfield whose LEN (200) runs past the extra field: not reported.
    const std::string overlong = emptyMember(0x04, std::string("\x06\x00" "AB\xc8\x00xy", 8));
    struct Case { std::string name, stream; size_t headerLength; brn::GZ_HEADER_INFO_T expected; };
    const Case cases[] = {
        {"python", pythonMake("member", "python content", dir), 59,
         {0x5EED1234, "member.bin", "made by python zlib", 'A', 'P', "velk"}},
        {"gzip", named, 21, {1234567890, "member.bin", "", 0, 0, ""}},
        {"gzip -n: not called", unnamed, 0, {}},
        {"overlong subfield", overlong, 18, {0x12345678, "", "", 0, 0, ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CGunzip gunzip;
        Sink sink;
        size_t pushed = 0, seenAt = 0;
        brn::GZ_HEADER_INFO_T seen;
        auto observe = [&](const brn::GZ_HEADER_INFO_T& h) { seen = h; seenAt = pushed + 1; return 0; };
        ASSERT_EQ(gunzip.init(sink.out(), observe, -15), 0);
        for (; pushed < c.stream.size(); ++pushed) ASSERT_EQ(gunzip.update(&c.stream[pushed], 1), 1);
        EXPECT_EQ(gunzip.finish(), 0);
        EXPECT_EQ(seenAt, c.headerLength) << "called once, by the update bringing the last header byte";
        const auto& e = c.expected;
        EXPECT_EQ(std::tie(seen.modificationTime, seen.fileName, seen.comment, seen.subfieldId1,
                           seen.subfieldId2, seen.subfieldData),
                  std::tie(e.modificationTime, e.fileName, e.comment, e.subfieldId1, e.subfieldId2, e.subfieldData));
    }
}

TEST(Gunzip, RefusalsAndMisuse) {
    TempDir dir;
    const std::string big = mixedSource(100000, 6);
    const std::string stream = pythonMake("member", big, dir), tiny = pythonMake("member", "tiny", dir);
    Sink sink, refusing;
    refusing.refuseAt = 1;
    CGunzip gunzip;
    EXPECT_EQ(gunzip.update(stream.data(), 4), -2) << "before init";
    EXPECT_EQ(gunzip.init(nullptr, nullptr, -15), -1);
    EXPECT_EQ(gunzip.init(sink.out(), nullptr, 99), -3);
    for (int mode : {2, -1, 7}) {
        CZUncompress invalid(mode);
        EXPECT_EQ(invalid.init(sink.out(), nullptr, -15), -2);
        EXPECT_EQ(invalid.update(stream.data(), 4), -2);
    }
    ASSERT_EQ(gunzip.init(sink.out(), [](const brn::GZ_HEADER_INFO_T&) { return -1; }, -15), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(gunzip.update(stream.data(), int(stream.size())), -3);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CZUncompress::checkHeader error -3\n");

    ASSERT_EQ(gunzip.init(sink.out(), nullptr, -15), 0);
    for (int len : {0, -5}) EXPECT_EQ(gunzip.update(stream.data(), len), -1);
    EXPECT_EQ(gunzip.update(nullptr, 4), -1);
    ASSERT_EQ(gunzip.update(stream.data(), 30000), 30000);  // a restart in mid-stream forgets this
    for (int round = 0; round < 2; ++round) {
        expectDecodes(gunzip, stream, velktest::fixedSlices(stream.size(), 4000), big);
        EXPECT_EQ(gunzip.update(stream.data(), 4), -2) << "after finish";
    }
    // A refused block fails update when it is inflated there, finish when it waited for it.
    ASSERT_EQ(gunzip.init(refusing.out(), nullptr, -15), 0);
    EXPECT_EQ(gunzip.update(stream.data(), int(stream.size())), -3);
    refusing.calls = 0;
    ASSERT_EQ(gunzip.init(refusing.out(), nullptr, -15), 0);
    ASSERT_EQ(gunzip.update(tiny.data(), int(tiny.size())), int(tiny.size()));
    EXPECT_EQ(gunzip.finish(), -2);
}

// Plain mode has no trailer: finish inflates every held byte and needs the end of the data.
TEST(PlainInflate, RawDeflateFromPython) {
    TempDir dir;
    const std::string source = mixedSource(70000, 7), raw = pythonMake("raw", source, dir);
    for (const auto& slices : slicings(raw.size(), false)) {
        CZUncompress inflater(CZUncompress::kModeInflate);
        expectDecodes(inflater, raw, slices, source);
    }
    CZUncompress inflater(CZUncompress::kModeInflate);
    expectDecodes(inflater, std::string("\x03\x00", 2), {2}, "");
    Sink sink;
    ASSERT_EQ(inflater.init(sink.out(), nullptr, -15), 0);
    ASSERT_EQ(inflater.update(raw.data(), int(raw.size() - 1)), int(raw.size() - 1));
    EXPECT_EQ(inflater.finish(), -2) << "truncated";
}

}  // namespace
