#include "fs/Leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs/HelperName.h"
#include "fs/Message.h"
#include "fs/TreeRemover.h"
#include "fs/UniqueFd.h"

namespace velk {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isHelperOf(const std::string& candidate, const std::string& name, const std::vector<std::string>& suffixes) {
    return std::any_of(suffixes.begin(), suffixes.end(),
                       [&](const std::string& suffix) { return isHelperName(candidate, name, suffix); });
}

// The helpers of `name` in `folder` that belong to one of `owners`, read before any goes.
std::vector<std::string> ownHelpers(int folder, const std::string& name, const std::vector<std::string>& suffixes,
                                    const std::vector<uid_t>& owners) {
    std::vector<std::string> found;
    CUniqueFd own(openat(folder, ".", kFolderFlags));
    DirHandle stream(own.get() < 0 ? nullptr : fdopendir(own.get()), &closedir);
    if (!stream) return found;
    own.release();
    while (const dirent* entry = readdir(stream.get())) {
        struct stat st;
        if (!isHelperOf(entry->d_name, name, suffixes)) continue;
        if (fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (std::find(owners.begin(), owners.end(), st.st_uid) != owners.end()) found.emplace_back(entry->d_name);
    }
    return found;
}

}  // namespace

int removeBeside(int folder, const std::string& leaf, const std::string& shown) {
    struct stat st;
    if (fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode)) {
        CUniqueFd dir(openat(folder, leaf.c_str(), kFolderFlags));
        if (dir.get() < 0) return errno;
        CTreeRemover remover(dir.get(), shown);
        if (remover.run() != CTreeRemover::kOk) return remover.error();
    }
    if (unlinkat(folder, leaf.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT) return 0;
    const int error = errno;
    brn::message("remove %s failed(%d,%s)\n", shown.c_str(), error, strerror(error));
    return error;
}

int removeLeftovers(int folder, const std::string& shownFolder, const std::string& name,
                    const std::vector<std::string>& suffixes, const std::vector<uid_t>& owners) {
    int staying = 0;
    for (const std::string& leftover : ownHelpers(folder, name, suffixes, owners)) {
        const std::string shown = shownFolder + "/" + leftover;
        if (int error = removeBeside(folder, leftover, shown); error != 0) {
            brn::message("%s: left by an earlier run, it cannot be removed(%d,%s)\n", shown.c_str(), error,
                         strerror(error));
            ++staying;
        }
    }
    return staying;
}

}  // namespace velk
