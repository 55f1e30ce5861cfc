#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <filesystem>
#include <set>

#include "fs/FileUtil.h"

namespace velkfuzz {

namespace fs = std::filesystem;

namespace {

// Sizes around the stages' units (AES 16, tar 512, gzip slice 16384, reader chunk 102400);
// 0 means the whole data in one call.
constexpr size_t kSliceSizes[32] = {0,    1,    2,     3,     5,     7,     8,     15,
                                    16,   17,   31,    100,   255,   511,   512,   513,
                                    1000, 1023, 1024,  1025,  4096,  8191,  16383, 16384,
                                    16385, 16392, 16393, 32768, 65536, velk::kReadChunkSize, 4, 9};

// A small generator for varying slice sizes, seeded by the input itself.
uint32_t nextRandom(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

const char* const kSentinel = "sentinel";
const char* const kNest = "nest";

}  // namespace

bool readFuzzInput(const uint8_t* bytes, size_t size, FuzzInput& input) {
    if (size == 0 || size > kMaxInput) return false;
    input.options = bytes[0];
    input.data = reinterpret_cast<const char*>(bytes + 1);
    input.size = size - 1;
    return true;
}

bool forEachSlice(const FuzzInput& input, const std::function<bool(const char*, int)>& feed) {
    const size_t base = kSliceSizes[input.options & kSliceBits];
    uint32_t state = uint32_t(input.size) ^ input.options;
    for (size_t at = 0; at < input.size;) {
        size_t slice = base == 0 ? input.size : base;
        if ((input.options & kVaryingSlices) != 0) slice = 1 + nextRandom(state) % slice;
        slice = std::min(slice, input.size - at);
        if (!feed(input.data + at, int(slice))) return false;
        at += slice;
    }
    return true;
}

void quietStdout() {
    if (getenv("VELK_FUZZ_VERBOSE") != nullptr) return;
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0) return;
    fflush(stdout);
    dup2(null, STDOUT_FILENO);
    close(null);
}

void fail(const std::string& why) {
    fprintf(stderr, "velk fuzz check failed: %s\n", why.c_str());
    abort();
}

CFuzzScratch& CFuzzScratch::get() {
    static CFuzzScratch scratch;
    return scratch;
}

CFuzzScratch::CFuzzScratch() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velk-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot make the scratch root " + pattern);
    root = pattern;
    std::error_code error;
    fs::create_directories(fs::path(root) / kNest / kNest, error);
    fs::create_directory(fs::path(root) / kSentinel, error);
    if (error) fail("cannot set up " + root);
}

CFuzzScratch::~CFuzzScratch() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

const std::string& CFuzzScratch::fresh() {
    if (!box.empty()) fail("the previous box was not removed: " + box);
    box = (fs::path(root) / kNest / kNest / ("box" + std::to_string(++serial))).string();
    if (!fs::create_directory(box)) fail("cannot make " + box);
    return box;
}

void CFuzzScratch::checkAndRemove() {
    const fs::path base(root);
    const std::set<fs::path> expected = {base / kSentinel, base / kNest, base / kNest / kNest, fs::path(box)};
    std::error_code error;
    // Links are listed, never followed: what matters is what was made where.
    for (auto it = fs::recursive_directory_iterator(base, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (expected.count(it->path()) == 0) fail("an entry appeared outside the destination: " + it->path().string());
        if (it->path() == fs::path(box)) it.disable_recursion_pending();
    }
    if (error) fail("cannot list " + root + ": " + error.message());
    fs::remove_all(box, error);
    if (error || fs::exists(fs::symlink_status(box))) fail("cannot remove " + box);
    box.clear();
}

}  // namespace velkfuzz
