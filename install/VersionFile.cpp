#include "install/VersionFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "brn/tar/SafePath.h"
#include "fs/FileModes.h"
#include "fs/FileUtil.h"
#include "fs/FolderBelow.h"
#include "fs/HelperName.h"
#include "fs/Leftovers.h"
#include "fs/Message.h"
#include "install/PathResolve.h"

namespace velk {

namespace {

constexpr const char* kTemporarySuffix = ".velk-new";
constexpr off_t kMaxVersionBytes = 64 * 1024;  // a version kept with its tree is read whole

bool fitsNameLimit(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (name.size() > NAME_MAX) return false;
    }
    return true;
}

bool isReadOnlyFolder(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// A device that cannot be synced says so with one of these; its data is then as durable as it gets.
bool cannotSync(int error) { return error == EINVAL || error == ENOTSUP || error == EROFS; }

// The whole of a small regular file: 0, or errno.
int readWhole(int file, std::string& content) {
    struct stat st;
    if (fstat(file, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (st.st_size > kMaxVersionBytes) return EFBIG;
    content.assign(size_t(st.st_size), '\0');
    return pread(file, &content[0], content.size(), 0) == ssize_t(content.size()) ? 0 : EIO;
}

}  // namespace

VersionOutcome CVersionFile::prepare(const std::string& path, const std::string& destPath) {
    given = path;
    const ResolvedPath result = resolvePath(path, true, destPath);
    if (!result.ok && result.untrustedLink) {
        return refuse("refusing to follow the symbolic link " + result.failedAt +
                      ": it belongs to another user of a shared folder");
    }
    if (!result.ok && result.error == ELOOP) {
        return refuse("refusing to go through the symbolic link " + result.failedAt);
    }
    if (!result.ok) return report("lstat", result.failedAt, result.error, VersionOutcome::kRefused);
    resolved = result.path;
    if (resolved == "/" || isAtOrBelow(destPath, resolved)) return refuse("it is DEST or a folder that holds it");
    leaf = resolved.substr(resolved.rfind('/') + 1);
    if (isAtOrBelow(resolved, destPath)) {
        below = resolved.substr(destPath.size() + 1);
        if (!fitsNameLimit(brn::pathComponents(below))) return report("name", resolved, ENAMETOOLONG, VersionOutcome::kRefused);
        return VersionOutcome::kDone;
    }
    if (leaf.size() > NAME_MAX) return report("name", resolved, ENAMETOOLONG, VersionOutcome::kRefused);
    return openDeepestFolder(parentDir(resolved));
}

VersionOutcome CVersionFile::refuse(const std::string& why) {
    brn::message("version file %s: %s\n", given.c_str(), why.c_str());
    return VersionOutcome::kRefused;
}

// Opens the folders of `path` from the root down, as far as they exist; the ones after the
// first missing one are made by stage. Then decides how the file itself will be written.
VersionOutcome CVersionFile::openDeepestFolder(const std::string& path) {
    folder.reset(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& name : brn::pathComponents(path)) {
        const std::string reached = deepest + "/" + name;
        struct stat st;
        if (!missing.empty() || fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!missing.empty() || errno == ENOENT) {
                missing.push_back(name);
                continue;
            }
            return report("lstat", reached, errno, VersionOutcome::kRefused);
        }
        if (!S_ISDIR(st.st_mode)) return refuse(reached + " is not a folder");
        CUniqueFd next(openSubfolder(folder.get(), name));
        if (next.get() < 0) return report("open", reached, errno, VersionOutcome::kRefused);
        folder = std::move(next);
        deepest = reached;
    }
    if (!fitsNameLimit(missing)) return report("name", resolved, ENAMETOOLONG, VersionOutcome::kRefused);
    if (!missing.empty()) return VersionOutcome::kDone;
    struct stat st;
    const bool exists = fstatat(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISDIR(st.st_mode)) return refuse("it is a folder");
    if (exists && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
        way = Way::kDevice;
        return VersionOutcome::kDone;
    }
    if (faccessat(folder.get(), ".", W_OK, AT_EACCESS) != 0 && isReadOnlyFolder(errno)) {
        const int error = errno;
        if (!exists || !S_ISREG(st.st_mode)) return report("create in", parentDir(resolved), error, VersionOutcome::kRefused);
        way = Way::kInPlace;
    }
    return VersionOutcome::kDone;
}

VersionOutcome CVersionFile::readCurrent(int destTree, std::string& content) const {
    const char* what = "read the version of the tree it names:";
    if (way == Way::kDevice) return report(what, given, ENODEV, VersionOutcome::kRefused);
    if (!missing.empty()) return report(what, given, ENOENT, VersionOutcome::kRefused);
    CUniqueFd inTree;
    if (!below.empty()) {
        std::vector<std::string> names = brn::pathComponents(below);
        names.pop_back();
        inTree.reset(openFolderBelow(destTree, names));
    }
    const int from = below.empty() ? folder.get() : inTree.get();
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    CUniqueFd file(from < 0 ? -1 : openat(from, leaf.c_str(), kFlags));
    const int error = file.get() < 0 ? errno : readWhole(file.get(), content);
    return error == 0 ? VersionOutcome::kDone : report(what, given, error, VersionOutcome::kRefused);
}

VersionOutcome CVersionFile::stage(const std::string& content, int tree, const std::string& shownTree, const Ownership& owner) {
    text = content;
    const VersionOutcome reached = below.empty() ? makeMissingFolders() : openFolderInTree(tree, shownTree, owner);
    if (reached != VersionOutcome::kDone || way != Way::kReplace) return reached;
    removeOwnLeftovers();
    const std::string temporary = unpredictableName(leaf, kTemporarySuffix);
    if (temporary.empty()) return report("getrandom", given, errno, VersionOutcome::kNoFile);
    if (!below.empty()) replacement.giveOwnership(owner);
    int error = replacement.begin(folder.get(), leaf, temporary, kNewFileMode);
    if (error == 0) error = replacement.write(text.data(), text.size());
    if (error == 0) error = replacement.seal();
    if (error == 0) return VersionOutcome::kDone;
    replacement.abandon();
    const VersionOutcome outcome = error == EEXIST ? VersionOutcome::kNoFile : VersionOutcome::kNotWritten;
    return report(replacement.failedCall(), given, error, outcome);
}

// Temporaries an interrupted run left beside the file: the updater's, or, once sealed, the
// file's owner's. Another user's name of that form stays where it is.
void CVersionFile::removeOwnLeftovers() {
    std::vector<uid_t> owners = {geteuid()};
    struct stat st;
    if (fstatat(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) owners.push_back(st.st_uid);
    (void)removeLeftovers(folder.get(), parentDir(resolved), leaf, {kTemporarySuffix}, owners);
}

// Below DEST the folders are those of the new tree, reached under the entries' rules: a link
// a package made on the way is refused, never followed. Folders made there get the tree's owner.
VersionOutcome CVersionFile::openFolderInTree(int tree, const std::string& shownTree, const Ownership& owner) {
    std::vector<std::string> names = brn::pathComponents(below);
    names.pop_back();
    size_t reached = 0;
    folder.reset(openFolderBelow(tree, names, MissingFolders{true, kNewFolderMode, owner}, &reached));
    if (folder.get() >= 0) return VersionOutcome::kDone;
    const int error = errno;
    std::string shown = shownTree;
    for (size_t level = 0; level <= reached && level < names.size(); ++level) shown += "/" + names[level];
    if (error == ELOOP) return refuse("refusing to go through the symbolic link " + shown);
    return report("open", shown, error, VersionOutcome::kNoFolder);
}

VersionOutcome CVersionFile::makeMissingFolders() {
    if (missing.empty()) return VersionOutcome::kDone;
    folder.reset(openFolderBelow(folder.get(), missing, MissingFolders{true, kNewFolderMode, {}}));
    if (folder.get() < 0) return report("mkdir", parentDir(resolved), errno, VersionOutcome::kNoFolder);
    missing.clear();
    return VersionOutcome::kDone;
}

VersionOutcome CVersionFile::publish() {
    if (way == Way::kDevice) return writeInPlace(false);
    if (way == Way::kInPlace) {
        brn::message("version file %s: its folder takes no new file; written in place\n", given.c_str());
        return writeInPlace(true);
    }
    const int error = replacement.commit();
    if (error == 0) return VersionOutcome::kDone;
    // The temporary's name is gone once it was renamed over the file: only the folder's sync failed.
    if (replacement.temporaryName().empty()) {
        return report(replacement.failedCall(), parentDir(resolved), error, VersionOutcome::kNotSynced);
    }
    return report(replacement.failedCall(), given, error, VersionOutcome::kNoFile);
}

// O_NONBLOCK: a FIFO put in the device's place must not hold the run; fstat then refuses it.
VersionOutcome CVersionFile::writeInPlace(bool cut) {
    CUniqueFd file(openat(folder.get(), leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (file.get() < 0 || fstat(file.get(), &st) != 0) return report("open", given, errno, VersionOutcome::kNoFile);
    const bool device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
    if (device == cut || !(device || S_ISREG(st.st_mode))) return report("open", given, EINVAL, VersionOutcome::kNoFile);
    if (writeAll(text.data(), int(text.size()), file.get()) != int(text.size())) {  // printed why
        brn::message("version file: write %s failed\n", given.c_str());
        return VersionOutcome::kNotWritten;
    }
    if (cut && ftruncate(file.get(), off_t(text.size())) != 0) {
        return report("ftruncate", given, errno, VersionOutcome::kNotWritten);
    }
    if (fsync(file.get()) != 0 && !(device && cannotSync(errno))) {
        return report("fsync", given, errno, VersionOutcome::kNotWritten);
    }
    if (close(file.release()) != 0) return report("close", given, errno, VersionOutcome::kNotWritten);
    return VersionOutcome::kDone;
}

VersionOutcome CVersionFile::report(const char* call, const std::string& path, int error, VersionOutcome outcome) const {
    brn::message("version file: %s %s failed(%d,%s)\n", call, path.c_str(), error, strerror(error));
    return outcome;
}

}  // namespace velk
