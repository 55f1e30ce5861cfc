#pragma once
// CFolderCursor reaches the folder that holds a relative path below a root folder, component by
// component, never through a symbolic link (fs/FolderBelow.h), and keeps the folders on the way
// to the last one open: the paths of a tree come folder by folder, so only the components after
// the start shared with the previous path are opened. The root is borrowed and must stay open
// as long as the cursor; the folders it opened are its own, and valid until the next call.
// treePath gives the one spelling of a path that the index and the cursor use.

#include <string>
#include <utility>
#include <vector>

#include "fs/UniqueFd.h"

namespace velk {

// `name` as a path below the root, as the walk takes it: its components joined by single
// slashes, no "." and no leading or trailing slash ("" for the root itself).
std::string treePath(const std::string& name);

class CFolderCursor {
public:
    explicit CFolderCursor(int root = -1) : root(root) {}

    // The folder that holds `path` ("a/b/c": a/b), and its last component in `leaf`; -1 with
    // errno when a folder on the way is missing, no folder, or a link.
    int folderOf(const std::string& path, std::string& leaf);
    // The folder `path` itself ("" is the root).
    int folder(const std::string& path);

private:
    int root;
    std::vector<std::pair<std::string, CUniqueFd>> held;  // the folders to the last one reached
};

}  // namespace velk
