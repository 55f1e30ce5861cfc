#include "brn/tar/DiskEntryMaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "fs/FileModes.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"
#include "fs/UniqueFd.h"

namespace brn {

namespace {

int fd(DirRef dir) { return static_cast<int>(dir); }

void reportChmod(const std::string& name, int error) {
    brn::message("tar: %.*s: chmod failed(%d,%s)\n", int(name.size()), name.data(), error, strerror(error));
}

}  // namespace

CDiskEntryMaker::CDiskEntryMaker(int root, const std::string& shownPrefix)
    : tree(root), walker(tree, shownPrefix) {}

MakeOutcome CDiskEntryMaker::openFile(const std::string& name, uint32_t mode, int& handle) {
    const MakeOutcome result = walker.openFile(name, handle);
    if (result == MakeOutcome::kOk) {
        modeHandle = handle;
        fileMode = mode;
    }
    return result;
}

MakeOutcome CDiskEntryMaker::write(int handle, const char* data, size_t count) {
    if (handle < 0) return MakeOutcome::kBadHandle;
    // The reader never asks for more than one update piece, whose length is an int.
    if (data == nullptr || count == 0 || count > size_t(INT_MAX)) return MakeOutcome::kWriteFailed;
    return velk::writeAll(data, int(count), handle) < 0 ? MakeOutcome::kWriteFailed : MakeOutcome::kOk;
}

MakeOutcome CDiskEntryMaker::closeFile(int handle, const std::string& name) {
    if (handle < 0) return MakeOutcome::kBadHandle;
    if (handle == modeHandle && giveFileMode(handle, fileMode) != 0) {
        reportChmod(name, errno);
        close(handle);
        return MakeOutcome::kCloseFailed;
    }
    // The file's data starts on its way to the disk now, without waiting: the sync at the end
    // of the install then waits only for the rest, and a stream's writing overlaps its download.
    (void)sync_file_range(handle, 0, 0, SYNC_FILE_RANGE_WRITE);
    if (close(handle) != 0) {
        const int error = errno;
        brn::message("tar: %.*s: close failed(%d,%s)\n", int(name.size()), name.data(), error, strerror(error));
        return MakeOutcome::kCloseFailed;
    }
    return MakeOutcome::kOk;
}

// A link that takes the place of an empty directory takes its held mode with it.
MakeOutcome CDiskEntryMaker::makeSymlink(const std::string& name, const std::string& target) {
    const MakeOutcome result = walker.makeSymlink(name, target);
    if (result == MakeOutcome::kOk) heldModes.drop(name);
    return result;
}

MakeOutcome CDiskEntryMaker::makeHardLink(const std::string& name, const std::string& target) {
    return walker.makeHardLink(name, target);
}

MakeOutcome CDiskEntryMaker::makeDirectory(const std::string& name, uint32_t mode) {
    const MakeOutcome result = walker.makeDirectory(name);
    if (result != MakeOutcome::kOk || !keepModes) return result;
    if (!CHeldModes::canGiveNow(mode)) {
        heldModes.hold(name, mode);
        return result;
    }
    heldModes.drop(name);
    return setDirectoryMode(name, mode) ? result : MakeOutcome::kCreateFailed;
}

int CDiskEntryMaker::applyPermissions() {
    return heldModes.giveAll([this](const std::string& name, uint32_t mode) { return setDirectoryMode(name, mode); });
}

// Reached under the entries' rules: an entry that later put a link in the directory's
// place is not followed. The root itself, named by "" or ".", keeps its mode.
bool CDiskEntryMaker::setDirectoryMode(const std::string& name, uint32_t mode) {
    DirRef dir = 0;
    const MakeOutcome result = walker.enterDirectory(name, dir);
    if (result == MakeOutcome::kNamesRoot) return true;
    if (result != MakeOutcome::kOk) return false;
    const int changed = fchmod(fd(dir), mode & velk::kGrantedModeBits);
    const int error = errno;
    tree.leave(dir);
    if (changed != 0) reportChmod(name, error);
    return changed == 0;
}

// The name is placed by the walker as a file entry's would be. A file system or a process
// that cannot link the descriptor leaves the name free for the caller to write the file.
MakeOutcome CDiskEntryMaker::linkFile(const std::string& name, int file) {
    return walker.placeFile(name, [&](DirRef dir, const std::string& leaf) { return tree.linkOpenFile(dir, leaf, file); });
}

MakeOutcome CDiskEntryMaker::visitFileFolder(const std::string& name, const std::function<void(int folder)>& look) {
    return walker.visitParent(name, [&look](DirRef dir) { look(fd(dir)); });
}

int CDiskEntryMaker::makeUnnamedFile(int folder, uint32_t mode) const {
    velk::CUniqueFd made(tree.makeUnnamedFile(folder));
    return made.get() >= 0 && giveFileMode(made.get(), mode) == 0 ? made.release() : -1;
}

int CDiskEntryMaker::giveFileMode(int file, uint32_t mode) const {
    return keepModes ? fchmod(file, mode & velk::kGrantedModeBits) : 0;
}

}  // namespace brn
