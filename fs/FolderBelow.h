#pragma once
// Opening a folder below an open folder, never through a symbolic link: the one way every walk
// by names reaches a folder it was not handed. openSubfolder opens one name of an open folder
// as a folder (O_NOFOLLOW | O_DIRECTORY) and refuses "..", which would climb out of it;
// openFolderBelow opens a chain of names that way, each below the one before, and on request
// makes the ones that are missing. Each gives a descriptor the caller owns, or -1 with errno
// set: ELOOP for a symbolic link on the way, ENOTDIR for anything else that is no folder,
// EINVAL for "..", ENOENT for a missing name not to be made. Stateless.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "fs/FileUtil.h"

namespace velk {

// True when `component` is "..", the name that leads out of its folder: no walk below a folder
// takes it.
bool isDotDot(std::string_view component);

// What openFolderBelow does with a name that is missing: fails (ENOENT), or makes a folder
// there with `mode` (before the umask), given `owner` where that is set.
struct MissingFolders {
    bool make = false;
    mode_t mode = 0;
    Ownership owner;
};

// `name` is one component, not empty.
int openSubfolder(int folder, const std::string& name);
// Opens `folder`/names[0]/names[1]/...; no names: `folder` itself, opened anew. On a failure,
// `reached` (when given) tells how many names were opened before the one that failed.
int openFolderBelow(int folder, const std::vector<std::string>& names, const MissingFolders& missing = {},
                    size_t* reached = nullptr);

}  // namespace velk
