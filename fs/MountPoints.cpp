#include "fs/MountPoints.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "fs/TreeRemover.h"

namespace velk {

namespace {

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

bool isStrictlyBelow(const std::string& path, const std::string& dir) {
    if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
    return dir == "/" || path[dir.size()] == '/';
}

}  // namespace

MountBelow findMountBelow(const std::string& dir, int dirFd, const std::string& shown) {
    MountBelow below;
    FILE* table = fopen("/proc/self/mountinfo", "re");
    // Without /proc the folder is walked; a table that exists but cannot be opened now (no
    // descriptor left) is no reason to think there is no mount.
    if (table == nullptr && errno != ENOENT && errno != EACCES) {
        below.checked = false;
        below.error = errno;
        return below;
    }
    if (table != nullptr) {
        char* line = nullptr;
        size_t capacity = 0;
        while (!below.found && getline(&line, &capacity, table) > 0) {
            const std::string point = mountPointOf(line);
            below.found = isStrictlyBelow(point, dir);
            if (below.found) below.point = point.substr(dir == "/" ? 0 : dir.size());
        }
        free(line);
        fclose(table);
        return below;
    }
    CTreeRemover walk(dirFd, shown, CTreeRemover::Mode::kSurvey);
    const int result = walk.run();
    below.found = result == CTreeRemover::kMountPoint;
    below.checked = result == CTreeRemover::kOk || below.found;
    if (below.found) below.point = walk.mountPoint().substr(shown.size());
    return below;
}

}  // namespace velk
