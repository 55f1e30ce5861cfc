// inflate_floor FILE.gz: zlib's inflate alone over one gzip file, the output thrown away.
// bench/run times it as the floor of the gzip stage: no cipher, no tar, no file writes.
// Reads FILE in 102400-byte chunks (the chunk size velk-unpack reads with) and inflates
// each into one fixed buffer. Prints nothing on success; a message on stderr otherwise.
// Exit status: 0 the stream ended with a good trailer and nothing behind it, 1 failure, 2 usage.

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kOutputSize = 64 * 1024;
constexpr int kGzipWindowBits = 15 + 16;  // a 32 KiB window, gzip header and trailer only

// What the loop below waits for next.
enum class InflateExpect : int {
    kMoreInput = 0,  // the gzip stream has not ended yet
    kEndOfFile = 1,  // the stream ended: only the end of the file may follow
};

int fail(const char* what) {
    fprintf(stderr, "inflate_floor: %s\n", what);
    return kExitFailed;
}

// Inflates one chunk completely into `output`, discarding what comes out.
// Returns Z_OK while the stream goes on, Z_STREAM_END at its end, else a zlib error.
int inflateChunk(z_stream& zs, std::vector<unsigned char>& output) {
    int result = Z_OK;
    do {
        zs.next_out = output.data();
        zs.avail_out = uInt(output.size());
        result = inflate(&zs, Z_NO_FLUSH);
        if (result == Z_STREAM_END) return result;
        if (result != Z_OK && result != Z_BUF_ERROR) return result;
    } while (zs.avail_out == 0 || zs.avail_in > 0);
    return Z_OK;
}

int inflateFile(int fd) {
    std::vector<unsigned char> input(velk::kReadChunkSize);
    std::vector<unsigned char> output(kOutputSize);
    z_stream zs;
    std::memset(&zs, 0, sizeof(zs));
    if (inflateInit2(&zs, kGzipWindowBits) != Z_OK) return fail("inflateInit2 failed");
    InflateExpect expect = InflateExpect::kMoreInput;
    int status = kExitOk;
    for (;;) {
        ssize_t n = ::read(fd, input.data(), input.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            status = fail("read failed");
            break;
        }
        if (n == 0) {
            if (expect != InflateExpect::kEndOfFile) status = fail("file ended inside the gzip stream");
            break;
        }
        if (expect == InflateExpect::kEndOfFile) {
            status = fail("bytes behind the end of the gzip stream");
            break;
        }
        zs.next_in = input.data();
        zs.avail_in = uInt(n);
        int result = inflateChunk(zs, output);
        if (result == Z_STREAM_END && zs.avail_in == 0) {
            expect = InflateExpect::kEndOfFile;
        } else if (result != Z_OK) {
            status = fail(result == Z_STREAM_END ? "bytes behind the end of the gzip stream" : "corrupt gzip stream");
            break;
        }
    }
    inflateEnd(&zs);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: inflate_floor FILE.gz\n");
        return kExitUsage;
    }
    velk::CUniqueFd fd(::open(argv[1], O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return fail("cannot open the file");
    return inflateFile(fd.get());
}
