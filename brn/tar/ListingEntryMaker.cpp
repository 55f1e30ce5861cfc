#include "brn/tar/ListingEntryMaker.h"

#include <cerrno>

#include "brn/ByteOrder.h"

namespace brn {

namespace {

// What the record holds for a name (CKindTable values).
constexpr uint8_t kAbsent = 0;
constexpr uint8_t kRegular = 1;
constexpr uint8_t kSymlink = 2;
constexpr uint8_t kEmptyDirectory = 3;
constexpr uint8_t kFullDirectory = 4;  // a directory something was made in

bool isDirectory(uint8_t value) { return value == kEmptyDirectory || value == kFullDirectory; }

NodeKind kindOf(uint8_t value) {
    if (isDirectory(value)) return NodeKind::kDirectory;
    if (value == kSymlink) return NodeKind::kSymlink;
    return value == kRegular ? NodeKind::kRegular : NodeKind::kMissing;
}

}  // namespace

CListingEntryMaker::CListingEntryMaker(const std::string& shownPrefix)
    : secret(randomTableKey()), rootKey(DirRef(sipHash24(secret, "", 0))), walker(*this, shownPrefix) {}

void CListingEntryMaker::noteEntry(const TAR_FILE_INFO_T& entry) {
    if (entryObserver) entryObserver(entry);
}

MakeOutcome CListingEntryMaker::openFile(const std::string& name, uint32_t, int& handle) { return walker.openFile(name, handle); }

MakeOutcome CListingEntryMaker::write(int handle, const char*, size_t count) {
    if (!isOpen(handle)) return MakeOutcome::kBadHandle;
    totalBytes += count;
    return MakeOutcome::kOk;
}

MakeOutcome CListingEntryMaker::closeFile(int handle, const std::string&) {
    if (!isOpen(handle)) return MakeOutcome::kBadHandle;
    open[size_t(handle)] = false;
    return MakeOutcome::kOk;
}

MakeOutcome CListingEntryMaker::makeSymlink(const std::string& name, const std::string& target) {
    return walker.makeSymlink(name, target);
}

MakeOutcome CListingEntryMaker::makeHardLink(const std::string& name, const std::string& target) {
    return walker.makeHardLink(name, target);
}

MakeOutcome CListingEntryMaker::makeDirectory(const std::string& name, uint32_t) { return walker.makeDirectory(name); }

NodeKind CListingEntryMaker::kindAt(const std::string& name) {
    DirRef dir = rootKey;
    size_t pos = 0, begin = 0, end = 0;
    NodeKind kind = NodeKind::kDirectory;
    while (nextPathComponent(name, pos, begin, end)) {
        if (kind != NodeKind::kDirectory) return NodeKind::kMissing;
        uint64_t key = 0;
        kind = kindOf(kindValue(dir, name.substr(begin, end - begin), key));
        dir = DirRef(key);
    }
    return kind;
}

void CListingEntryMaker::clear() {
    walker.forget();
    kinds.clear();
    open.clear();
    made = 0;
    totalBytes = 0;
}

int CListingEntryMaker::lookup(DirRef dir, const std::string& name, NodeKind& kind) {
    uint64_t key = 0;
    kind = kindOf(kindValue(dir, name, key));
    return 0;
}

int CListingEntryMaker::enter(DirRef dir, const std::string& name, DirRef& child) {
    uint64_t key = 0;
    const uint8_t value = kindValue(dir, name, key);
    if (value == kSymlink) return ELOOP;
    if (!isDirectory(value)) return ENOTDIR;
    child = DirRef(key);
    return 0;
}

int CListingEntryMaker::makeDirectory(DirRef dir, const std::string& name) {
    uint64_t key = 0;
    if (kindValue(dir, name, key) != kAbsent) return EEXIST;
    record(dir, key, kEmptyDirectory);
    return 0;
}

int CListingEntryMaker::remove(DirRef dir, const std::string& name, bool directory) {
    uint64_t key = 0;
    const uint8_t value = kindValue(dir, name, key);
    if (value == kAbsent) return ENOENT;
    if (isDirectory(value) != directory) return directory ? ENOTDIR : EISDIR;
    if (value == kFullDirectory) return ENOTEMPTY;
    kinds.set(key, kAbsent);
    --made;
    return 0;
}

int CListingEntryMaker::createFile(DirRef dir, const std::string& name, int& handle) {
    uint64_t key = 0;
    if (kindValue(dir, name, key) != kAbsent) return EEXIST;
    record(dir, key, kRegular);
    size_t slot = 0;
    while (slot < open.size() && open[slot]) ++slot;
    if (slot == open.size()) open.push_back(false);
    open[slot] = true;
    handle = int(slot);
    return 0;
}

int CListingEntryMaker::createSymlink(DirRef dir, const std::string& name, const std::string&) {
    uint64_t key = 0;
    if (kindValue(dir, name, key) != kAbsent) return EEXIST;
    record(dir, key, kSymlink);
    return 0;
}

int CListingEntryMaker::createHardLink(DirRef, const std::string&, DirRef dir, const std::string& name) {
    uint64_t key = 0;
    if (kindValue(dir, name, key) != kAbsent) return EEXIST;
    record(dir, key, kRegular);
    return 0;
}

// The record starts empty: every regular file in it was made by this run.
bool CListingEntryMaker::madeAsFile(DirRef dir, const std::string& name) {
    uint64_t key = 0;
    return kindValue(dir, name, key) == kRegular;
}

uint64_t CListingEntryMaker::keyOf(DirRef dir, const std::string& name) {
    keyInput.resize(8);
    storeLe64(reinterpret_cast<unsigned char*>(&keyInput[0]), uint64_t(dir));
    keyInput += name;
    return sipHash24(secret, keyInput.data(), keyInput.size());
}

uint8_t CListingEntryMaker::kindValue(DirRef dir, const std::string& name, uint64_t& key) {
    key = keyOf(dir, name);
    return kinds.find(key);
}

// Records a made name, and that its directory now holds something (which a link cannot replace).
void CListingEntryMaker::record(DirRef dir, uint64_t key, uint8_t value) {
    if (kinds.set(key, value) == kAbsent) ++made;
    if (dir != rootKey && kinds.find(uint64_t(dir)) == kEmptyDirectory) kinds.set(uint64_t(dir), kFullDirectory);
}

bool CListingEntryMaker::isOpen(int handle) const {
    return handle >= 0 && size_t(handle) < open.size() && open[size_t(handle)];
}

}  // namespace brn
