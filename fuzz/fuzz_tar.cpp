// libFuzzer target of the tar stage: a CTarReader extracts the input, in the slicing its
// first byte picks, into a fresh box below the scratch root; afterwards nothing may exist
// outside the box. Option A redirects regular files through the output callbacks, which
// check what they are given; option B names a path of the callback's own for each entry
// instead of box/name. Also checked: a failed update is never followed by a successful
// finish, and update takes all of a slice or fails.

#include <memory>
#include <string>

#include "brn/tar/TarReader.h"
#include "fuzz/FuzzSupport.h"

namespace {

// The redirected file now open, as the callbacks see it.
struct Redirected {
    int handle = -1;          // -1 when none is open
    int nextHandle = 3;
    uint64_t expected = 0;    // the size its header gave
    uint64_t written = 0;
};

void installRedirection(brn::CTarReader& tar, Redirected& file) {
    auto open = [&file](const brn::TAR_FILE_INFO_T& info, int& handle) {
        if (file.handle != -1) velkfuzz::fail("a redirected file opened while another is open");
        if (info.type != brn::kTarTypeRegular) velkfuzz::fail("a non-regular entry was redirected");
        file = Redirected{file.nextHandle, file.nextHandle + 1, info.size, 0};
        handle = file.handle;
        return 0;
    };
    auto write = [&file](const char*, int count, int handle) {
        if (handle != file.handle) velkfuzz::fail("write to handle " + std::to_string(handle));
        if (count < 1 || count > 512) velkfuzz::fail("write of " + std::to_string(count) + " bytes");
        file.written += uint64_t(count);
        if (file.written > file.expected) velkfuzz::fail("more data written than the header's size");
        return count;
    };
    auto close = [&file](int handle) {
        if (handle != file.handle) velkfuzz::fail("close of handle " + std::to_string(handle));
        file.handle = -1;
        return 0;
    };
    if (!tar.setOutputCallback(open, write, close)) velkfuzz::fail("setOutputCallback");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velkfuzz::quietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    velkfuzz::FuzzInput input;
    if (!velkfuzz::readFuzzInput(bytes, size, input)) return 0;
    velkfuzz::CFuzzScratch& scratch = velkfuzz::CFuzzScratch::get();
    const std::string box = scratch.fresh();
    {
        Redirected file;  // outlives the reader, whose destructor may still close a file
        auto tar = std::make_unique<brn::CTarReader>();
        const bool ownPaths = (input.options & velkfuzz::kOptionB) != 0;
        auto onEntry = [&box, ownPaths, count = 0](const brn::TAR_FILE_INFO_T& info, bool& redirect,
                                                    std::string& outPath) mutable {
            outPath = ownPaths ? box + "/entry" + std::to_string(++count) : box + "/" + info.name;
            redirect = true;  // used only when output callbacks are installed
            return 0;
        };
        if (tar->init(onEntry) != 0) velkfuzz::fail("init");
        if ((input.options & velkfuzz::kOptionA) != 0) installRedirection(*tar, file);
        const bool updatesOk = velkfuzz::forEachSlice(input, [&tar](const char* p, int n) {
            const int result = tar->update(p, n);
            if (result != n && result >= 0) velkfuzz::fail("update took part of a slice: " + std::to_string(result));
            return result == n;
        });
        const int finished = tar->finish();
        if (!updatesOk && finished == 0) velkfuzz::fail("finish succeeded after a failed update");
        if (finished == 0 && file.handle != -1) velkfuzz::fail("finish succeeded with a redirected file open");
    }
    scratch.checkAndRemove();
    return 0;
}
