#pragma once
// CReusingEntryMaker is the entry maker of an --atomic --link-unchanged run: it stages the new
// tree through a CDiskEntryMaker, but writes only what changed. For each regular-file entry it
// looks at the file at the same path in the old tree (DEST, reached only through its
// descriptor, no link followed, nothing opened before it is known to be a regular file). It
// is used only where linking gives exactly what writing gives: the entry's size, one link, no
// process holding it open for writing (a read lease tells), and the owner, group, mode,
// extended attributes (ACLs, capabilities) and inode flags that a file made in the staged
// folder gets now (install/NewFileTraits.h asks the file system). While the entry's data
// streams in it is compared with that file, and nothing is written while they match:
//   every byte matches: the staged name becomes a hard link to the old file (no data written),
//                       unless a writer opened it meanwhile: then its bytes are copied;
//   a byte differs:     the matching prefix is copied from the old file (copy_file_range, which
//                       shares extents where the file system can), and the rest written as usual;
//   anything else:      the entry is written as usual.
// Nothing of the old tree is ever changed: links only add names. After the swap the old
// tree's names go, and every reused file is back to one link, now in the new tree (or to
// as many as the package's hard links give it). The condition: nothing opens a file of DEST
// for writing while the run goes (replacing one by rename is fine, the file compared is the
// one linked). Empty files are made, not linked. Calling order as for any maker; one file at
// a time.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "brn/tar/DiskEntryMaker.h"
#include "fs/FileTraits.h"
#include "fs/UniqueFd.h"
#include "install/NewFileTraits.h"

namespace velk {

class CReusingEntryMaker : public brn::CEntryMaker {
public:
    // `staged` makes the new tree; `oldTree` is DEST's descriptor (both borrowed).
    CReusingEntryMaker(brn::CDiskEntryMaker& staged, int oldTree);

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
    // The file being made: compared with `old` while `comparing`, else written to `written`.
    struct Current {
        std::string name;
        uint32_t mode = 0;
        CUniqueFd old;          // the old tree's file, read with pread
        uint64_t matched = 0;   // bytes compared equal so far
        bool comparing = false;
        int written = -1;       // the staged file's handle once it is written
    };

    bool findOld(const std::string& name, FileTraits& traits);
    int oldFolder(const std::string& path);
    brn::MakeOutcome diverge(const char* data, size_t count, size_t same);
    brn::MakeOutcome copyPrefix(int to, uint64_t length);
    brn::MakeOutcome linkOld(const std::string& name);
    brn::MakeOutcome copyOld(const std::string& name, uint64_t length);
    size_t sameBytes(const char* data, size_t count);

    brn::CDiskEntryMaker& staged;
    int oldTree;
    CNewFileTraits newFiles;  // what a file written into the staged tree gets
    uint32_t entrySize = 0; // from noteEntry: the size of the entry about to be opened
    Current current;
    std::vector<std::pair<std::string, CUniqueFd>> held;  // the old tree's folders to the last one used
    std::vector<char> buffer;  // old bytes read for one comparison
    uint64_t linked = 0;
};

}  // namespace velk
