#include "brn/tar/PathWalker.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include "fs/Message.h"

namespace brn {

namespace {

// What stands at a name that an entry does not replace, for messages.
const char* kindText(NodeKind kind) {
    switch (kind) {
        case NodeKind::kDirectory: return "a folder";
        case NodeKind::kRegular: return "a file this archive did not make";
        default: return "a FIFO, device or socket";
    }
}

}  // namespace

CPathWalker::CPathWalker(CEntryTree& entryTree, std::string prefix)
    : tree(entryTree), shownPrefix(std::move(prefix)) {}

CPathWalker::~CPathWalker() { forget(); }

void CPathWalker::forget() {
    while (!held.empty()) {
        tree.leave(held.back().second);
        held.pop_back();
    }
}

MakeOutcome CPathWalker::openFile(const std::string& name, int& handle) {
    Parent parent;
    MakeOutcome result = walkToLeaf(name, parent);
    if (result == MakeOutcome::kOk) result = createFile(name, parent, handle);
    release(parent);
    return result;
}

MakeOutcome CPathWalker::makeSymlink(const std::string& name, const std::string& target) {
    Parent parent;
    MakeOutcome result = walkToLeaf(name, parent);
    if (result == MakeOutcome::kOk) result = createSymlink(name, parent, target);
    release(parent);
    return result;
}

// The target is found first, without making anything: a link that will be refused leaves no
// trace, not even the folders on the way to its name.
MakeOutcome CPathWalker::makeHardLink(const std::string& name, const std::string& target) {
    Parent from;
    MakeOutcome result = findLinkTarget(name, target, from);
    if (result == MakeOutcome::kOk && !sameEntryName(name, target)) {
        Parent parent;
        result = walkToLeaf(name, parent);
        if (result == MakeOutcome::kOk) result = createHardLink(name, target, from, parent);
        release(parent);
    }
    release(from);
    return result;
}

MakeOutcome CPathWalker::placeFile(const std::string& name, const PlaceFile& place) {
    Parent parent;
    MakeOutcome result = walkToLeaf(name, parent);
    if (result == MakeOutcome::kOk) result = replaceableAt(name, parent);
    if (result == MakeOutcome::kOk && place(parent.dir, parent.leaf) != 0) result = MakeOutcome::kNotLinked;
    release(parent);
    return result;
}

MakeOutcome CPathWalker::visitParent(const std::string& name, const LookAtFolder& look) {
    Parent parent;
    MakeOutcome result = walkToParent(name, true, parent);
    if (result == MakeOutcome::kOk) result = parent.leaf.empty() ? MakeOutcome::kNamesRoot : MakeOutcome::kOk;
    if (result == MakeOutcome::kOk) look(parent.dir);
    release(parent);
    return result;
}

MakeOutcome CPathWalker::makeDirectory(const std::string& name) {
    Parent parent;
    MakeOutcome result = walkToParent(name, true, parent);
    if (result == MakeOutcome::kOk && !parent.leaf.empty()) result = createDirectory(name, parent);
    release(parent);
    return result;
}

MakeOutcome CPathWalker::enterDirectory(const std::string& name, DirRef& dir) {
    Parent parent;
    MakeOutcome result = walkToParent(name, true, parent);
    if (result == MakeOutcome::kOk) {
        result = parent.leaf.empty() ? MakeOutcome::kNamesRoot : step(parent.dir, name, components.size() - 1, true, dir);
    }
    release(parent);
    return result;
}

// A regular file or a link at the name is replaced, never written through: what a link
// points at and a file's other names stay untouched, and a read-only file gives way as to
// tar. A directory, FIFO or device is left as it is and the entry fails.
MakeOutcome CPathWalker::createFile(const std::string& name, const Parent& parent, int& handle) {
    if (MakeOutcome result = replaceableAt(name, parent); result != MakeOutcome::kOk) return result;
    if (int error = tree.createFile(parent.dir, parent.leaf, handle)) {
        return report(name, "open", lastEnd(), error, MakeOutcome::kCreateFailed);
    }
    return MakeOutcome::kOk;
}

// Clears the name for a new file: removes a regular file or a link there, refuses anything else.
MakeOutcome CPathWalker::replaceableAt(const std::string& name, const Parent& parent) {
    NodeKind kind = NodeKind::kMissing;
    if (int error = tree.lookup(parent.dir, parent.leaf, kind)) {
        return report(name, "fstatat", lastEnd(), error, MakeOutcome::kCreateFailed);
    }
    if (kind == NodeKind::kSymlink || kind == NodeKind::kRegular) return removeFileAt(name, parent);
    return kind == NodeKind::kMissing ? MakeOutcome::kOk : refuseReplacing(name, kindText(kind));
}

MakeOutcome CPathWalker::removeFileAt(const std::string& name, const Parent& parent) {
    if (int error = tree.remove(parent.dir, parent.leaf, false)) {
        return report(name, "unlink", lastEnd(), error, MakeOutcome::kCreateFailed);
    }
    return MakeOutcome::kOk;
}

// Whatever is at the name goes first; a directory that holds something stays, and the
// entry fails.
MakeOutcome CPathWalker::createSymlink(const std::string& name, const Parent& parent, const std::string& target) {
    NodeKind kind = NodeKind::kMissing;
    if (int error = tree.lookup(parent.dir, parent.leaf, kind)) {
        return report(name, "fstatat", lastEnd(), error, MakeOutcome::kCreateFailed);
    }
    if (kind != NodeKind::kMissing) {
        const bool directory = kind == NodeKind::kDirectory;
        const int error = tree.remove(parent.dir, parent.leaf, directory);
        if (directory && (error == ENOTEMPTY || error == EEXIST)) {
            return refuseReplacing(name, "a folder that holds something");
        }
        if (error != 0) return report(name, "unlink", lastEnd(), error, MakeOutcome::kCreateFailed);
    }
    if (int error = tree.createSymlink(parent.dir, parent.leaf, target)) {
        return report(name, "symlink", lastEnd(), error, MakeOutcome::kCreateFailed);
    }
    return MakeOutcome::kOk;
}

// A directory stays as it is, with what it holds. A link or a file this tree made gives way
// to the directory, as in tar; a file that was there before (the version file an in-place run
// keeps in DEST) is not removed for a directory, nor is a FIFO or device: the entry fails.
MakeOutcome CPathWalker::createDirectory(const std::string& name, const Parent& parent) {
    NodeKind kind = NodeKind::kMissing;
    if (int error = tree.lookup(parent.dir, parent.leaf, kind)) {
        return report(name, "fstatat", lastEnd(), error, MakeOutcome::kFolderFailed);
    }
    if (kind == NodeKind::kDirectory) return MakeOutcome::kOk;
    const bool madeHere = kind == NodeKind::kSymlink ||
                          (kind == NodeKind::kRegular && tree.madeAsFile(parent.dir, parent.leaf));
    if (kind != NodeKind::kMissing && !madeHere) return refuseReplacing(name, kindText(kind));
    if (kind != NodeKind::kMissing) {
        if (MakeOutcome result = removeFileAt(name, parent); result != MakeOutcome::kOk) return result;
    }
    const int error = tree.makeDirectory(parent.dir, parent.leaf);
    return error == 0 || error == EEXIST ? MakeOutcome::kOk : reportMkdir(name, lastEnd(), error);
}

// The target's folder is entered apart from the held ones, which walking the link's own name
// may leave. A target spelled as a folder ("f/", "f/.") names no file, even where `f` is one:
// link() refuses it, and so do both tars.
MakeOutcome CPathWalker::findLinkTarget(const std::string& name, const std::string& target, Parent& from) {
    const MakeOutcome result = walkToParent(target, false, from, false);
    const bool noFile = result == MakeOutcome::kNoParent || (result == MakeOutcome::kOk && from.leaf.empty());
    if (noFile || (result == MakeOutcome::kOk && lastEnd() != target.size())) return refuseHardLink(name, target);
    if (result != MakeOutcome::kOk) return result;
    return tree.madeAsFile(from.dir, from.leaf) ? MakeOutcome::kOk : refuseHardLink(name, target);
}

// The new name is checked once made too: a file put in the target's place meanwhile by
// someone else must not gain a name in the tree.
MakeOutcome CPathWalker::createHardLink(const std::string& name, const std::string& target, const Parent& from,
                                const Parent& parent) {
    if (MakeOutcome result = replaceableAt(name, parent); result != MakeOutcome::kOk) return result;
    if (int error = tree.createHardLink(from.dir, from.leaf, parent.dir, parent.leaf)) {
        return report(name, "linkat", lastEnd(), error, MakeOutcome::kCreateFailed);
    }
    if (tree.madeAsFile(parent.dir, parent.leaf)) return MakeOutcome::kOk;
    (void)tree.remove(parent.dir, parent.leaf, false);
    return refuseHardLink(name, target);
}

MakeOutcome CPathWalker::walkToLeaf(const std::string& name, Parent& parent) {
    const MakeOutcome result = walkToParent(name, true, parent);
    if (result != MakeOutcome::kOk || !parent.leaf.empty()) return result;
    const std::string root = shown(name, 0);
    brn::message("tar: %.*s: refusing an entry that names %s itself\n", int(name.size()), name.data(), root.c_str());
    return MakeOutcome::kNamesRoot;
}

MakeOutcome CPathWalker::walkToParent(const std::string& name, bool makeMissing, Parent& parent, bool hold) {
    if (hasDotDotComponent(name)) return refuseDotDot(name);
    components.clear();
    size_t pos = 0, begin = 0, end = 0;
    while (nextPathComponent(name, pos, begin, end)) components.emplace_back(begin, end);
    parent.dir = tree.root();
    if (components.empty()) return MakeOutcome::kOk;
    const size_t dirs = components.size() - 1;
    size_t level = hold ? keepHeldPrefix(name, dirs) : 0;
    if (level > 0) parent.dir = held[level - 1].second;
    for (; level < dirs; ++level) {
        DirRef child = 0;
        const MakeOutcome result = step(parent.dir, name, level, makeMissing, child);
        if (result != MakeOutcome::kOk) return result;
        if (hold && held.size() == level && level < kHeldDirs) {
            held.emplace_back(component(name, level), child);
        } else {
            if (parent.transient) tree.leave(parent.dir);
            parent.transient = true;
        }
        parent.dir = child;
    }
    parent.leaf = component(name, dirs);
    return MakeOutcome::kOk;
}

// Keeps the held directories that the name passes through too, leaves the others, and
// gives how many were kept.
size_t CPathWalker::keepHeldPrefix(const std::string& name, size_t dirs) {
    size_t kept = 0;
    while (kept < held.size() && kept < dirs) {
        const Span& span = components[kept];
        if (name.compare(span.first, span.second - span.first, held[kept].first) != 0) break;
        ++kept;
    }
    while (held.size() > kept) {
        tree.leave(held.back().second);
        held.pop_back();
    }
    return kept;
}

// Enters the directory of component `level` below `dir`, making it when missing and allowed.
MakeOutcome CPathWalker::step(DirRef dir, const std::string& name, size_t level, bool makeMissing, DirRef& child) {
    const std::string part = component(name, level);
    const size_t end = components[level].second;
    NodeKind kind = NodeKind::kMissing;
    if (int error = tree.lookup(dir, part, kind)) return report(name, "fstatat", end, error, MakeOutcome::kNoParent);
    if (kind == NodeKind::kMissing) {
        if (!makeMissing) return MakeOutcome::kNoParent;
        const int error = tree.makeDirectory(dir, part);
        if (error != 0 && error != EEXIST) return reportMkdir(name, end, error);
    } else if (kind == NodeKind::kSymlink) {
        return refuseThroughLink(name, shown(name, end));
    }
    // Entering never follows a link, so one that took the directory's place meanwhile is caught.
    const bool folder = kind == NodeKind::kDirectory || kind == NodeKind::kMissing;
    const int error = folder ? tree.enter(dir, part, child) : ENOTDIR;
    if (error == ELOOP) return refuseThroughLink(name, shown(name, end));
    // A walk that only looks (to a hard link's target) leaves the verdict to its caller.
    if (error == ENOTDIR && !makeMissing) return MakeOutcome::kNoParent;
    return error == 0 ? MakeOutcome::kOk : report(name, "open", end, error, MakeOutcome::kNoParent);
}

void CPathWalker::release(Parent& parent) {
    if (parent.transient) tree.leave(parent.dir);
    parent.transient = false;
}

std::string CPathWalker::component(const std::string& name, size_t level) const {
    const Span& span = components[level];
    return name.substr(span.first, span.second - span.first);
}

std::string CPathWalker::shown(const std::string& name, size_t end) const {
    return shownPrefix + name.substr(0, end);
}

MakeOutcome CPathWalker::report(const std::string& name, const char* call, size_t end, int error, MakeOutcome result) const {
    const std::string path = shown(name, end);
    brn::message("tar: %.*s: %s %s failed(%d,%s)\n", int(name.size()), name.data(), call, path.c_str(), error,
           strerror(error));
    return result;
}

MakeOutcome CPathWalker::refuseReplacing(const std::string& name, const char* what) const {
    const std::string path = shown(name, lastEnd());
    brn::message("tar: %.*s: refusing to replace %s, %s\n", int(name.size()), name.data(), path.c_str(), what);
    return MakeOutcome::kCreateFailed;
}

MakeOutcome CPathWalker::reportMkdir(const std::string& name, size_t end, int error) const {
    const std::string path = shown(name, end);
    brn::message("mkdir %s failed(%d,%s)\n", path.c_str(), error, strerror(error));
    return MakeOutcome::kFolderFailed;
}

size_t CPathWalker::lastEnd() const { return components.empty() ? 0 : components.back().second; }

}  // namespace brn
