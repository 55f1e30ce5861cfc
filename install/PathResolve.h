#pragma once
// Resolves a path once, before anything is changed, the way `realpath -m` does: relative
// to the working directory, and not at all when it has none (removed: never against "/");
// every symbolic link among the components that exist is followed (at most kMaxLinks in
// all); "." is dropped and ".." takes away the component resolved before it; a missing
// component is kept as named. The result is absolute, with single slashes and no "." or
// "..": one name for one directory, however it was spelled.
// Below a fence (a resolved directory whose content a package controls) no link is
// followed: one on the way fails the resolution, one at the last component is kept as a
// name. Nor is a link followed that sits in a sticky folder anyone may write (/tmp) and
// belongs to neither the caller nor that folder's owner: another user may have planted it
// there. This is the kernel's own rule (fs.protected_symlinks), which a path resolved in
// user space would otherwise bypass; it holds whatever that setting says. Stateless.

#include <string>

namespace velk {

struct ResolvedPath {
    bool ok = false;
    std::string path;     // the resolved path when ok
    int error = 0;        // errno when not ok (ELOOP: too many links or a link below the fence)
    std::string failedAt; // the path that could not be examined, the link refused, or "." for
                          // a working folder that cannot be named
    bool untrustedLink = false;  // EACCES: failedAt is a link planted in a shared folder
};

// followLast: whether a link at the last component is followed (outside the fence).
ResolvedPath resolvePath(const std::string& path, bool followLast, const std::string& fence = std::string());

// True when `path` is `dir` or lies below it; both resolved.
bool isAtOrBelow(const std::string& path, const std::string& dir);

}  // namespace velk
