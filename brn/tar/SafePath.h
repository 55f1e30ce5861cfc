#pragma once
// Makes tar entries (regular files, symbolic links, directories) at the path the entry
// callback chose without ever creating, opening or writing through a symbolic link that
// the archive could have placed. The path is split into a trusted directory (links
// allowed, made with makeDirs when missing) and the part below it named by the archive.
// Below it, every existing component is examined with lstat before anything is made,
// missing directories are made one level at a time, and the entry is made relative to a
// descriptor of its parent opened without following links. Each call is self-contained;
// the descriptor handed out by safeOpenRegularFile belongs to the caller.
//
// The trusted directory: when outPath ends with the entry's name at a component boundary
// (outPath = outDir + "/" + name), it is everything before the name and only the
// components of the name are checked. Otherwise the callback chose a path of its own:
// only its parent directory is trusted and only its last component is checked.

#include <cstddef>
#include <string>

namespace brn {

constexpr int kSafePathOk = 0;
constexpr int kSafePathDotDot = -1;        // a checked component is ".." (message printed)
constexpr int kSafePathThroughLink = -2;   // a checked directory is a symbolic link (message printed)
constexpr int kSafePathNoParent = -3;      // a directory on the way is missing or not a directory
constexpr int kSafePathMakeFailed = -4;    // a missing directory could not be made (message printed)
constexpr int kSafePathCreateFailed = -5;  // the entry itself could not be made or opened
constexpr int kSafePathNoLeaf = -6;        // the path names the trusted directory, not an entry in it

// The split of an entry path: trustedDir + below == outPath.
struct EntryTarget {
    std::string trustedDir;  // used as given, symbolic links followed; empty means "."
    std::string below;       // components made safely; empty and "." components are skipped
};

// Finds the next '/'-separated component of `path` from `pos`, skipping empty and "."
// components, and bounds it by [begin, end). False when none is left.
bool nextPathComponent(const std::string& path, size_t& pos, size_t& begin, size_t& end);

// Print "tar: <name>: refusing a '..' path component" and give kSafePathDotDot, and
// "tar: <name>: refusing to go through the symbolic link <link>" with kSafePathThroughLink.
int refuseDotDot(const std::string& name);
int refuseThroughLink(const std::string& name, const std::string& link);

// True when a '/'-separated component of `path` is "..".
bool hasDotDotComponent(const std::string& path);

// kSafePathOk for an entry name without a ".." component; otherwise prints
// "tar: <name>: refusing a '..' path component" and gives kSafePathDotDot.
int checkEntryName(const std::string& name);

// Splits outPath by the rule above.
EntryTarget splitEntryPath(const std::string& outPath, const std::string& name);

// Opens a regular file for writing from its start (O_WRONLY, O_CREAT, O_TRUNC, O_NOFOLLOW,
// permission bits 0600), making missing parents (0755). A symbolic link at the path is
// removed and the file made anew with O_EXCL; any other existing non-regular file fails.
int safeOpenRegularFile(const std::string& outPath, const std::string& name, int* fd);

// Replaces whatever is at the path (a file, a link, an empty directory) with a symbolic
// link to `target`, which may be anything. Missing parents are not made.
int safeMakeSymlink(const std::string& outPath, const std::string& name, const std::string& target);

// Makes a directory (0755) with its missing parents. An existing name of any kind is left
// as it is and succeeds.
int safeMakeDirectory(const std::string& outPath, const std::string& name);

}  // namespace brn
