#pragma once
// CReusingEntryMaker is the entry maker of an --atomic --link-unchanged run: it stages the new
// tree through a CDiskEntryMaker, but writes only what changed. For each regular-file entry it
// looks at the file at the same path in the old tree (DEST, reached only through its
// descriptor, no link followed, nothing opened before it is known to be a regular file). It
// is used only where linking gives exactly what writing gives: the entry's size, one link, no
// process holding it open for writing (a read lease tells; a second link is allowed where it is
// the kept tree's name of the file at the same path, install/KeptTree.h), and the owner, group, mode,
// extended attributes (ACLs, capabilities) and inode flags that a file made in the staged
// folder gets now (install/NewFileTraits.h asks the file system). It is then compared with the
// entry's data as it streams in, one of two ways:
//   by digests, where the old tree's index (install/TreeIndexReader.h) has a record of the path
//     whose identity (inode, size, mtime, ctime) is the file's now: each block's digest of the
//     incoming bytes (install/IndexingEntryMaker.h computes them) is compared with the record's,
//     and the old file is never read while they match. A file's first MiB is held in memory,
//     and past it only the bytes of the block not digested yet; at the first block that
//     differs, what was dropped of the matching start is copied from the old file, as below,
//     and what was held and the rest written;
//   by reading, anywhere else: nothing is written while the bytes match, and at the first that
//     differs the matching prefix is copied from the old file (copy_file_range, which shares
//     extents where the file system can) and the rest written.
// Every byte equal, and the old file still what was compared (its identity, no writer): the
// staged name becomes a hard link to it (no data written). Anything else is written as usual.
// Nothing of the old tree is ever changed: links only add names. After the swap the old
// tree's names go, and every reused file is back to one link, now in the new tree (or to
// as many as the package's hard links give it). The condition: nothing opens a file of DEST
// for writing while the run goes (replacing one by rename is fine, the file compared is the
// one linked). Empty files are made, not linked. Calling order as for any maker; one file at
// a time; blockDigested for each block of the file being made, before its bytes are written.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "brn/tar/DiskEntryMaker.h"
#include "fs/FileTraits.h"
#include "fs/UniqueFd.h"
#include "install/FolderCursor.h"
#include "install/NewFileTraits.h"
#include "install/TreeIndexReader.h"

namespace velk {

class CReusingEntryMaker : public brn::CEntryMaker {
public:
    // `staged` makes the new tree; `oldTree` is DEST's descriptor; `oldIndex` the old tree's
    // index, or null where it has none usable; `keptTree` the tree an earlier update kept
    // beside DEST (install/KeptTree.h), or -1 (all borrowed).
    CReusingEntryMaker(brn::CDiskEntryMaker& staged, int oldTree, CTreeIndexReader* oldIndex, int keptTree = -1);

    // The digest of block `block` of the incoming file, before its last bytes are written.
    void blockDigested(uint64_t block, const Digest& digest);

    void noteEntry(const brn::TAR_FILE_INFO_T& info) override;
    brn::MakeOutcome openFile(const std::string& name, uint32_t mode, int& handle) override;
    brn::MakeOutcome write(int handle, const char* data, size_t count) override;
    brn::MakeOutcome closeFile(int handle, const std::string& name) override;
    brn::MakeOutcome makeSymlink(const std::string& name, const std::string& target) override;
    brn::MakeOutcome makeHardLink(const std::string& name, const std::string& target) override;
    brn::MakeOutcome makeDirectory(const std::string& name, uint32_t mode) override;

    // Files linked to the old tree's so far.
    uint64_t linkedFiles() const { return linked; }

private:
    enum class Way {
        kWrite,    // written as usual
        kRead,     // compared by reading the old file
        kDigests,  // compared through the old index's digests
    };
    // The file being made, compared with `old` unless written.
    struct Current {
        std::string name;
        uint32_t mode = 0;
        Way way = Way::kWrite;
        CUniqueFd old;          // the old tree's file
        uint64_t matched = 0;   // kRead: bytes compared equal so far
        IndexRecord record;     // kDigests: the old file's record
        uint64_t sameBlocks = 0;
        bool differs = false;   // kDigests: a block's digest differs
        uint64_t heldFrom = 0;  // kDigests: the offset in the file of the first byte held
        int written = -1;       // the staged file's handle once it is written
    };

    bool findOld(const std::string& name, FileTraits& traits, struct stat& st);
    bool onlyNamesHereAndKept(const std::string& name, const struct stat& st);
    Way wayFor(const IndexRecord* record, const struct stat& st) const;
    brn::MakeOutcome holdOrWrite(const char* data, size_t count);
    void dropMatched();
    brn::MakeOutcome writeDiverged();
    brn::MakeOutcome closeCompared(const std::string& name);
    bool stillTheFileCompared() const;
    bool identityUnchanged() const;
    brn::MakeOutcome diverge(const char* data, size_t count, size_t same);
    brn::MakeOutcome copyPrefix(int to, uint64_t length);
    brn::MakeOutcome linkOld(const std::string& name);
    brn::MakeOutcome copyOld(const std::string& name, uint64_t length);
    size_t sameBytes(const char* data, size_t count);

    brn::CDiskEntryMaker& staged;
    CFolderCursor oldFolders;  // DEST's folders
    CFolderCursor keptFolders; // the kept tree's folders
    CTreeIndexReader* oldIndex;
    CNewFileTraits newFiles;  // what a file written into the staged tree gets
    uint32_t entrySize = 0; // from noteEntry: the size of the entry about to be opened
    Current current;
    std::vector<char> buffer;  // old bytes read for one comparison
    std::string pending;       // kDigests: incoming bytes not yet known equal, not written
    uint64_t linked = 0;
};

}  // namespace velk
