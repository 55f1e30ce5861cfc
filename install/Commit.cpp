#include "install/Commit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/Message.h"
#include "install/Destination.h"
#include "install/ExitStatus.h"
#include "install/VersionFile.h"

namespace velk {

namespace {

int reportVersion(const CVersionFile& version, int code) {
    brn::message("write version file %s error %d\n", version.shown().c_str(), code);
    return kExitVersionFailed;
}

int syncTree(const CDestination& dest) {
    if (syncfs(dest.fd()) == 0) return kExitOk;
    const int error = errno;
    brn::message("dest %s: syncfs failed(%d,%s)\n", dest.shown().c_str(), error, strerror(error));
    return kExitIncomplete;
}

// Puts the staged tree in DEST's place, or the old tree back in it: the same step both ways.
int exchange(const CDestination& dest, bool back) {
    const int parent = dest.parentFd();
    const char* staged = dest.stagingName().c_str();
    const char* name = dest.leaf().c_str();
    if (dest.existed()) return renameat2(parent, staged, parent, name, RENAME_EXCHANGE);
    if (back) return renameat2(parent, name, parent, staged, RENAME_NOREPLACE);
    int renamed = renameat2(parent, staged, parent, name, RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL) renamed = renameat(parent, staged, parent, name);  // no NOREPLACE here
    return renamed;
}

// After the commit point: the old tree back in DEST, durably, and the message says so. Where
// the exchange back fails, DEST is the new tree, the old one is kept under the staging name for
// the next run to remove, and the caller learns that the version file does not name the tree in
// DEST.
int undoExchange(CDestination& dest, int status) {
    if (exchange(dest, true) != 0) {
        const int error = errno;
        dest.forgetStaging();
        brn::message("atomic install: %s: the new tree is in place but the version file was not written(%d,%s)\n",
                     dest.shown().c_str(), error, strerror(error));
        return kExitIncomplete;
    }
    if (fsync(dest.parentFd()) == 0) {
        brn::message("atomic install: %s: the swap was undone: DEST holds the old tree again\n", dest.shown().c_str());
        return status;
    }
    const int error = errno;
    brn::message("atomic install: %s: the swap was undone: DEST holds the old tree again, but not known to be "
                 "durable(%d,%s)\n", dest.shown().c_str(), error, strerror(error));
    return status;
}

// A removal refused for want of a right (an immutable file, a folder of another user's, a
// read-only file system) or by a mount point fails the same way in the next run.
bool failsAgain(int error) { return error == EPERM || error == EACCES || error == EROFS || error == EXDEV; }

// Once the version names the new tree, the old one, now under the staging name, goes. Where it
// cannot, the run still succeeded; the message says what is left, and whether the next run
// removes it.
void removeOldTree(CDestination& dest) {
    const std::string left = dest.shownTree();
    const int error = dest.discard();
    if (error == 0) return;
    brn::message("atomic install: %s: the old tree is left in %s(%d,%s)\n", dest.shown().c_str(), left.c_str(), error,
                 strerror(error));
    if (!failsAgain(error)) {
        brn::message("atomic install: the next run removes the old tree\n");
        return;
    }
    brn::message("atomic install: no later run can remove it either until what refused it is mended; files "
                 "reused from it keep a second link there until then\n");
}

int commitInPlace(CDestination& dest, CVersionFile& version, const std::string& text) {
    if (int synced = syncTree(dest); synced != kExitOk) return synced;
    if (int staged = version.stage(text, dest.fd(), dest.shownTree(), dest.ownership()); staged != 0) {
        return reportVersion(version, staged);
    }
    if (int held = dest.checkLock(); held != kExitOk) return held;
    if (int published = version.publish(); published != 0) return reportVersion(version, published);
    return kExitOk;
}

// Everything that can fail before the exchange: the staged tree whole, with its version when
// that lies inside DEST, and the version's temporary beside its file otherwise.
int prepareSwap(CDestination& dest, CVersionFile& version, const std::string& text) {
    const bool inside = !version.belowDest().empty();
    if (inside) {
        int written = version.stage(text, dest.fd(), dest.shownTree(), dest.ownership());
        if (written == 0) written = version.publish();
        if (written != 0) return reportVersion(version, written);
    }
    if (int taken = dest.takeOverMetadata(); taken != kExitOk) return taken;
    if (int synced = syncTree(dest); synced != kExitOk) return synced;
    if (!inside) {
        if (int staged = version.stage(text, dest.fd(), dest.shownTree(), dest.ownership()); staged != 0) {
            return reportVersion(version, staged);
        }
    }
    return kExitOk;
}

int commitStaged(CDestination& dest, CVersionFile& version, const std::string& text) {
    if (int prepared = prepareSwap(dest, version, text); prepared != kExitOk) return prepared;
    if (int held = dest.checkLock(); held != kExitOk) return held;
    if (exchange(dest, false) != 0) return reportAtomic(dest.shown(), "swap failed", errno);
    if (fsync(dest.parentFd()) != 0) {
        return undoExchange(dest, reportAtomic(dest.shown(), "fsync of the parent failed", errno));
    }
    if (version.belowDest().empty()) {
        const int published = version.publish();
        // Renamed already, the version names the new tree: going back would part them.
        if (published == CVersionFile::kNotSynced) {
            brn::message("atomic install: %s: the new tree and its version are in place, but not known to be "
                         "durable\n", dest.shown().c_str());
            return kExitIncomplete;
        }
        if (published != 0) return undoExchange(dest, reportVersion(version, published));
    }
    removeOldTree(dest);
    return kExitOk;
}

}  // namespace

int commitInstall(CDestination& dest, CVersionFile& version, const std::string& text) {
    const int status = dest.staged() ? commitStaged(dest, version, text) : commitInPlace(dest, version, text);
    if (status != kExitOk) version.abandon();
    return status;
}

}  // namespace velk
