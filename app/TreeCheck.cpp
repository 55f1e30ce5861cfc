#include "app/TreeCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "app/InspectReport.h"
#include "brn/tar/KindTable.h"
#include "fs/FileUtil.h"
#include "fs/FolderBelow.h"
#include "install/BlockDigester.h"
#include "install/FolderCursor.h"
#include "install/PathResolve.h"
#include "install/TreeIndexReader.h"

namespace velk {

namespace {

constexpr size_t kReadSize = 4 * kIndexBlockSize;  // file bytes read at once

// One check of one tree: the records in order, then the walk for what was added.
class CTreeCheck {
public:
    CTreeCheck(int tree, CTreeIndexReader& index) : tree(tree), index(index), cursor(tree), buffer(kReadSize) {}
    int run();

private:
    void checkRecord(const IndexRecord& record);
    bool sameEntry(const IndexRecord& record, int folder, const std::string& leaf, const struct stat& st);
    bool sameBytes(const IndexRecord& record, int folder, const std::string& leaf, const struct stat& st);
    bool sameLinkTarget(const IndexRecord& record, int folder, const std::string& leaf);
    bool sameFileAs(const std::string& target, const struct stat& st);
    void walk(int folder, const std::string& prefix);
    void report(const char* what, const std::string& path);
    uint64_t hashOf(const std::string& path) const { return brn::sipHash24(pathKey, path.data(), path.size()); }

