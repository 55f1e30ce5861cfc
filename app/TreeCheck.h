#pragma once
// velk-inspect --check-tree DEST: the installed tree checked against its index
// (install/TreeIndexReader.h), as package managers verify installed files, so that a device can
// check its tree at boot. Every file is read and its blocks' keyed digests compared with the
// index's; a line is printed on standard output for each path that differs:
//   changed PATH   another kind, mode, size, bytes or link target (a hard link: another file)
//   missing PATH   in the index, not in the tree
//   added PATH     in the tree, not in the index (found by walking DEST, never through a link)
// PATH is below DEST, shown as the listing shows names. Memory does not grow with the files:
// the index is read as a stream, and only a keyed 64-bit hash of each indexed path is kept to
// find what was added (about 11 bytes a path). The index must be a private file of DEST's
// owner or the caller, whole, and made for DEST's folder; otherwise nothing is checked.
// Stateless but for the run: call checkTree once.

#include <string>

namespace velk {

constexpr int kCheckTreeSame = 0;     // the tree is what the index describes
constexpr int kCheckTreeDiffers = 4;  // at least one line was printed
constexpr int kCheckTreeNoIndex = 5;  // DEST cannot be opened, or has no usable index (a message says why)

// `dest` as given on the command line (absolute, or relative to a working folder that exists).
int checkTree(const std::string& dest);

}  // namespace velk
