#include "brn/tar/MadeFiles.h"

#include "brn/ByteOrder.h"

namespace brn {

namespace {
constexpr uint8_t kMade = 1;  // the table's value for a file made here; 0 reads as absent
}  // namespace

CMadeFiles::CMadeFiles() : secret(randomTableKey()) {}

void CMadeFiles::add(const struct stat& file) { files.set(keyOf(file), kMade); }

void CMadeFiles::forget(const struct stat& file) { files.set(keyOf(file), 0); }

bool CMadeFiles::holds(const struct stat& file) const { return files.find(keyOf(file)) == kMade; }

uint64_t CMadeFiles::keyOf(const struct stat& file) const {
    unsigned char bytes[16];
    storeLe64(bytes, uint64_t(file.st_dev));
    storeLe64(bytes + 8, uint64_t(file.st_ino));
    return sipHash24(secret, bytes, sizeof bytes);
}

}  // namespace brn
