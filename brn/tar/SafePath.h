#pragma once
// The vocabulary of safe entry paths, shared by the path walker (brn/tar/PathWalker.h), its
// trees and the tar reader: the result codes, how a name splits into components, the ".."
// rule and the two refusal messages. Stateless free functions.

#include <cstddef>
#include <string>
#include <vector>

namespace brn {

constexpr int kSafePathOk = 0;
constexpr int kSafePathDotDot = -1;        // a checked component is ".." (message printed)
constexpr int kSafePathThroughLink = -2;   // a checked directory is a symbolic link (message printed)
constexpr int kSafePathNoParent = -3;      // a directory on the way is missing or not a directory
constexpr int kSafePathMakeFailed = -4;    // a missing directory could not be made (message printed)
constexpr int kSafePathCreateFailed = -5;  // the entry itself could not be made or opened
constexpr int kSafePathNoLeaf = -6;        // the path names the root itself, not an entry in it
constexpr int kSafePathNotMadeHere = -7;   // a hard link's target is no regular file this run made (message printed)

// Finds the next '/'-separated component of `path` from `pos`, skipping empty and "."
// components, and bounds it by [begin, end). False when none is left.
bool nextPathComponent(const std::string& path, size_t& pos, size_t& begin, size_t& end);
// Every such component of `path`, in order.
std::vector<std::string> pathComponents(const std::string& path);

// Print "tar: <name>: refusing a '..' path component" and give kSafePathDotDot, and
// "tar: <name>: refusing to go through the symbolic link <link>" with kSafePathThroughLink.
int refuseDotDot(const std::string& name);
int refuseThroughLink(const std::string& name, const std::string& link);
// "tar: <name>: refusing a hard link to <target>: not a file this archive made", kSafePathNotMadeHere.
int refuseHardLink(const std::string& name, const std::string& target);

// The length in bytes of the longest such component of `path`; 0 when it has none.
size_t longestComponent(const std::string& path);

// True when a '/'-separated component of `path` is "..".
bool hasDotDotComponent(const std::string& path);

// True when two names have the same components: "a//b/" and "./a/b" name one entry.
bool sameEntryName(const std::string& one, const std::string& other);

// kSafePathOk for an entry name without a ".." component; otherwise prints
// "tar: <name>: refusing a '..' path component" and gives kSafePathDotDot.
int checkEntryName(const std::string& name);

}  // namespace brn