    int tree;
    CTreeIndexReader& index;
    CFolderCursor cursor;
    brn::SipKey pathKey = brn::randomTableKey();
    brn::CKindTable indexed;  // every path the index holds
    std::vector<unsigned char> buffer;
    bool differs = false;
};

void CTreeCheck::report(const char* what, const std::string& path) {
    printf("%s %s\n", what, printable(path).c_str());
    differs = true;
}

int CTreeCheck::run() {
    IndexRecord record;
    while (index.next(record)) {
        indexed.set(hashOf(record.path), 1);
        if (record.kind != IndexKind::kOwn) {
            checkRecord(record);
            continue;
        }
        // The folders the run made on the way to its own file are its own too.
        for (size_t slash = record.path.find('/'); slash != std::string::npos; slash = record.path.find('/', slash + 1)) {
            indexed.set(hashOf(record.path.substr(0, slash)), 1);
        }
    }
    walk(tree, std::string());
    if (fflush(stdout) != 0) return kCheckTreeNoIndex;
    return differs ? kCheckTreeDiffers : kCheckTreeSame;
}

void CTreeCheck::checkRecord(const IndexRecord& record) {
    std::string leaf;
    const int folder = cursor.folderOf(record.path, leaf);
    struct stat st;
    if (folder < 0 || fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // A folder on the way gone, or now a file or a link: the path is not in the tree.
        return report(errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? "missing" : "changed", record.path);
    }
    if (!sameEntry(record, folder, leaf, st)) report("changed", record.path);
}

// The kind first: a path that became another kind is changed, whatever else it holds.
bool CTreeCheck::sameEntry(const IndexRecord& record, int folder, const std::string& leaf, const struct stat& st) {
    switch (record.kind) {
        case IndexKind::kFolder: return S_ISDIR(st.st_mode) && (st.st_mode & 07777) == record.mode;
        case IndexKind::kSymlink: return S_ISLNK(st.st_mode) && sameLinkTarget(record, folder, leaf);
        case IndexKind::kHardLink: return S_ISREG(st.st_mode) && sameFileAs(record.target, st);
        case IndexKind::kFile:
            return S_ISREG(st.st_mode) && (st.st_mode & 07777) == record.mode &&
                   uint64_t(st.st_size) == record.identity.size && sameBytes(record, folder, leaf, st);
        default: return false;
    }
}

bool CTreeCheck::sameLinkTarget(const IndexRecord& record, int folder, const std::string& leaf) {
    std::vector<char> target(record.target.size() + 1);
    const ssize_t got = readlinkat(folder, leaf.c_str(), target.data(), target.size());
    return got >= 0 && size_t(got) == record.target.size() && memcmp(target.data(), record.target.data(), size_t(got)) == 0;
}

// A hard link of the tree names the same file as the path it was made to.
bool CTreeCheck::sameFileAs(const std::string& target, const struct stat& st) {
    CFolderCursor other(tree);
    std::string leaf;
    const int folder = other.folderOf(target, leaf);
    struct stat named;
    return folder >= 0 && fstatat(folder, leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == st.st_ino &&
           named.st_dev == st.st_dev;
}

// Every block read and its digest compared; the file opened must be the one looked at.
bool CTreeCheck::sameBytes(const IndexRecord& record, int folder, const std::string& leaf, const struct stat& st) {
    const CUniqueFd file(openat(folder, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (file.get() < 0 || fstat(file.get(), &opened) != 0 || opened.st_ino != st.st_ino) return false;
    (void)posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const uint64_t blocks = blockCount(record.identity.size);
    for (uint64_t block = 0; block < blocks;) {
        const ssize_t got = pread(file.get(), buffer.data(), buffer.size(), off_t(block * kIndexBlockSize));
        if (got <= 0) return false;
        for (size_t at = 0; at < size_t(got) && block < blocks; at += kIndexBlockSize, ++block) {
            Digest expected;
            const size_t part = std::min<size_t>(kIndexBlockSize, size_t(got) - at);
            if (!index.digestAt(record, block, expected) ||
                blockDigest(index.header().key, buffer.data() + at, part) != expected) {
                return false;
            }
        }
    }
    return true;
}

// Depth first, by descriptors, never through a link; every path the index does not hold is added.
void CTreeCheck::walk(int folder, const std::string& prefix) {
    const int listed = openSubfolder(folder, ".");
    std::unique_ptr<DIR, int (*)(DIR*)> dir(listed >= 0 ? fdopendir(listed) : nullptr, closedir);
    if (!dir) {
        if (listed >= 0) close(listed);
        fprintf(stderr, "velk-inspect: %s: cannot be listed(%d,%s)\n", prefix.empty() ? "DEST" : printable(prefix).c_str(),
                errno, strerror(errno));
        differs = true;
        return;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (indexed.find(hashOf(path)) == 0) report("added", path);
        struct stat st;
        if (fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
        const CUniqueFd below(openSubfolder(dirfd(dir.get()), name));
        if (below.get() >= 0) walk(below.get(), path);
    }
}

}  // namespace

int checkTree(const std::string& dest) {
    const ResolvedPath resolved = resolvePath(dest, true);
    if (!resolved.ok || resolved.path == "/") {
        fprintf(stderr, "velk-inspect: %s: cannot be resolved(%d,%s)\n", dest.c_str(), resolved.error, strerror(resolved.error));
        return kCheckTreeNoIndex;
    }
    const std::string name = resolved.path.substr(resolved.path.rfind('/') + 1);
    const CUniqueFd parent(open(parentDir(resolved.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const CUniqueFd tree(parent.get() >= 0 ? openSubfolder(parent.get(), name) : -1);
    struct stat st;
    if (tree.get() < 0 || fstat(tree.get(), &st) != 0) {
        fprintf(stderr, "velk-inspect: %s: cannot be opened(%d,%s)\n", dest.c_str(), errno, strerror(errno));
        return kCheckTreeNoIndex;
    }
    CTreeIndexReader index;
    if (const IndexOpen opened = index.open(parent.get(), name, tree.get(), {st.st_uid, geteuid()});
        opened != IndexOpen::kUsable) {
        fprintf(stderr, "velk-inspect: %s has no usable index: %s\n", dest.c_str(), indexOpenText(opened));
        return kCheckTreeNoIndex;
    }
    return CTreeCheck(tree.get(), index).run();
}

}  // namespace velk
