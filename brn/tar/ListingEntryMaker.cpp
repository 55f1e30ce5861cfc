#include "brn/tar/ListingEntryMaker.h"

namespace brn {

namespace {

// `key` + "/" + the component [begin, end) of `path`; no slash is doubled after a root "/".
std::string childKey(const std::string& key, const std::string& path, size_t begin, size_t end) {
    std::string child = key;
    if (!child.empty() && child.back() != '/') child += '/';
    child.append(path, begin, end - begin);
    return child;
}

// The trusted directory as a key: its components joined by '/', a leading '/' kept.
std::string trustedKey(const std::string& dir) {
    std::string key = !dir.empty() && dir[0] == '/' ? "/" : "";
    size_t pos = 0, begin = 0, end = 0;
    while (nextPathComponent(dir, pos, begin, end)) key = childKey(key, dir, begin, end);
    return key;
}

}  // namespace

int CListingEntryMaker::openFile(const std::string& outPath, const std::string& name, int& handle) {
    std::string key;
    const int result = findEntry(outPath, name, true, key);
    if (result != kSafePathOk) return result;
    if (key.empty()) return kSafePathNoLeaf;
    const auto found = made.find(key);
    if (found != made.end() && found->second.kind == MadeKind::kDirectory) return kSafePathCreateFailed;
    // A file is truncated, a link replaced: either way an empty regular file is left.
    MADE_ENTRY_T& file = made[key];
    file = MADE_ENTRY_T{MadeKind::kRegularFile, 0, std::string()};
    size_t slot = 0;
    while (slot < openFiles.size() && openFiles[slot] != nullptr) ++slot;
    if (slot == openFiles.size()) openFiles.push_back(nullptr);
    openFiles[slot] = &file;
    handle = int(slot);
    return kEntryMakerOk;
}

int CListingEntryMaker::write(int handle, const char*, size_t count) {
    if (handle < 0 || size_t(handle) >= openFiles.size() || openFiles[size_t(handle)] == nullptr) {
        return kEntryBadHandle;
    }
    openFiles[size_t(handle)]->bytes += count;
    totalBytes += count;
    return kEntryMakerOk;
}

int CListingEntryMaker::closeFile(int handle, const std::string&) {
    if (handle < 0 || size_t(handle) >= openFiles.size() || openFiles[size_t(handle)] == nullptr) {
        return kEntryBadHandle;
    }
    openFiles[size_t(handle)] = nullptr;
    return kEntryMakerOk;
}

// Whatever is at the path is replaced, except a directory that holds something.
int CListingEntryMaker::makeSymlink(const std::string& outPath, const std::string& name, const std::string& target) {
    std::string key;
    const int result = findEntry(outPath, name, false, key);
    if (result != kSafePathOk) return result;
    if (key.empty()) return kSafePathNoLeaf;
    if (hasChildren(key)) return kSafePathCreateFailed;
    made[key] = MADE_ENTRY_T{MadeKind::kSymlink, 0, target};
    return kEntryMakerOk;
}

int CListingEntryMaker::makeDirectory(const std::string& outPath, const std::string& name) {
    std::string key;
    const int result = findEntry(outPath, name, true, key);
    if (result != kSafePathOk || key.empty()) return result;
    made.emplace(key, MADE_ENTRY_T{});  // an existing name of any kind is kept
    return kEntryMakerOk;
}

void CListingEntryMaker::clear() {
    made.clear();
    openFiles.clear();
    totalBytes = 0;
}

int CListingEntryMaker::findEntry(const std::string& outPath, const std::string& name, bool makeMissing,
                                  std::string& key) {
    const EntryTarget target = splitEntryPath(outPath, name);
    if (hasDotDotComponent(target.below)) return refuseDotDot(name);
    key = trustedKey(target.trustedDir);
    const auto trusted = made.find(key);
    if (trusted != made.end() && trusted->second.kind == MadeKind::kRegularFile) return kSafePathNoParent;
    const std::string& below = target.below;
    size_t pos = 0, begin = 0, end = 0, nextBegin = 0, nextEnd = 0;
    const bool any = nextPathComponent(below, pos, begin, end);
    while (any && nextPathComponent(below, pos, nextBegin, nextEnd)) {
        // Another component follows, so [begin, end) must be a directory.
        key = childKey(key, below, begin, end);
        const int result = enterDirectory(key, makeMissing, name, target, end);
        if (result != kSafePathOk) return result;
        begin = nextBegin;
        end = nextEnd;
    }
    key = any ? childKey(key, below, begin, end) : std::string();
    return kSafePathOk;
}

// `end` bounds the directory's path in target.below, for the message about a link.
int CListingEntryMaker::enterDirectory(const std::string& key, bool makeMissing, const std::string& name,
                                       const EntryTarget& target, size_t end) {
    const auto found = made.find(key);
    if (found == made.end()) {
        if (!makeMissing) return kSafePathNoParent;
        made.emplace(key, MADE_ENTRY_T{});
        return kSafePathOk;
    }
    switch (found->second.kind) {
        case MadeKind::kDirectory:
            return kSafePathOk;
        case MadeKind::kSymlink:
            return refuseThroughLink(name, target.trustedDir + target.below.substr(0, end));
        case MadeKind::kRegularFile:
            break;
    }
    return kSafePathNoParent;
}

bool CListingEntryMaker::hasChildren(const std::string& key) const {
    const std::string prefix = key + "/";
    const auto next = made.lower_bound(prefix);
    return next != made.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace brn
