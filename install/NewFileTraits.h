#pragma once
// CNewFileTraits tells what a file written into the staged tree gets besides its bytes (owner,
// group, mode, ACL, extended attributes, inode flags: fs/FileTraits.h). It asks the file system
// rather than predicting: an unnamed file made in the entry's folder the way the staged tree's
// maker makes a file (brn/tar/DiskEntryMaker.h, makeUnnamedFile) carries exactly what a set-
// group-ID folder, a default ACL, inherited inode flags, the umask and -p give. The answer is
// kept per folder and mode, the folder known by its device, inode, owner, group and mode (its
// change time moves with every name added), and the last kKept answers stay: a tree costs one
// unnamed file per folder and mode, not one per file. The staged tree is the run's own: nothing
// but the run changes its folders, and the run changes only their modes (-p) until the swap,
// and removes one only to put a link in its place: forget then, as its inode may serve another.
// Calling order: find for each file entry, forget after a folder may have gone; the maker is
// borrowed.

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <string>

#include "brn/tar/DiskEntryMaker.h"
#include "fs/FileTraits.h"

namespace velk {

class CNewFileTraits {
public:
    explicit CNewFileTraits(brn::CDiskEntryMaker& staged) : maker(staged) {}

    // The traits a file entry `name` of entry mode `mode` gets once written: `traits` points at
    // them (valid until the next call), or is null where they cannot be asked (no unnamed files
    // on this file system). The folder is reached, and missing folders made, as writing the
    // entry would: a MakeOutcome, its message printed, as openFile would print it.
    brn::MakeOutcome find(const std::string& name, uint32_t mode, const FileTraits*& traits);
    void forget() { answers.clear(); }

private:
    static constexpr size_t kKept = 8;  // folders and modes remembered

    struct Answer {
        struct stat folder;  // the folder as it was when asked
        uint32_t mode;
        bool known;          // whether `traits` could be asked
        FileTraits traits;
    };

    static bool sameFolder(const struct stat& a, const struct stat& b);
    Answer ask(int folder, const struct stat& seen, uint32_t mode) const;

    brn::CDiskEntryMaker& maker;
    std::deque<Answer> answers;  // the most recent first
};

}  // namespace velk
