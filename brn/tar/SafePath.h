#pragma once
// The vocabulary of safe entry paths, shared by the path walker (brn/tar/PathWalker.h), its
// trees and the tar reader: the result codes, how a name splits into components, the ".."
// rule, the two refusal messages, and how a path of the entry callback's own splits into a
// trusted directory and the part below it that is checked. Stateless free functions.

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

// Splits a path the entry callback chose. When outPath ends with the entry's name at a
// component boundary (outPath = outDir + "/" + name), the trusted directory is everything
// before the name and the name is checked. Otherwise only the parent directory of outPath
// is trusted and only its last component is checked.
EntryTarget splitEntryPath(const std::string& outPath, const std::string& name);

}  // namespace brn
