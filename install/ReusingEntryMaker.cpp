#include "install/ReusingEntryMaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs/FileUtil.h"
#include "fs/FolderBelow.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr int kHandle = 0;                        // the one handle: one file is made at a time
constexpr size_t kCompareSlice = 64 * 1024;       // old bytes read at once
constexpr size_t kFirstBlock = 4096;              // old bytes read first
constexpr size_t kStartHeld = 1 << 20;            // a compared file's start held in memory at most

brn::MakeOutcome reportCall(const std::string& name, const char* call, int error) {
    brn::message("tar: %.*s: %s failed(%d,%s)\n", int(name.size()), name.data(), call, error, strerror(error));
    return brn::MakeOutcome::kWriteFailed;
}

// The old file's start, equal to the entry's when it was compared, can no longer be trusted
// to be: something wrote to it meanwhile, against the rule that nothing does during a run.
brn::MakeOutcome reportChanged(const std::string& name) {
    brn::message("tar: %.*s: the old file changed while it was compared\n", int(name.size()), name.data());
    return brn::MakeOutcome::kWriteFailed;
}

// Whether some process holds the file open for writing: a read lease is granted only while
// none does, and is given back at once. Where no lease can be taken (a file system without
// leases, leases turned off) it cannot be told, and the answer is no.
bool openForWriting(int file) {
    if (fcntl(file, F_SETLEASE, F_RDLCK) == 0) {
        (void)fcntl(file, F_SETLEASE, F_UNLCK);
        return false;
    }
    return errno == EAGAIN;
}

}  // namespace

CReusingEntryMaker::CReusingEntryMaker(brn::CDiskEntryMaker& stagedMaker, int oldTreeFd, CTreeIndexReader* index,
                                       int keptTreeFd)
    : staged(stagedMaker),
      oldFolders(oldTreeFd),
      keptFolders(keptTreeFd),
      oldIndex(index),
      newFiles(stagedMaker),
      buffer(kCompareSlice) {
    keepBackslashes(staged.keepsBackslashes());  // names are read as the staged tree's maker reads them
}

void CReusingEntryMaker::noteEntry(const brn::TAR_FILE_INFO_T& info) {
    entrySize = info.size;
    staged.noteEntry(info);
}

