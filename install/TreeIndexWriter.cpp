#include "install/TreeIndexWriter.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "brn/ByteOrder.h"
#include "brn/tar/KindTable.h"
#include "fs/HelperName.h"
#include "fs/Message.h"
#include "install/FolderCursor.h"

namespace velk {

namespace {

constexpr mode_t kIndexMode = 0600;
constexpr size_t kClosedSize = 8 + 8 + 4;  // after a file's digests in the records: inode, mtime
constexpr uint8_t kManyTimes = 7;          // a path given this often is left out altogether
constexpr long kLongestTickNs = 100000000;  // a clock tick of file times is far shorter than this

// The record temporary's tail of a file: what it was right after it was made.
bool sameAsClosed(const struct stat& now, const unsigned char* closed) {
    return uint64_t(now.st_ino) == brn::loadLe64(closed) &&
           int64_t(now.st_mtim.tv_sec) == int64_t(brn::loadLe64(closed + 8)) &&
           uint32_t(now.st_mtim.tv_nsec) == brn::loadLe32(closed + 16);
}

bool later(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// File times come from a coarse clock: a file changed within the tick of its recorded change
// time would keep it. Returning only once the clock has passed the latest recorded change time
// makes any later change move the file's identity. One sleep, always (of nothing where the
// clock is past already), so that a run makes the same calls whatever the time; bounded, so a
// clock set back or a file time from the future costs no more than the longest tick.
void waitPast(const timespec& latest) {
    timespec now{}, tick{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    clock_getres(CLOCK_REALTIME_COARSE, &tick);
    long long wait = (latest.tv_sec - now.tv_sec) * 1000000000LL + (latest.tv_nsec - now.tv_nsec) +
                     tick.tv_sec * 1000000000LL + tick.tv_nsec;
    wait = std::max(0LL, std::min<long long>(wait, kLongestTickNs));
    const timespec pause{time_t(wait / 1000000000LL), long(wait % 1000000000LL)};
    (void)clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

}  // namespace

// What publish keeps while it reads the records: how often each path was given, and where the
// tree's folders were reached.
struct CTreeIndexWriter::Pass {
    brn::SipKey pathKey = brn::randomTableKey();
    brn::CKindTable seen;
    CFolderCursor paths, targets;
    CUniqueFd index;
    timespec latestChange{};  // the latest change time of a file recorded
    uint64_t hashOf(const std::string& path) const { return brn::sipHash24(pathKey, path.data(), path.size()); }
};

void CTreeIndexWriter::begin(int folder, const std::string& destName, const std::string& shown, const Ownership& given) {
    parent = folder;
    name = destName;
    shownParent = shown;
    owner = given;
    records.reset(makeTemporary(recordsName, O_RDWR));
    if (records.get() >= 0) out = std::make_unique<CIndexOutput>(records.get());
}

// A fresh temporary beside DEST, private, DEST's owner's: its descriptor, its name in `made`;
// -1 (printed) where it cannot be made.
int CTreeIndexWriter::makeTemporary(std::string& made, int access) {
    made = unpredictableName(name, kIndexTemporarySuffix);
    CUniqueFd file(made.empty() ? -1 : openat(parent, made.c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                              kIndexMode));
    if (file.get() < 0) {
        const int error = made.empty() ? EAGAIN : errno;
        made.clear();
        fail("its temporary cannot be made", error);
        return -1;
    }
    if (owner.given && fchown(file.get(), owner.user, owner.group) != 0) {
        fail("its temporary cannot be given DEST's owner", errno);
        return -1;
    }
    return file.release();
}

void CTreeIndexWriter::write(const void* data, size_t size) {
    if (failed || !out) return;
    if (int error = out->write(data, size); error != 0) fail("cannot be written", error);
}

void CTreeIndexWriter::startFile(const std::string& path, uint64_t size) {
    IndexRecord record;
    record.kind = IndexKind::kFile;
    record.path = path;
    record.identity.size = size;
    const std::string head = encodeRecordHead(record);
    write(head.data(), head.size());
}

void CTreeIndexWriter::addDigest(const Digest& digest) { write(digest.data(), digest.size()); }

void CTreeIndexWriter::endFile(const struct stat& closed) {
    unsigned char tail[kClosedSize];
    brn::storeLe64(tail, uint64_t(closed.st_ino));
    brn::storeLe64(tail + 8, uint64_t(closed.st_mtim.tv_sec));
    brn::storeLe32(tail + 16, uint32_t(closed.st_mtim.tv_nsec));
    write(tail, sizeof tail);
}

void CTreeIndexWriter::addEntry(IndexKind kind, const std::string& path, const std::string& target) {
    IndexRecord record;
    record.kind = kind;
    record.path = path;
    record.identity.size = target.size();
    const std::string head = encodeRecordHead(record);
    write(head.data(), head.size());
    write(target.data(), target.size());
}

void CTreeIndexWriter::fail(const char* what, int error) {
    if (!failed) {
        brn::message("index %s/%s: %s(%d,%s)\n", shownParent.c_str(), helperName(name, kIndexSuffix).c_str(), what,
                     error, strerror(error));
    }
    failed = true;
}

// How often each path is given: only its last record can describe the tree.
bool CTreeIndexWriter::countPaths(Pass& pass) {
    if (lseek(records.get(), 0, SEEK_SET) != 0) return false;
    CIndexInput in(records.get());
    IndexRecord record;
    while (readIndexRecord(in, record)) {
        const uint64_t hash = pass.hashOf(record.path);
        const uint8_t times = pass.seen.find(hash);
        pass.seen.set(hash, times < kManyTimes ? times + 1 : kManyTimes);
        const uint64_t tail = record.kind == IndexKind::kFile ? recordDataSize(record) + kClosedSize : 0;
        if (in.skip(tail) != 0) return false;
    }
    return record.kind == IndexKind::kEnd || in.atEnd();
}

// Whether the record still describes what its path names in the tree, with the identity and
// mode taken now. `closed` is a file's tail in the records: what it was right after it was made.
bool CTreeIndexWriter::keepRecord(Pass& pass, IndexRecord& record, const unsigned char* closed) {
    const uint64_t hash = pass.hashOf(record.path);
    const uint8_t times = pass.seen.find(hash);
    if (times > 1) {
        if (times < kManyTimes) pass.seen.set(hash, times - 1);
        return false;
    }
    if (record.kind == IndexKind::kOwn) return true;
    std::string leaf;
    const int folder = pass.paths.folderOf(record.path, leaf);
    struct stat now;
    if (folder < 0 || fstatat(folder, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return false;
    record.mode = uint32_t(now.st_mode & 07777);
    if (later(now.st_ctim, pass.latestChange)) pass.latestChange = now.st_ctim;
    const uint64_t size = record.identity.size;
    record.identity = identityOf(now);
    switch (record.kind) {
        case IndexKind::kFolder: return S_ISDIR(now.st_mode);
        case IndexKind::kSymlink: record.identity.size = size; return S_ISLNK(now.st_mode);
        case IndexKind::kFile: return S_ISREG(now.st_mode) && uint64_t(now.st_size) == size && sameAsClosed(now, closed);
        case IndexKind::kHardLink: {
            std::string targetLeaf;
            const int targetFolder = pass.targets.folderOf(record.target, targetLeaf);
            struct stat target;
            record.identity.size = size;
            return S_ISREG(now.st_mode) && targetFolder >= 0 &&
                   fstatat(targetFolder, targetLeaf.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 &&
                   target.st_ino == now.st_ino && target.st_dev == now.st_dev;
        }
        default: return false;
    }
}

// Every record of the temporary that still describes the tree, into the index temporary.
bool CTreeIndexWriter::copyRecords(Pass& pass, int tree) {
    struct stat dest;
    if (fstat(tree, &dest) != 0 || lseek(records.get(), 0, SEEK_SET) != 0) return false;
    IndexHeader header;
    header.device = uint64_t(dest.st_dev);
    header.treeInode = uint64_t(dest.st_ino);
    header.key = key;
    unsigned char head[kIndexHeaderSize];
    encodeHeader(header, head);
    CIndexOutput index(pass.index.get());
    CIndexInput in(records.get());
    if (index.write(head, sizeof head) != 0) return false;
    pass.paths = CFolderCursor(tree);
    pass.targets = CFolderCursor(tree);
    uint64_t kept = 0;
    IndexRecord record;
    std::vector<char> digests;
    while (readIndexRecord(in, record)) {
        const bool file = record.kind == IndexKind::kFile;
        digests.resize(file ? size_t(recordDataSize(record)) : 0);
        unsigned char closed[kClosedSize];
        if (file && (in.read(digests.data(), digests.size()) != 0 || in.read(closed, sizeof closed) != 0)) return false;
        if (!keepRecord(pass, record, file ? closed : nullptr)) continue;
        const std::string recordHead = encodeRecordHead(record);
        if (index.write(recordHead.data(), recordHead.size()) != 0 || index.write(digests.data(), digests.size()) != 0 ||
            index.write(record.target.data(), record.target.size()) != 0) {
            return false;
        }
        ++kept;
    }
    return record.kind == IndexKind::kEnd || in.atEnd() ? finishIndex(pass, index, kept) : false;
}

bool CTreeIndexWriter::finishIndex(Pass& pass, CIndexOutput& index, uint64_t kept) {
    unsigned char end[1 + 8];
    end[0] = static_cast<unsigned char>(IndexKind::kEnd);
    brn::storeLe64(end + 1, kept);
    if (index.write(end, 1) != 0) return false;
    const Digest digest = index.digest();
    if (index.write(end + 1, 8) != 0 || index.write(digest.data(), digest.size()) != 0 || index.flush() != 0) {
        return false;
    }
    return fsync(pass.index.get()) == 0 && close(pass.index.release()) == 0;
}

bool CTreeIndexWriter::publish(int tree) {
    Pass pass;
    if (!failed) writeIndex(pass, tree);
    if (!failed) putInPlace();
    if (failed) removeIndex();
    discard();
    if (!failed) waitPast(pass.latestChange);
    return !failed;
}

// The records read back into the index temporary, synced.
void CTreeIndexWriter::writeIndex(Pass& pass, int tree) {
    if (!out || out->flush() != 0) return fail("cannot be written", errno);
    if (!countPaths(pass)) return fail("cannot be read back", errno != 0 ? errno : EIO);
    pass.index.reset(makeTemporary(indexName, O_WRONLY));
    if (pass.index.get() >= 0 && !copyRecords(pass, tree)) fail("cannot be written", errno != 0 ? errno : EIO);
}

void CTreeIndexWriter::putInPlace() {
    const std::string index = helperName(name, kIndexSuffix);
    if (renameat(parent, indexName.c_str(), parent, index.c_str()) != 0) return fail("cannot be renamed into place", errno);
    indexName.clear();
    if (fsync(parent) != 0) fail("cannot be synced", errno);
}

// An index that cannot be written leaves none: the one there describes another tree.
void CTreeIndexWriter::removeIndex() {
    const std::string index = helperName(name, kIndexSuffix);
    if (parent >= 0 && unlinkat(parent, index.c_str(), 0) != 0 && errno != ENOENT) {
        brn::message("index %s/%s: cannot be removed(%d,%s)\n", shownParent.c_str(), index.c_str(), errno, strerror(errno));
    }
}

void CTreeIndexWriter::discard() {
    out.reset();
    records.reset();
    for (std::string* temporary : {&recordsName, &indexName}) {
        if (!temporary->empty()) (void)unlinkat(parent, temporary->c_str(), 0);
        temporary->clear();
    }
}

}  // namespace velk
