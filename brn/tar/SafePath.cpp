#include "brn/tar/SafePath.h"

#include <algorithm>
#include <cstdio>
#include "fs/FolderBelow.h"
#include "fs/Message.h"

namespace brn {

bool nextPathComponent(const std::string& path, size_t& pos, size_t& begin, size_t& end) {
    while (pos < path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        begin = pos;
        end = slash;
        pos = slash + 1;
        const bool dot = end - begin == 1 && path[begin] == '.';
        if (end > begin && !dot) return true;
    }
    return false;
}

std::vector<std::string> pathComponents(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0, begin = 0, end = 0;
    while (nextPathComponent(path, pos, begin, end)) parts.push_back(path.substr(begin, end - begin));
    return parts;
}

MakeOutcome refuseDotDot(const std::string& name) {
    brn::message("tar: %.*s: refusing a '..' path component\n", int(name.size()), name.data());
    return MakeOutcome::kDotDot;
}

MakeOutcome refuseThroughLink(const std::string& name, const std::string& link) {
    brn::message("tar: %.*s: refusing to go through the symbolic link %.*s\n", int(name.size()), name.data(),
           int(link.size()), link.data());
    return MakeOutcome::kThroughLink;
}

MakeOutcome refuseHardLink(const std::string& name, const std::string& target) {
    brn::message("tar: %.*s: refusing a hard link to %.*s: not a file this archive made\n", int(name.size()),
                 name.data(), int(target.size()), target.data());
    return MakeOutcome::kNotMadeHere;
}

size_t longestComponent(const std::string& path) {
    size_t longest = 0, pos = 0, begin = 0, end = 0;
    while (nextPathComponent(path, pos, begin, end)) longest = std::max(longest, end - begin);
    return longest;
}

bool hasDotDotComponent(const std::string& path) {
    size_t pos = 0, begin = 0, end = 0;
    while (nextPathComponent(path, pos, begin, end)) {
        if (velk::isDotDot(std::string_view(path).substr(begin, end - begin))) return true;
    }
    return false;
}

bool sameEntryName(const std::string& one, const std::string& other) {
    size_t pos = 0, begin = 0, end = 0, otherPos = 0, otherBegin = 0, otherEnd = 0;
    for (;;) {
        const bool more = nextPathComponent(one, pos, begin, end);
        if (more != nextPathComponent(other, otherPos, otherBegin, otherEnd)) return false;
        if (!more) return true;
        if (one.compare(begin, end - begin, other, otherBegin, otherEnd - otherBegin) != 0) return false;
    }
}

MakeOutcome checkEntryName(const std::string& name) {
    return hasDotDotComponent(name) ? refuseDotDot(name) : MakeOutcome::kOk;
}

}  // namespace brn
