// libFuzzer target of the extension headers (brn/tar/TarExtensions.h): the input is a run of
// headers, each a byte whose low two bits pick its typeflag ('x', 'g', 'L', 'K'), two bytes of
// length (little-endian, cut to what is left and to kMaxExtensionBytes) and its data. After
// every header the entry the headers describe is formed from fixed fields; with option A the
// entry comes after each header (entryDone). Checked: a refused header changes nothing; a
// taken 'x', 'L' or 'K' header leaves the extensions pending; a formed name or link target is
// never empty and never holds a NUL byte.

#include <algorithm>
#include <string>

#include "brn/tar/TarExtensions.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr unsigned char kFlags[] = {'x', 'g', 'L', 'K'};
constexpr uint32_t kFieldSize = 7;  // the entry's own size field

// The entry as the headers taken so far describe it; size 0xFFFFFFFF when it has none.
struct Formed {
    std::string name, linkTarget;
    uint32_t size = 0;
    bool pending = false;
    bool operator!=(const Formed& other) const {
        return name != other.name || linkTarget != other.linkTarget || size != other.size ||
               pending != other.pending;
    }
};

Formed form(const brn::CTarExtensions& extensions, bool fieldValid) {
    Formed formed;
    formed.name = extensions.formName("field");
    formed.linkTarget = extensions.formLinkTarget("link");
    if (!extensions.formSize(kFieldSize, fieldValid, formed.size)) formed.size = 0xFFFFFFFFu;
    formed.pending = extensions.pending();
    return formed;
}

void check(const Formed& formed) {
    for (const std::string* text : {&formed.name, &formed.linkTarget}) {
        if (text->empty()) velkfuzz::fail("an empty name or link target was formed");
        if (text->find('\0') != std::string::npos) velkfuzz::fail("a NUL byte in a formed name or link target");
    }
}

// Takes the headers of one input, forming and checking the entry after each.
void takeHeaders(const velkfuzz::FuzzInput& input) {
    const auto* data = reinterpret_cast<const unsigned char*>(input.data);
    const bool entryAfterEach = (input.options & velkfuzz::kOptionA) != 0;
    const bool fieldValid = (input.options & velkfuzz::kOptionB) == 0;
    brn::CTarExtensions extensions;
    for (size_t at = 0; at + 3 <= input.size;) {
        const unsigned char flag = kFlags[data[at] & 3];
        size_t length = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
        at += 3;
        length = std::min({length, input.size - at, brn::kMaxExtensionBytes});
        const Formed before = form(extensions, fieldValid);
        const brn::TarError taken = extensions.take(flag, input.data + at, length);
        at += length;
        const Formed after = form(extensions, fieldValid);
        check(after);
        if (taken != brn::TarError::kNone && after != before) velkfuzz::fail("a refused header changed the entry");
        if (taken == brn::TarError::kNone && flag != 'g' && !after.pending) velkfuzz::fail("a header left no trace");
        if (entryAfterEach) extensions.entryDone();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const bool quiet = (velkfuzz::quietStdout(), true);  // once, before the first message
    velkfuzz::FuzzInput input;
    if (quiet && velkfuzz::readFuzzInput(bytes, size, input)) takeHeaders(input);
    return 0;
}
