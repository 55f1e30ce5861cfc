#pragma once
// MakeOutcome is what an entry maker (brn/tar/EntryMaker.h) and the path walker under it
// (brn/tar/PathWalker.h) give for one request: one value per cause, so the tar reader maps
// each to its own failure without ambiguity (brn/tar/TarReader.cpp, fromMaker). Where a
// message is printed for a cause, it is printed where the fault is found.

namespace brn {

enum class MakeOutcome : int {
    kOk = 0,
    kDotDot,        // a component of the name is ".." (message printed)
    kThroughLink,   // a directory on the way is a symbolic link (message printed)
    kNoParent,      // a directory on the way is missing or not a directory
    kFolderFailed,  // a missing directory on the way could not be made (message printed)
    kCreateFailed,  // the entry itself could not be made, opened or cleared for (message printed)
    kNamesRoot,     // the name is the root itself, not an entry in it (message printed)
    kNotMadeHere,   // a hard link's target is no regular file this run made (message printed)
    kWriteFailed,   // the data could not be written (message printed)
    kCloseFailed,   // the file could not be closed or given its mode (message printed)
    kBadHandle,     // the handle was not handed out by this maker, or is closed
    kNotLinked,     // linkFile: the given file cannot be linked here; the name is left free
};

}  // namespace brn
