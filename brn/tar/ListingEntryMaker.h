#pragma once
// CListingEntryMaker lists and checks what a tar reader would make without touching the
// file system: the path walker (brn/tar/PathWalker.h) runs the same rules as on disk over a
// record of what was made so far, so its verdicts and messages are those of
// CDiskEntryMaker on an empty root. The record keeps no names, only the kind of each made
// name under a secret keyed 64-bit hash of (parent, name) (brn/tar/KindTable.h): about 11
// bytes per entry, nothing per data byte. An observer, when set, is told of every entry the
// reader notes, for a listing. One instance may serve several readers in a row (packages
// sharing one destination); clear forgets everything.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "brn/crypto/SipHash.h"
#include "brn/tar/EntryMaker.h"
#include "brn/tar/EntryTree.h"
#include "brn/tar/KindTable.h"
#include "brn/tar/PathWalker.h"

namespace brn {

class CListingEntryMaker : public CEntryMaker, private CEntryTree {
public:
    // shownPrefix starts the paths in messages, as the disk maker's would.
    explicit CListingEntryMaker(const std::string& shownPrefix);

    using EntryObserver = std::function<void(const TAR_FILE_INFO_T& entry)>;
    void setEntryObserver(EntryObserver observer) { entryObserver = std::move(observer); }

    void noteEntry(const TAR_FILE_INFO_T& entry) override;
    MakeOutcome openFile(const std::string& name, uint32_t mode, int& handle) override;
    MakeOutcome write(int handle, const char* data, size_t count) override;
    MakeOutcome closeFile(int handle, const std::string& name) override;
    MakeOutcome makeSymlink(const std::string& name, const std::string& target) override;
    MakeOutcome makeHardLink(const std::string& name, const std::string& target) override;
    MakeOutcome makeDirectory(const std::string& name, uint32_t mode) override;

    uint64_t dataBytes() const { return totalBytes; }  // every data byte written, in all files
    // What the record holds at `name` (relative to the root, components as entries spell them),
    // and how many names it holds.
    NodeKind kindAt(const std::string& name);
    size_t madeCount() const { return made; }
    size_t recordBytes() const { return kinds.slotBytes(); }
    void clear();

private:
    DirRef root() const override { return rootKey; }
    int lookup(DirRef dir, const std::string& name, NodeKind& kind) override;
    int enter(DirRef dir, const std::string& name, DirRef& child) override;
    void leave(DirRef) override {}
    int makeDirectory(DirRef dir, const std::string& name) override;
    int remove(DirRef dir, const std::string& name, bool directory) override;
    int createFile(DirRef dir, const std::string& name, int& handle) override;
    int createSymlink(DirRef dir, const std::string& name, const std::string& target) override;
    int createHardLink(DirRef targetDir, const std::string& target, DirRef dir, const std::string& name) override;
    bool madeAsFile(DirRef dir, const std::string& name) override;

    uint64_t keyOf(DirRef dir, const std::string& name);
    uint8_t kindValue(DirRef dir, const std::string& name, uint64_t& key);
    void record(DirRef dir, uint64_t key, uint8_t value);
    bool isOpen(int handle) const;

    EntryObserver entryObserver;
    SipKey secret;
    DirRef rootKey;
    CKindTable kinds;
    std::string keyInput;    // parent key and name, hashed together; kept to avoid allocation
    std::vector<bool> open;  // by handle: true while the file is open
    size_t made = 0;         // names whose value is not absent
    uint64_t totalBytes = 0;
    CPathWalker walker;
};

}  // namespace brn
