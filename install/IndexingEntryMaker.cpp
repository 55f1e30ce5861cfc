#include "install/IndexingEntryMaker.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "install/FolderCursor.h"

namespace velk {

CIndexingEntryMaker::CIndexingEntryMaker(brn::CEntryMaker& innerMaker, brn::CDiskEntryMaker& diskMaker,
                                         CTreeIndexWriter& writer)
    : inner(innerMaker), disk(diskMaker), index(writer),
      digester(writer.digestKey(), [this](uint64_t block, const Digest& digest) {
          index.addDigest(digest);
          if (watch) watch(block, digest);
      }) {
    keepBackslashes(inner.keepsBackslashes());  // names are read as the maker underneath reads them
}

void CIndexingEntryMaker::noteEntry(const brn::TAR_FILE_INFO_T& info) {
    entrySize = info.size;
    inner.noteEntry(info);
}

brn::MakeOutcome CIndexingEntryMaker::openFile(const std::string& name, uint32_t mode, int& handle) {
    const brn::MakeOutcome opened = inner.openFile(name, mode, handle);
    if (opened != brn::MakeOutcome::kOk) return opened;
    digester.start();
    index.startFile(treePath(name), entrySize);
    return opened;
}

brn::MakeOutcome CIndexingEntryMaker::write(int handle, const char* data, size_t count) {
    digester.update(data, count);
    return inner.write(handle, data, count);
}

brn::MakeOutcome CIndexingEntryMaker::closeFile(int handle, const std::string& name) {
    digester.finish();
    const brn::MakeOutcome closed = inner.closeFile(handle, name);
    if (closed == brn::MakeOutcome::kOk) recordClosed(name);
    return closed;
}

// What the file is right after it was made, looked up as the entry's name is (no link followed).
// One that cannot be looked at gets no identity, so its record is left out of the index.
void CIndexingEntryMaker::recordClosed(const std::string& name) {
    const std::string path = treePath(name);
    const std::string leaf = path.substr(path.find_last_of('/') + 1);
    struct stat st {};
    bool seen = false;
    (void)disk.visitFileFolder(name, [&](int folder) {
        seen = fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    });
    if (!seen) st = {};
    index.endFile(st);
}

brn::MakeOutcome CIndexingEntryMaker::makeSymlink(const std::string& name, const std::string& target) {
    const brn::MakeOutcome made = inner.makeSymlink(name, target);
    if (made == brn::MakeOutcome::kOk) index.addEntry(IndexKind::kSymlink, treePath(name), target);
    return made;
}

brn::MakeOutcome CIndexingEntryMaker::makeHardLink(const std::string& name, const std::string& target) {
    const brn::MakeOutcome made = inner.makeHardLink(name, target);
    if (made == brn::MakeOutcome::kOk) index.addEntry(IndexKind::kHardLink, treePath(name), treePath(target));
    return made;
}

brn::MakeOutcome CIndexingEntryMaker::makeDirectory(const std::string& name, uint32_t mode) {
    const brn::MakeOutcome made = inner.makeDirectory(name, mode);
    const std::string path = treePath(name);
    if (made == brn::MakeOutcome::kOk && !path.empty()) index.addEntry(IndexKind::kFolder, path);
    return made;
}

}  // namespace velk
