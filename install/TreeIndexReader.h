#pragma once
// CTreeIndexReader reads the index of an installed tree (install/TreeIndexFormat.h) as a
// stream. open trusts nothing it has not checked: the file must be a regular file of one of the
// given owners that no one else may write, of version 1, whole (its end record's digest matches
// every byte before it, read once through), and made for the folder DEST is now (its device and
// inode). Even then each record only says what a file was: a caller trusts it for a file only
// where the file's identity still equals the record's. After open, records come in order
// through next, or through find, which follows the order of a package of the same tree: it
// looks ahead at most kLookAhead records, so memory stays bounded, and a path not found there
// is simply not known. A file's digests are read when asked (digestAt).
// Calling order: open, then next or find (not both), digestAt for a record given. Owns its
// descriptor; the folders are borrowed for open only.

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fs/UniqueFd.h"
#include "install/IndexStream.h"
#include "install/TreeIndexFormat.h"

namespace velk {

enum class IndexOpen {
    kUsable,
    kMissing,     // no index beside DEST
    kRefused,     // not a regular file, another user's, or writable by others than its owner
    kDamaged,     // cannot be read, not version 1, or its digest does not match
    kOtherTree,   // made for another folder than the one DEST is now
};

// The reason in words, for messages ("the index is damaged").
const char* indexOpenText(IndexOpen outcome);

class CTreeIndexReader {
public:
    static constexpr size_t kLookAhead = 1024;  // records read ahead of the last one found

    // The index beside the folder `tree` (DEST), named `name` in `parent`.
    IndexOpen open(int parent, const std::string& name, int tree, const std::vector<uid_t>& owners);
    const IndexHeader& header() const { return head; }

    // The next record; false at the end (or on a read error, which then ends the stream).
    bool next(IndexRecord& record);
    // The record of `path`, or null (valid until the next call).
    const IndexRecord* find(const std::string& path);
    // The digest of block `block` of the file record `record`: false where it cannot be read.
    bool digestAt(const IndexRecord& record, uint64_t block, Digest& digest) const;

private:
    IndexOpen verify();
    static bool skipToNext(CIndexInput& from, IndexRecord& record);

    CUniqueFd file;
    IndexHeader head;
    std::unique_ptr<CIndexInput> input;
    uint64_t remaining = 0;           // records not read yet
    std::deque<IndexRecord> ahead;    // read, not found yet
    IndexRecord found;
};

}  // namespace velk
