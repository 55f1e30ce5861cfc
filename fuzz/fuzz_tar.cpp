// libFuzzer target of the tar stage: a CTarReader extracts the input, in the slicing its
// first byte picks, through a CDiskEntryMaker into a fresh box below the scratch root;
// afterwards nothing may exist outside the box. With option B the same input also goes
// through a CListingEntryMaker, which must judge every update, finish and cause alike (the
// box starts empty, as the listing's record does). Also checked: a failed update is never
// followed by a successful finish, and update takes all of a slice or fails.

#include <fcntl.h>

#include <string>
#include <vector>

#include "brn/tar/DiskEntryMaker.h"
#include "brn/tar/ListingEntryMaker.h"
#include "brn/tar/TarReader.h"
#include "fs/UniqueFd.h"
#include "fuzz/FuzzSupport.h"

namespace {

// What a reader answered: each update, then finish, then its recorded cause.
struct Answers {
    std::vector<int> results;
    brn::TarError cause = brn::TarError::kNone;
    bool operator!=(const Answers& other) const { return results != other.results || cause != other.cause; }
};

Answers extract(const velkfuzz::FuzzInput& input, brn::CEntryMaker& maker) {
    Answers answers;
    brn::CTarReader tar;
    if (tar.init(&maker) != 0) velkfuzz::fail("init");
    const bool updatesOk = velkfuzz::forEachSlice(input, [&tar, &answers](const char* p, int n) {
        const int result = tar.update(p, n);
        if (result != n && result >= 0) velkfuzz::fail("update took part of a slice: " + std::to_string(result));
        answers.results.push_back(result);
        return result == n;
    });
    const int finished = tar.finish();
    if (!updatesOk && finished == 0) velkfuzz::fail("finish succeeded after a failed update");
    answers.results.push_back(finished);
    answers.cause = tar.lastError();
    return answers;
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
        const velk::CUniqueFd root(open(box.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root.get() < 0) velkfuzz::fail("cannot open " + box);
        brn::CDiskEntryMaker disk(root.get(), box + "/");
        const Answers onDisk = extract(input, disk);
        if ((input.options & velkfuzz::kOptionB) != 0) {
            brn::CListingEntryMaker listing(box + "/");
            if (extract(input, listing) != onDisk) velkfuzz::fail("the listing judged otherwise than the disk");
        }
    }
    scratch.checkAndRemove();
    return 0;
}
