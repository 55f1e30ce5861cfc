#pragma once
// What the libFuzzer targets of this folder share: the shape of an input (its first byte
// picks how the rest is sliced and a few target options, the rest is the data), quieting
// standard output, and a per-process scratch root in which every input gets a fresh
// directory that is checked for escapes and removed afterwards. Calling order: quietStdout
// once from LLVMFuzzerInitialize; per input readFuzzInput, forEachSlice, and for the
// extracting targets CFuzzScratch::get().fresh() ... checkAndRemove(). Anything found
// wrong is printed to standard error and ends the process with abort(), as a crash.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace velkfuzz {

constexpr size_t kMaxInput = size_t(1) << 20;  // larger inputs are skipped

constexpr unsigned kSliceBits = 0x1F;    // index into the slice-size table
constexpr unsigned kVaryingSlices = 0x20;  // slice sizes drawn between 1 and the table's size
constexpr unsigned kOptionA = 0x40;      // meaning given by each target
constexpr unsigned kOptionB = 0x80;

struct FuzzInput {
    unsigned options = 0;        // the first byte
    const char* data = nullptr;  // the bytes behind it
    size_t size = 0;
};

// False for an empty or too large input, which the target then skips.
bool readFuzzInput(const uint8_t* bytes, size_t size, FuzzInput& input);

// Hands the data to `feed` in the slicing the options pick (an empty data gives no call).
// Stops at the first false from `feed`; returns false then.
bool forEachSlice(const FuzzInput& input, const std::function<bool(const char* data, int len)>& feed);

// Sends standard output to /dev/null unless VELK_FUZZ_VERBOSE is set.
void quietStdout();

// Prints `why` to standard error and aborts.
[[noreturn]] void fail(const std::string& why);

// The scratch root: <TMPDIR>/velk-fuzz-XXXXXX with a permanent skeleton
//   sentinel/          must stay empty
//   nest/nest/         holds each input's box
// Links with up to three ".." components from a box land inside the root, so an escape
// shows up as an unexpected entry. The root is removed at exit (the static's destructor).
class CFuzzScratch {
public:
    static CFuzzScratch& get();
    // A new empty directory for one input (the previous one must be removed).
    const std::string& fresh();
    // Aborts when anything besides the skeleton and the box exists below the root, then
    // removes the box.
    void checkAndRemove();

private:
    CFuzzScratch();
    ~CFuzzScratch();
    std::string root;
    std::string box;        // empty while no input is running
    unsigned long serial = 0;
};

}  // namespace velkfuzz
