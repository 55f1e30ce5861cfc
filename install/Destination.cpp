#include "install/Destination.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/ExitStatus.h"
#include "fs/FileUtil.h"
#include "install/PathResolve.h"
#include "fs/TreeRemover.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr mode_t kDirMode = 0755;   // before the process umask
constexpr mode_t kLockMode = 0644;  // before the process umask
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int report(const std::string& shown, const std::string& what, int error) {
    brn::message("dest %s: %s(%d,%s)\n", shown.c_str(), what.c_str(), error, strerror(error));
    return kExitIncomplete;
}

// A refusal of the staged install: "atomic install: DEST: WHAT(errno,text)".
int reportAtomic(const std::string& shown, const std::string& what, int error) {
    brn::message("atomic install: %s: %s(%d,%s)\n", shown.c_str(), what.c_str(), error, strerror(error));
    return kExitIncomplete;
}

int refuseNotDirectory(const std::string& shown) {
    brn::message("dest %s is not a directory\n", shown.c_str());
    return kExitIncomplete;
}

bool isOctalDigit(char c) { return c >= '0' && c <= '7'; }

// mountinfo writes a blank, tab, newline or backslash in a path as \ooo.
std::string unescapeOctal(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const bool escape = field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) &&
                            isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3]);
        if (escape) {
            text += char(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The mount point field (the fifth) of one /proc/self/mountinfo line.
std::string mountPointOf(const std::string& line) {
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string::npos; ++field) {
        at = line.find(' ', at);
        if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos) return std::string();
    return unescapeOctal(line.substr(at, line.find(' ', at) - at));
}

// The first mount point strictly below `dir`; empty when there is none (or no /proc).
std::string findMountBelow(const std::string& dir) {
    FILE* table = fopen("/proc/self/mountinfo", "re");
    if (table == nullptr) return std::string();
    std::string found;
    char* line = nullptr;
    size_t capacity = 0;
    while (found.empty() && getline(&line, &capacity, table) > 0) {
        const std::string point = mountPointOf(line);
        if (point != dir && isAtOrBelow(point, dir)) found = point;
    }
    free(line);
    fclose(table);
    return found;
}

}  // namespace

CDestination::CDestination(std::string dest) : given(std::move(dest)) {}

int CDestination::resolve() {
    if (given.empty()) return kExitUsage;
    const ResolvedPath result = resolvePath(given, true);
    if (!result.ok) return report(given, "cannot resolve " + result.failedAt, result.error);
    if (result.path == "/") return kExitUsage;
    resolved = result.path;
    name = resolved.substr(resolved.rfind('/') + 1);
    return kExitOk;
}

int CDestination::prepareInPlace() {
    if (int opened = openParent(); opened != kExitOk) return opened;
    if (int locked = lock(true); locked != kExitOk) return locked;
    if (int opened = openDest(); opened != kExitOk) return opened;
    if (int mounted = refuseMountBelow(); mounted != kExitOk) return mounted;
    const int removed = CTreeRemover(dest.get(), given).run();
    if (removed < 0) {
        brn::message("dest %s cannot be emptied (%d)\n", given.c_str(), removed);
        return kExitIncomplete;
    }
    return kExitOk;
}

// The parent is made when missing, as DEST itself would have been with all its levels.
int CDestination::openParent() {
    const std::string dir = parentDir(resolved);
    if (!isDirectory(dir) && !makeDirs(dir)) return refuseNotDirectory(given);
    parent.reset(open(dir.c_str(), kDirFlags));
    if (parent.get() < 0) return errno == ENOTDIR ? refuseNotDirectory(given) : report(given, "open " + dir, errno);
    return kExitOk;
}