// The old tree's file at `name`, when it may be the one a plain run makes: a regular file of
// the entry's size with one link, that no process holds open for writing. Nothing is opened
// before its type is known (a FIFO would wake a writer waiting for a reader), and what is
// opened must be the file looked at. Its traits go to `traits`, its state to `st`.
bool CReusingEntryMaker::findOld(const std::string& name, FileTraits& traits, struct stat& st) {
    std::string leaf;
    const int folder = oldFolders.folderOf(treePath(name), leaf);
    if (folder < 0 || leaf.empty()) return false;
    struct stat seen;
    if (fstatat(folder, leaf.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) return false;
    CUniqueFd file(openat(folder, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0 || fstat(file.get(), &st) != 0 || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino) {
        return false;
    }
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != entrySize || !onlyNamesHereAndKept(name, st)) return false;
    if (openForWriting(file.get()) || readFileTraits(file.get(), st, traits) != 0) return false;
    current.old = std::move(file);
    return true;
}

// One link, or two where the other is the kept tree's file at the same path: an update that
// kept its tree shares the unchanged files with it, and they stay as unchanged for the next one.
// A name anywhere else could change the file after it is linked, and is never allowed.
bool CReusingEntryMaker::onlyNamesHereAndKept(const std::string& name, const struct stat& st) {
    if (st.st_nlink == 1) return true;
    std::string leaf;
    const int folder = st.st_nlink == 2 ? keptFolders.folderOf(treePath(name), leaf) : -1;
    struct stat kept;
    if (folder < 0 || leaf.empty() || fstatat(folder, leaf.c_str(), &kept, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return kept.st_dev == st.st_dev && kept.st_ino == st.st_ino;
}

// Digests only where the index's record is of this very file as it is now: any change to it
// since the index was written moved its identity.
CReusingEntryMaker::Way CReusingEntryMaker::wayFor(const IndexRecord* record, const struct stat& st) const {
    const bool known = record != nullptr && record->kind == IndexKind::kFile &&
                       oldIndex->header().device == uint64_t(st.st_dev) && record->identity == identityOf(st);
    return known ? Way::kDigests : Way::kRead;
}

// An old file is compared only when linking it gives what writing gives: its owner, group,
// mode, extended attributes and inode flags are those of a file made in the staged folder now.
brn::MakeOutcome CReusingEntryMaker::openFile(const std::string& name, uint32_t mode, int& handle) {
    current = Current();
    current.name = name;
    current.mode = mode;
    pending.clear();
    // Every file entry is looked up, so that the index is read in step with the package.
    const IndexRecord* record = oldIndex != nullptr ? oldIndex->find(treePath(name)) : nullptr;
    FileTraits oldTraits;
    struct stat st;
    if (entrySize > 0 && findOld(name, oldTraits, st)) {
        const FileTraits* newTraits = nullptr;
        if (brn::MakeOutcome found = newFiles.find(name, mode, newTraits); found != brn::MakeOutcome::kOk) return found;
        if (newTraits != nullptr && *newTraits == oldTraits) current.way = wayFor(record, st);
        if (current.way == Way::kWrite) current.old.reset();
        if (current.way == Way::kDigests) current.record = *record;
    }
    if (current.way == Way::kRead) (void)posix_fadvise(current.old.get(), 0, 0, POSIX_FADV_RANDOM);  // see sameBytes
    if (current.way != Way::kWrite) {
        handle = kHandle;
        return brn::MakeOutcome::kOk;
    }
    const brn::MakeOutcome opened = staged.openFile(name, mode, current.written);
    if (opened == brn::MakeOutcome::kOk) handle = kHandle;
    return opened;
}

void CReusingEntryMaker::blockDigested(uint64_t block, const Digest& digest) {
    if (current.way != Way::kDigests || current.differs) return;
    Digest old;
    current.differs = !oldIndex->digestAt(current.record, block, old) || old != digest;
    if (!current.differs) ++current.sameBlocks;
}

// How many of `count` bytes equal the old file's at the matched offset. The first block is
// read alone, without read-ahead: a file changed at its start costs one block read. Once it
// matched, the kernel reads ahead of the comparison as for any file read through.
size_t CReusingEntryMaker::sameBytes(const char* data, size_t count) {
    size_t same = 0;
    while (same < count) {
        const bool first = current.matched + same == 0;
        const size_t slice = std::min(count - same, first ? kFirstBlock : buffer.size());
        const ssize_t got = pread(current.old.get(), buffer.data(), slice, off_t(current.matched + same));
        if (got <= 0) return same;
        if (memcmp(buffer.data(), data + same, size_t(got)) != 0) {
            return same + size_t(std::mismatch(buffer.data(), buffer.data() + got, data + same).first - buffer.data());
        }
        if (first) (void)posix_fadvise(current.old.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        same += size_t(got);
    }
    return same;
}

brn::MakeOutcome CReusingEntryMaker::write(int handle, const char* data, size_t count) {
    if (handle != kHandle) return brn::MakeOutcome::kBadHandle;
    if (current.way == Way::kDigests) return holdOrWrite(data, count);
    if (current.way == Way::kWrite) return staged.write(current.written, data, count);
    const size_t same = sameBytes(data, count);
    if (same == count) {
        current.matched += count;
        return brn::MakeOutcome::kOk;
    }
    return diverge(data, count, same);
}

// While the blocks match, the file's start is held (dropMatched says how much): a block known
// equal that is no longer held is the old file's, and is copied from it should a later one
// differ. Once one differs, the staged file is made from that, what was held and the rest.
brn::MakeOutcome CReusingEntryMaker::holdOrWrite(const char* data, size_t count) {
    if (current.written >= 0) return staged.write(current.written, data, count);
    pending.append(data, count);
    dropMatched();
    return current.differs ? writeDiverged() : brn::MakeOutcome::kOk;
}

// Forgets the held bytes that lie in blocks whose digests matched, once a file's start grew
// past what is held from memory: a short file that differs is written without a read of the
// old one (on a device, reading its start costs as much as writing it).
void CReusingEntryMaker::dropMatched() {
    if (current.heldFrom == 0 && pending.size() <= kStartHeld) return;
    const uint64_t matchedEnd = current.sameBlocks * kIndexBlockSize;
    if (matchedEnd <= current.heldFrom) return;
    const size_t drop = size_t(std::min<uint64_t>(matchedEnd - current.heldFrom, pending.size()));
    pending.erase(0, drop);
    current.heldFrom += drop;
}

// The staged file: the old file's bytes before the held ones, copied only while its content is
// still what the index described (a writer that merely opened it changes nothing), then what
// was held.
brn::MakeOutcome CReusingEntryMaker::writeDiverged() {
    const brn::MakeOutcome opened = staged.openFile(current.name, current.mode, current.written);
    if (opened != brn::MakeOutcome::kOk) return opened;
    if (current.heldFrom > 0) {
        if (!identityUnchanged()) return reportChanged(current.name);
        const brn::MakeOutcome copied = copyPrefix(current.written, current.heldFrom);
        if (copied != brn::MakeOutcome::kOk) return copied;
        if (!identityUnchanged()) return reportChanged(current.name);
    }
    const brn::MakeOutcome written =
        pending.empty() ? brn::MakeOutcome::kOk : staged.write(current.written, pending.data(), pending.size());
    pending.clear();
    return written;
}

// A byte differs: the staged file is made, the old file's bytes up to it copied in, and the
// rest of `data` written.
brn::MakeOutcome CReusingEntryMaker::diverge(const char* data, size_t count, size_t same) {
    current.way = Way::kWrite;

    if (brn::MakeOutcome opened = staged.openFile(current.name, current.mode, current.written); opened != brn::MakeOutcome::kOk) {
        return opened;
    }
    if (brn::MakeOutcome copied = copyPrefix(current.written, current.matched + same); copied != brn::MakeOutcome::kOk) return copied;
    current.old.reset();
    return staged.write(current.written, data + same, count - same);
}

// copy_file_range shares the blocks where the file system can; where it cannot between these
// two files (another file system, an old kernel), the bytes are read and written.
brn::MakeOutcome CReusingEntryMaker::copyPrefix(int to, uint64_t length) {
    loff_t from = 0;
    while (uint64_t(from) < length) {
        const ssize_t moved = copy_file_range(current.old.get(), &from, to, nullptr, size_t(length - uint64_t(from)), 0);
        if (moved > 0) continue;
        if (moved == 0) return reportCall(current.name, "copy_file_range", EIO);  // the old file shrank
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            return reportCall(current.name, "copy_file_range", errno);
        }
        const size_t slice = size_t(std::min<uint64_t>(length - uint64_t(from), buffer.size()));
        const ssize_t got = pread(current.old.get(), buffer.data(), slice, from);
        if (got <= 0) return reportCall(current.name, "pread", got < 0 ? errno : EIO);
        if (writeAll(buffer.data(), int(got), to) != int(got)) return brn::MakeOutcome::kWriteFailed;
        from += got;
    }
    return brn::MakeOutcome::kOk;
}

brn::MakeOutcome CReusingEntryMaker::closeFile(int handle, const std::string& name) {
    if (handle != kHandle) return brn::MakeOutcome::kBadHandle;
    brn::MakeOutcome result = brn::MakeOutcome::kOk;
    if (current.way == Way::kDigests) {
        result = closeCompared(name);
    } else if (current.way == Way::kWrite) {
        result = staged.closeFile(current.written, name);
    } else if (current.matched == entrySize) {
        result = linkOld(name);
    } else {
        result = copyOld(name, current.matched);  // cut short, as a failed stream leaves a file
    }
    current = Current();
    pending.clear();
    return result;
}

// The old file is linked only where every block matched and it is still the file the index
// described, with no writer. Anything else is written: the matching start from the old file
// (while it is still that file), what was held, and nothing more, for every byte came already.
brn::MakeOutcome CReusingEntryMaker::closeCompared(const std::string& name) {
    const bool same = !current.differs && current.sameBlocks == blockCount(entrySize) && stillTheFileCompared();
    brn::MakeOutcome result = brn::MakeOutcome::kNotLinked;
    if (same) result = staged.linkFile(name, current.old.get());
    if (result == brn::MakeOutcome::kOk) ++linked;
    if (result != brn::MakeOutcome::kNotLinked) return result;
    if (current.written < 0) {
        if (brn::MakeOutcome written = writeDiverged(); written != brn::MakeOutcome::kOk) return written;
    }
    return staged.closeFile(current.written, name);
}

bool CReusingEntryMaker::stillTheFileCompared() const {
    return identityUnchanged() && !openForWriting(current.old.get());
}

// Any write to the old file since the index described it moved its change time.
bool CReusingEntryMaker::identityUnchanged() const {
    struct stat st;
    return fstat(current.old.get(), &st) == 0 && identityOf(st) == current.record.identity;
}

// The staged name becomes a hard link to the very file that was compared, through its
// descriptor: never through its path, which the running system may have renamed over. Where
// it cannot be linked, or a writer opened it meanwhile, its bytes are copied.
brn::MakeOutcome CReusingEntryMaker::linkOld(const std::string& name) {
    if (openForWriting(current.old.get())) return copyOld(name, entrySize);
    const brn::MakeOutcome result = staged.linkFile(name, current.old.get());
    if (result == brn::MakeOutcome::kNotLinked) return copyOld(name, entrySize);
    if (result == brn::MakeOutcome::kOk) ++linked;
    return result;
}

// Makes the staged file from the first `length` bytes of the old one.
brn::MakeOutcome CReusingEntryMaker::copyOld(const std::string& name, uint64_t length) {
    int made = -1;
    if (brn::MakeOutcome opened = staged.openFile(name, current.mode, made); opened != brn::MakeOutcome::kOk) return opened;
    const brn::MakeOutcome copied = copyPrefix(made, length);
    const brn::MakeOutcome closed = staged.closeFile(made, name);
    return copied != brn::MakeOutcome::kOk ? copied : closed;
}

// A link may take the place of an empty folder of the staged tree.
brn::MakeOutcome CReusingEntryMaker::makeSymlink(const std::string& name, const std::string& target) {
    newFiles.forget();
    return staged.makeSymlink(name, target);
}

brn::MakeOutcome CReusingEntryMaker::makeHardLink(const std::string& name, const std::string& target) {
    return staged.makeHardLink(name, target);
}

brn::MakeOutcome CReusingEntryMaker::makeDirectory(const std::string& name, uint32_t mode) {
    return staged.makeDirectory(name, mode);
}

}  // namespace velk
