#pragma once
// CMadeFiles is the record of the regular files one tree made and that still have a name
// there: a keyed hash of each file's device and inode (brn/tar/KindTable.h, about 11 bytes a
// file, nothing per name) under a secret drawn at construction, so that no archive can be
// built to make two of its files share a key. A file that was there before, or took the
// place of one made here, is not in it: a hard link may name only what the record holds.
// One record per tree, owned by it.

#include <sys/stat.h>

#include <cstdint>

#include "brn/crypto/SipHash.h"
#include "brn/tar/KindTable.h"

namespace brn {

class CMadeFiles {
public:
    CMadeFiles();

    // The file described by `file` (fstat of it) was made here, or lost its last name here:
    // its inode may then serve another file.
    void add(const struct stat& file);
    void forget(const struct stat& file);
    bool holds(const struct stat& file) const;

private:
    uint64_t keyOf(const struct stat& file) const;

    SipKey secret;
    CKindTable files;  // kMade under the key of each file made here
};

}  // namespace brn