// A staged install must lock something beside DEST: a lock on DEST's directory would move
// away with it at the swap.
int CDestination::lock(bool fallBackOnDest) {
    const std::string lockName = "." + name + ".velk-lock";
    lockFile.reset(openat(parent.get(), lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockMode));
    const int error = errno;  // why the lock file could not be made: what decides the fallback
    if (lockFile.get() < 0) lockFile.reset(openat(parent.get(), lockName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (lockFile.get() < 0) {
        // The parent cannot hold the lock file: lock DEST's directory itself.
        const bool readOnly = error == EACCES || error == EROFS || error == EPERM;
        if (!readOnly || !fallBackOnDest) {
            const std::string what = "cannot make " + lockName;
            return fallBackOnDest ? report(given, what, error) : reportAtomic(given, what, error);
        }
        lockFile.reset(openat(parent.get(), name.c_str(), kDirFlags | O_NOFOLLOW));
        if (lockFile.get() < 0) return report(given, "cannot make " + lockName, error);
    }
    if (flock(lockFile.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return report(given, "cannot lock " + lockName, errno);
        brn::message("dest %s is busy: another update is running\n", given.c_str());
        return kExitIncomplete;
    }
    return kExitOk;
}

// DEST is opened without following a link: its path was resolved, so a link there now is
// not the directory that was named.
int CDestination::openDest() {
    if (mkdirat(parent.get(), name.c_str(), kDirMode) != 0 && errno != EEXIST) {
        return report(given, "mkdir " + resolved, errno);
    }
    dest.reset(openat(parent.get(), name.c_str(), kDirFlags | O_NOFOLLOW));
    if (dest.get() < 0) {
        return errno == ENOTDIR || errno == ELOOP ? refuseNotDirectory(given) : report(given, "open", errno);
    }
    return kExitOk;
}

// Emptying never crosses into another file system; one mounted below DEST is found here,
// before anything is removed (the emptying itself checks every directory again).
int CDestination::refuseMountBelow() const {
    const std::string point = findMountBelow(resolved);
    if (point.empty()) return kExitOk;
    brn::message("%s%s is a mount point: nothing on it is removed\n", given.c_str(), point.substr(resolved.size()).c_str());
    brn::message("dest %s cannot be emptied (%d)\n", given.c_str(), CTreeRemover::kMountPoint);
    return kExitIncomplete;
}

std::string CDestination::shownPrefix() const {
    return staging.empty() ? given + "/" : parentDir(resolved) + "/" + staging + "/";
}

int CDestination::prepareStaged() {
    staging = "." + name + ".velk-staging";
    if (int opened = openParent(); opened != kExitOk) return opened;
    if (int locked = lock(false); locked != kExitOk) return locked;
    if (int swappable = checkSwappable(); swappable != kExitOk) return swappable;
    return makeStaging();
}

// DEST must be a directory of the parent's own file system, or missing, with no mount
// point below it: a swap cannot move a mount point, and would carry away what is mounted.
int CDestination::checkSwappable() {
    struct stat st;
    if (fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return reportAtomic(given, "cannot examine " + resolved, errno);
        return kExitOk;
    }
    if (!S_ISDIR(st.st_mode)) {
        brn::message("atomic install: %s is not a directory\n", given.c_str());
        return kExitIncomplete;
    }
    destExisted = true;
    struct stat above;
    if (fstat(parent.get(), &above) != 0 || above.st_dev != st.st_dev || isMountRoot(parent.get(), name.c_str())) {
        brn::message("atomic install: %s is a mount point, which cannot be swapped\n", given.c_str());
        return kExitIncomplete;
    }
    const std::string point = findMountBelow(resolved);
    if (point.empty()) return kExitOk;
    brn::message("atomic install: %s%s is a mount point inside DEST, which cannot be swapped\n", given.c_str(),
           point.substr(resolved.size()).c_str());
    return kExitIncomplete;
}

// Only while the lock is held: a staging folder then belongs to no run in progress.
int CDestination::makeStaging() {
    const std::string probe = "." + name + ".velk-probe";
    for (const std::string& leftover : {staging, probe}) {
        if (int removed = removeBeside(leftover); removed != kExitOk) return removed;
    }
    if (mkdirat(parent.get(), staging.c_str(), kDirMode) != 0) {
        return reportAtomic(given, "cannot make " + parentDir(resolved) + "/" + staging, errno);
    }
    if (destExisted) {
        if (int probed = probeExchange(); probed != kExitOk) {
            discard();
            return probed;
        }
    }
    dest.reset(openat(parent.get(), staging.c_str(), kDirFlags | O_NOFOLLOW));
    if (dest.get() < 0) return reportAtomic(given, "cannot open " + staging, errno);
    return kExitOk;
}

// Exchanges the empty staging folder with an empty probe folder: a file system that cannot
// exchange two names in one step says so here, before anything of DEST changes.
int CDestination::probeExchange() {
    const std::string probe = "." + name + ".velk-probe";
    if (mkdirat(parent.get(), probe.c_str(), kDirMode) != 0) {
        return reportAtomic(given, "cannot make " + parentDir(resolved) + "/" + probe, errno);
    }
    const int exchanged = renameat2(parent.get(), staging.c_str(), parent.get(), probe.c_str(), RENAME_EXCHANGE);
    const int error = errno;
    (void)unlinkat(parent.get(), probe.c_str(), AT_REMOVEDIR);
    if (exchanged == 0) return kExitOk;
    return reportAtomic(given, "the file system cannot swap two folders in one step", error);
}

// Removes `leaf` beside DEST, whatever it is, through descriptors.
int CDestination::removeBeside(const std::string& leaf) const {
    struct stat st;
    if (fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return kExitOk;
    const std::string shownLeaf = parentDir(resolved) + "/" + leaf;
    if (S_ISDIR(st.st_mode)) {
        CUniqueFd dir(openat(parent.get(), leaf.c_str(), kDirFlags | O_NOFOLLOW));
        if (dir.get() < 0 || CTreeRemover(dir.get(), shownLeaf).run() != CTreeRemover::kOk) {
            brn::message("atomic install: %s cannot be removed\n", shownLeaf.c_str());
            return kExitIncomplete;
        }
    }
    if (unlinkat(parent.get(), leaf.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
        return reportAtomic(given, "cannot remove " + shownLeaf, errno);
    }
    return kExitOk;
}

int CDestination::commit() {
    if (syncfs(dest.get()) != 0) return report(given, "syncfs failed", errno);
    if (staging.empty()) return kExitOk;
    if (int swapped = swap(); swapped != kExitOk) return swapped;
    // The tree in fd() is DEST now; the old one went to the staging name.
    if (removeBeside(staging) != kExitOk) brn::message("atomic install: the next run removes the old tree\n");
    staging.clear();
    return kExitOk;
}

// One step from the old tree to the new one, made durable by syncing their parent.
int CDestination::swap() {
    const unsigned flags = destExisted ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    int renamed = renameat2(parent.get(), staging.c_str(), parent.get(), name.c_str(), flags);
    if (renamed != 0 && errno == EINVAL && !destExisted) {
        renamed = renameat(parent.get(), staging.c_str(), parent.get(), name.c_str());  // no RENAME_NOREPLACE here
    }
    if (renamed != 0) return reportAtomic(given, "swap failed", errno);
    if (fsync(parent.get()) == 0) return kExitOk;
    // The swap is not known to be durable: go back to the old tree, so the failure changes
    // nothing and the new tree is removed under the staging name with the rest.
    const int error = errno;
    if (destExisted) {
        (void)renameat2(parent.get(), staging.c_str(), parent.get(), name.c_str(), RENAME_EXCHANGE);
    } else {
        (void)renameat(parent.get(), name.c_str(), parent.get(), staging.c_str());
    }
    (void)fsync(parent.get());
    return reportAtomic(given, "fsync of the parent failed", error);
}

void CDestination::discard() {
    if (staging.empty()) return;
    dest.reset();
    (void)removeBeside(staging);
}

}  // namespace velk
