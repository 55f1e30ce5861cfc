#pragma once
// The vocabulary of safe entry paths, shared by the path walker (brn/tar/PathWalker.h), its
// trees and the tar reader: how a name splits into components, the ".." rule (the one place
// that tells a ".." component) and the refusal messages. Stateless free functions.

#include <cstddef>
#include <string>
#include <vector>

#include "brn/tar/MakeOutcome.h"

namespace brn {


// Finds the next '/'-separated component of `path` from `pos`, skipping empty and "."
// components, and bounds it by [begin, end). False when none is left.
bool nextPathComponent(const std::string& path, size_t& pos, size_t& begin, size_t& end);
// Every such component of `path`, in order.
std::vector<std::string> pathComponents(const std::string& path);

// Print "tar: <name>: refusing a '..' path component" and give kDotDot, and
// "tar: <name>: refusing to go through the symbolic link <link>" with kThroughLink.
MakeOutcome refuseDotDot(const std::string& name);
MakeOutcome refuseThroughLink(const std::string& name, const std::string& link);
// "tar: <name>: refusing a hard link to <target>: not a file this archive made", kNotMadeHere.
MakeOutcome refuseHardLink(const std::string& name, const std::string& target);

// The length in bytes of the longest such component of `path`; 0 when it has none.
size_t longestComponent(const std::string& path);

// True when a '/'-separated component of `path` is "..".
bool hasDotDotComponent(const std::string& path);

// True when two names have the same components: "a//b/" and "./a/b" name one entry.
bool sameEntryName(const std::string& one, const std::string& other);

// kOk for an entry name without a ".." component; otherwise prints
// "tar: <name>: refusing a '..' path component" and gives kDotDot.
MakeOutcome checkEntryName(const std::string& name);

}  // namespace brn
