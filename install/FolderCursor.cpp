#include "install/FolderCursor.h"

#include <cerrno>

#include "brn/tar/SafePath.h"
#include "fs/FolderBelow.h"

namespace velk {

std::string treePath(const std::string& name) {
    std::string path;
    for (const std::string& part : brn::pathComponents(name)) {
        if (!path.empty()) path += '/';
        path += part;
    }
    return path;
}

int CFolderCursor::folderOf(const std::string& path, std::string& leaf) {
    const size_t slash = path.find_last_of('/');
    leaf = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return folder(slash == std::string::npos ? std::string() : path.substr(0, slash));
}

int CFolderCursor::folder(const std::string& path) {
    if (root < 0) {
        errno = EBADF;
        return -1;
    }
    const std::vector<std::string> parts = brn::pathComponents(path);
    size_t kept = 0;
    while (kept < held.size() && kept < parts.size() && held[kept].first == parts[kept]) ++kept;
    held.resize(kept);
    int at = kept == 0 ? root : held.back().second.get();
    for (size_t level = kept; level < parts.size(); ++level) {
        CUniqueFd next(openSubfolder(at, parts[level]));
        if (next.get() < 0) return -1;
        at = next.get();
        held.emplace_back(parts[level], std::move(next));
    }
    return at;
}

}  // namespace velk
