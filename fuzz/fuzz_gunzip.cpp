// libFuzzer target of the gzip stage: a CGunzip is fed the input in the slicing its first
// byte picks; the output is only counted. Option A installs a header observer. Checked:
// every output block is 1..16384 bytes, a failed update is never followed by a successful
// finish, and a member the stage accepts is one zlib's own gzip decoder reads to the end of
// its deflate data with the same output (compared by length and CRC-32, so a large output
// costs no memory). In the fuzz build the stage skips its CRC comparison, so zlib may then
// only disagree about the check values.

#include <zlib.h>

#include <cstring>
#include <memory>

#include "brn/gz/ZUncompress.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr int kRawDeflate = -15;
constexpr int kGzipWrapper = 31;        // zlib parses the gzip header and trailer itself
constexpr unsigned char kFlagHeaderCrc = 0x02;
constexpr unsigned char kReservedFlags = 0xE0;
constexpr size_t kFlagsAt = 3;
constexpr size_t kOracleBlock = 65536;

struct Digest {
    uint64_t length = 0;
    uLong crc = crc32(0, Z_NULL, 0);
    void add(const unsigned char* p, size_t n) {
        length += n;
        crc = crc32(crc, p, uInt(n));
    }
};

// zlib checks a header CRC-16 and refuses reserved flags; our stage does neither.
bool zlibParsesHeaderAlike(const char* data, size_t size) {
    if (size <= kFlagsAt) return false;
    const auto flags = static_cast<unsigned char>(data[kFlagsAt]);
    return (flags & (kFlagHeaderCrc | kReservedFlags)) == 0;
}

bool endOfDeflateData(int result, const z_stream& stream) {
    if (result == Z_STREAM_END) return true;
    // These are reported only after the deflate data ended.
    return result == Z_DATA_ERROR && stream.msg != nullptr &&
           (strcmp(stream.msg, "incorrect data check") == 0 || strcmp(stream.msg, "incorrect length check") == 0);
}

// The output zlib makes of the first member, and whether it reached the member's end.
bool zlibDecode(const char* data, size_t size, Digest& digest) {
    z_stream stream{};
    if (inflateInit2(&stream, kGzipWrapper) != Z_OK) velkfuzz::fail("inflateInit2");
    static unsigned char block[kOracleBlock];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = uInt(size);
    int result = Z_OK;
    do {
        stream.next_out = block;
        stream.avail_out = sizeof block;
        result = inflate(&stream, Z_NO_FLUSH);
        digest.add(block, sizeof block - stream.avail_out);
    } while (result == Z_OK);
    const bool ended = endOfDeflateData(result, stream);
    inflateEnd(&stream);
    return ended;
}

void compareWithZlib(const velkfuzz::FuzzInput& input, const Digest& ours) {
    if (!zlibParsesHeaderAlike(input.data, input.size)) return;
    Digest theirs;
    if (!zlibDecode(input.data, input.size, theirs)) velkfuzz::fail("accepted a member whose deflate data never ends");
    if (theirs.length != ours.length || theirs.crc != ours.crc) velkfuzz::fail("output differs from zlib's");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velkfuzz::quietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    velkfuzz::FuzzInput input;
    if (!velkfuzz::readFuzzInput(bytes, size, input)) return 0;
    auto gunzip = std::make_unique<brn::CGunzip>();
    Digest ours;
    auto out = [&ours](const char* p, int n) {
        if (n < 1 || n > brn::CZUncompress::kSliceSize) velkfuzz::fail("output block of " + std::to_string(n));
        ours.add(reinterpret_cast<const unsigned char*>(p), size_t(n));
        return n;
    };
    brn::GzHeaderObserver observer;
    if ((input.options & velkfuzz::kOptionA) != 0) {
        // The header waits in the input buffer, so nothing it reports can be longer.
        observer = [](const brn::GZ_HEADER_INFO_T& header) {
            const size_t total = header.fileName.size() + header.comment.size() + header.subfieldData.size();
            if (total > size_t(brn::CZUncompress::kInputCapacity)) velkfuzz::fail("header record too long");
            return 0;
        };
    }
    if (gunzip->init(out, observer, kRawDeflate) != 0) velkfuzz::fail("init");
    const bool updatesOk = velkfuzz::forEachSlice(input, [&gunzip](const char* p, int n) {
        const int result = gunzip->update(p, n);
        if (result != n && result >= 0) velkfuzz::fail("update took part of a slice: " + std::to_string(result));
        return result == n;
    });
    const int finished = gunzip->finish();
    if (!updatesOk && finished == 0) velkfuzz::fail("finish succeeded after a failed update");
    if (updatesOk && finished == 0) compareWithZlib(input, ours);
    return 0;
}
