#pragma once
// CPathWalker makes tar entries in a tree (brn/tar/EntryTree.h) under one set of rules, the
// same on disk and in velk-inspect's record. A name is taken relative to the tree's root:
// empty and "." components are skipped and a ".." component is refused; no symbolic link is
// ever followed (one on the way is refused, one at the name is replaced); missing directories
// on the way are made one level at a time; an existing name is replaced or kept as the
// entry's kind requires, and a file is always made anew, never written through. A hard link
// gives a new name only to a regular file the tree made, reached under the same rules. The
// directories leading to the last entry's parent stay entered, up to kHeldDirs levels, so the
// next entry of the same folder costs no further walk. Every refusal prints why, naming the
// entry and the path (shownPrefix + the name's components).
// Calling order: construct over a tree, then any number of openFile / makeSymlink /
// makeHardLink / makeDirectory. The walker borrows the tree, which must outlive it.

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "brn/tar/EntryTree.h"
#include "brn/tar/SafePath.h"

namespace brn {

class CPathWalker {
public:
    // shownPrefix starts every path in messages: "dest/" makes "dest/a/b".
    CPathWalker(CEntryTree& tree, std::string shownPrefix);
    ~CPathWalker();
    CPathWalker(const CPathWalker&) = delete;
    CPathWalker& operator=(const CPathWalker&) = delete;

    // Each gives a MakeOutcome. openFile replaces a regular file or a link and refuses any other
    // kind of existing file; makeSymlink replaces whatever is there but a directory that
    // holds something; makeDirectory keeps a directory, replaces a link or a regular file
    // the tree made, and refuses any other kind. A name that is the root itself is refused
    // (MakeOutcome::kNamesRoot) but by makeDirectory.
    MakeOutcome openFile(const std::string& name, int& handle);
    MakeOutcome makeSymlink(const std::string& name, const std::string& target);
    // Refuses (MakeOutcome::kNotMadeHere) a target that is no regular file the tree made, is
    // missing, or is spelled as a directory ("f/"); at the link's name, as openFile. A link
    // to its own name changes nothing.
    MakeOutcome makeHardLink(const std::string& name, const std::string& target);
    MakeOutcome makeDirectory(const std::string& name);
    // Puts a file at `name` as openFile would (folders on the way made, a regular file or a
    // link there replaced), made by `place`, which is given the folder and the leaf and gives
    // 0 or an errno. An errno leaves the name free and gives kNotLinked, with no message: the
    // caller makes the file another way.
    using PlaceFile = std::function<int(DirRef dir, const std::string& leaf)>;
    MakeOutcome placeFile(const std::string& name, const PlaceFile& place);
    // Calls `look` with the folder a file `name` would be made in, reached as openFile reaches
    // it (folders on the way made), without touching the name itself.
    using LookAtFolder = std::function<void(DirRef dir)>;
    MakeOutcome visitParent(const std::string& name, const LookAtFolder& look);
    // Enters the directory `name` under the same rules, making it and its parents when
    // missing, and gives it; the caller gives it back with the tree's leave. The root
    // itself is not given out: MakeOutcome::kNamesRoot.
    MakeOutcome enterDirectory(const std::string& name, DirRef& dir);

    // Leaves every directory held from the last entry (before the tree changes under it).
    void forget();

private:
    static constexpr size_t kHeldDirs = 16;

    using Span = std::pair<size_t, size_t>;  // [begin, end) of one component in the name

    // The directory that holds an entry, and the entry's own name in it.
    struct Parent {
        DirRef dir = 0;
        bool transient = false;  // entered past the held levels: leave it after use
        std::string leaf;        // empty when the name is the root itself
    };

    // With makeMissing, missing directories are made and a non-directory on the way is
    // reported; without, the walk only looks. With `hold`, the directories on the way are
    // kept entered for the next entry; without, the held ones are neither used nor changed.
    // walkToLeaf walks to make an entry, and refuses the root's own name.
    MakeOutcome walkToParent(const std::string& name, bool makeMissing, Parent& parent, bool hold = true);
    MakeOutcome walkToLeaf(const std::string& name, Parent& parent);
    MakeOutcome findLinkTarget(const std::string& name, const std::string& target, Parent& from);
    size_t keepHeldPrefix(const std::string& name, size_t dirs);
    MakeOutcome step(DirRef dir, const std::string& name, size_t level, bool makeMissing, DirRef& child);
    MakeOutcome createFile(const std::string& name, const Parent& parent, int& handle);
    MakeOutcome createSymlink(const std::string& name, const Parent& parent, const std::string& target);
    MakeOutcome createDirectory(const std::string& name, const Parent& parent);
    MakeOutcome createHardLink(const std::string& name, const std::string& target, const Parent& from, const Parent& parent);
    MakeOutcome replaceableAt(const std::string& name, const Parent& parent);
    MakeOutcome removeFileAt(const std::string& name, const Parent& parent);
    void release(Parent& parent);

    // Component `level` of the name being walked, and where the last one ends in it.
    std::string component(const std::string& name, size_t level) const;
    size_t lastEnd() const;
    // shownPrefix + the first `end` bytes of the name: a path for messages.
    std::string shown(const std::string& name, size_t end) const;
    // "tar: NAME: CALL PATH failed(ERRNO,TEXT)" and "mkdir PATH failed(ERRNO,TEXT)".
    MakeOutcome report(const std::string& name, const char* call, size_t end, int error, MakeOutcome result) const;
    MakeOutcome reportMkdir(const std::string& name, size_t end, int error) const;
    // "tar: NAME: refusing to replace PATH, WHAT": what stands at the name stays.
    MakeOutcome refuseReplacing(const std::string& name, const char* what) const;

    CEntryTree& tree;
    std::string shownPrefix;
    std::vector<std::pair<std::string, DirRef>> held;  // entered directories from the root down
    std::vector<Span> components;                        // of the name being walked
};

}  // namespace brn
