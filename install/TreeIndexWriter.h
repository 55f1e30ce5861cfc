#pragma once
// CTreeIndexWriter writes the index of the tree an install makes (install/TreeIndexFormat.h)
// and puts it beside DEST as ".NAME.velk-index", mode 0600, DEST's owner's when root installs
// into another user's DEST. Memory does not grow with the tree: records go to a private
// temporary as entries complete (a file's digests as its blocks stream in), and publish reads
// them back once the tree is final, adds each file's identity as the file is then, and writes
// the index into a second temporary, synced and renamed into place, the folder synced.
// Identities are taken last because linking a file into the staged tree, and removing the old
// tree's names after the swap, both move its ctime. A record is kept only for the last entry of
// its path, and only where the path still names what the entry made (a file: the same inode,
// size and mtime as when it was closed); anything else is left out, and so not trusted later.
// File times come from a coarse clock: publish returns only once it has passed the latest
// change time recorded, so that a file changed after the run always moves its identity.
// Both temporaries are ".NAME.<16 random hex digits>.velk-index-new", mode 0600; what a kill
// leaves of them a later run removes. Failing to write an index never fails an install: it
// says so, and leaves no index (the next run then compares files by reading them).
// Calling order: begin, useKey (before any record), then per entry startFile, addDigest for
// each block, endFile, or addEntry; then publish or discard. The parent folder is borrowed.

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"
#include "install/IndexStream.h"
#include "install/TreeIndexFormat.h"

namespace velk {

class CTreeIndexWriter {
public:
    CTreeIndexWriter() : key(randomDigestKey()) {}
    ~CTreeIndexWriter() { discard(); }
    CTreeIndexWriter(const CTreeIndexWriter&) = delete;
    CTreeIndexWriter& operator=(const CTreeIndexWriter&) = delete;

    // Makes the record temporary beside DEST (`name` in `parent`, shown as `shownParent`).
    void begin(int parent, const std::string& name, const std::string& shownParent, const Ownership& owner);
    // The digests of the index a run reuses files of: its records stay comparable.
    void useKey(const DigestKey& reused) { key = reused; }
    const DigestKey& digestKey() const { return key; }

    void startFile(const std::string& path, uint64_t size);
    void addDigest(const Digest& digest);
    // `closed` is the file as it was right after it was made.
    void endFile(const struct stat& closed);
    // A folder, a link (`target`), a hard link (`target` names the file) or the run's own file.
    void addEntry(IndexKind kind, const std::string& path, const std::string& target = std::string());

    // `tree` is the folder that is DEST now, holding the new tree. False (printed) when no
    // index could be put in place; whatever index was there before is then gone.
    bool publish(int tree);
    // Removes the temporaries.
    void discard();

private:
    struct Pass;
    int makeTemporary(std::string& made, int access);
    void write(const void* data, size_t size);
    void writeIndex(Pass& pass, int tree);
    void putInPlace();
    void fail(const char* what, int error);
    bool countPaths(Pass& pass);
    bool copyRecords(Pass& pass, int tree);
    bool keepRecord(Pass& pass, IndexRecord& record, const unsigned char* closed);
    bool finishIndex(Pass& pass, CIndexOutput& out, uint64_t records);
    void removeIndex();

    DigestKey key;
    int parent = -1;
    std::string name, shownParent;
    Ownership owner;
    std::string recordsName;  // the temporary of the records; empty when there is none
    std::string indexName;    // the temporary of the index
    CUniqueFd records;
    std::unique_ptr<CIndexOutput> out;
    bool failed = false;
};

}  // namespace velk
