#pragma once
// The lock that lets one run at a time change a DEST. It is an open-file-description write lock
// (fcntl F_OFD_SETLK) on ".NAME.velk-lock" in DEST's parent: beside DEST, so emptying DEST or
// swapping it for another tree leaves it in place, and released by the kernel when the process
// ends however it ends. Every run, by root or by a service user, in place or staged, takes this
// same lock, so any two exclude each other; where it cannot be taken the run ends before
// anything changes, never running unlocked. A write lock needs a descriptor open for writing,
// and the file is made with mode 0600 (by root, for DEST's owner): nobody who cannot write
// DEST's parent, does not own DEST, or was not given the lock file by an operator can hold it.
// A lock file anyone may write, one another user made in a sticky folder anyone may write, or
// anything but a regular file at its name (a FIFO, a link, a folder) is refused, never followed
// or waited on. The file stays after the run: removing it would let two runs lock two
// different files. Someone who may write the parent can still remove or replace it while it is
// held, and a second run would then lock a new file under the same name: so take checks that
// the name still is the file it locked, and check does again right before the run's commit
// point; a run whose lock no longer holds the name ends there, changing nothing more.
// Calling order: take once, check any number of times; the lock lives as long as the object,
// the parent folder is borrowed and must stay open as long.

#include <string>

#include "fs/UniqueFd.h"

namespace velk {

// What taking or checking the lock comes to.
enum class LockOutcome {
    kHeld,     // this run holds the lock, and the lock file's name is the file it locked
    kBusy,     // another run holds it ("dest DEST is busy: another update is running")
    kRefused,  // no lock can be taken: the file cannot be made, opened, examined or locked, is
               // no regular file, or another user could hold it
    kLost,     // the lock file's name no longer is the file this run locked
};

class CInstallLock {
public:
    // `parent` is DEST's parent folder, open, and `name` DEST's last component; `shownDest`
    // and `shownParent` name them in messages. Every outcome but kHeld is printed.
    LockOutcome take(int parent, const std::string& name, const std::string& shownDest, const std::string& shownParent);
    // kHeld while the lock file's name still is the file this run locked; otherwise kLost
    // (printed: "lock PATH: the lock file was removed or replaced while it was held").
    LockOutcome check() const;

private:
    LockOutcome refuse(LockOutcome outcome, const std::string& what, int error) const;

    int folder = -1;        // DEST's parent, borrowed
    std::string lockName;   // the lock file's name in it
    std::string shownLock;
    CUniqueFd file;
};

}  // namespace velk
