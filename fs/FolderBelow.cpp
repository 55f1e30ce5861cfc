#include "fs/FolderBelow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/UniqueFd.h"

namespace velk {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A folder made on the way is opened before it is given away, so a name swapped in meanwhile
// is never the one given.
int makeAndOpen(int folder, const std::string& name, const MissingFolders& missing) {
    if (mkdirat(folder, name.c_str(), missing.mode) != 0 && errno != EEXIST) return -1;
    CUniqueFd made(openSubfolder(folder, name));
    if (made.get() < 0) return -1;
    if (missing.owner.given && fchown(made.get(), missing.owner.user, missing.owner.group) != 0) return -1;
    return made.release();
}

}  // namespace

bool isDotDot(std::string_view component) { return component == ".."; }

int openSubfolder(int folder, const std::string& name) {
    if (isDotDot(name)) {
        errno = EINVAL;
        return -1;
    }
    const int opened = openat(folder, name.c_str(), kFolderFlags);
    if (opened >= 0 || errno != ENOTDIR) return opened;
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
    } else {
        errno = ENOTDIR;
    }
    return -1;
}

int openFolderBelow(int folder, const std::vector<std::string>& names, const MissingFolders& missing,
                    size_t* reached) {
    CUniqueFd at(openat(folder, ".", kFolderFlags));
    size_t level = 0;
    for (; at.get() >= 0 && level < names.size(); ++level) {
        CUniqueFd next(openSubfolder(at.get(), names[level]));
        if (next.get() < 0 && errno == ENOENT && missing.make) next.reset(makeAndOpen(at.get(), names[level], missing));
        if (next.get() < 0) break;
        at = std::move(next);
    }
    if (reached != nullptr) *reached = level;
    return level == names.size() ? at.release() : -1;
}

}  // namespace velk
