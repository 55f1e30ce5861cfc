#pragma once
// CIndexingEntryMaker records the tree an install makes for its index (install/TreeIndexWriter.h)
// while another maker makes it: every entry goes on to `inner` unchanged, and once it is made
// its record goes to the index: a file's keyed block digests as its bytes stream through
// (install/BlockDigester.h), and what it was once closed; folders, links and hard links by name.
// A maker that reuses old files (install/ReusingEntryMaker.h) sees each block's digest as it
// completes, before the bytes that complete it reach it, so it needs no digests of its own.
// Calling order as for any maker; the makers and the index are borrowed.

#include <cstdint>
#include <string>

#include "brn/tar/DiskEntryMaker.h"
#include "install/BlockDigester.h"
#include "install/TreeIndexWriter.h"

namespace velk {

class CIndexingEntryMaker : public brn::CEntryMaker {
public:
    // `inner` makes the entries in the tree `disk` makes on disk (the same maker, or one that
    // reuses files through it); the digests are keyed with the index's key as it is now.
    CIndexingEntryMaker(brn::CEntryMaker& inner, brn::CDiskEntryMaker& disk, CTreeIndexWriter& index);
    // Called with each block's digest as it completes.
    void watchBlocks(CBlockDigester::Sink watcher) { watch = std::move(watcher); }

    void noteEntry(const brn::TAR_FILE_INFO_T& info) override;
    brn::MakeOutcome openFile(const std::string& name, uint32_t mode, int& handle) override;
    brn::MakeOutcome write(int handle, const char* data, size_t count) override;
    brn::MakeOutcome closeFile(int handle, const std::string& name) override;
    brn::MakeOutcome makeSymlink(const std::string& name, const std::string& target) override;
    brn::MakeOutcome makeHardLink(const std::string& name, const std::string& target) override;
    brn::MakeOutcome makeDirectory(const std::string& name, uint32_t mode) override;

private:
    void recordClosed(const std::string& name);

    brn::CEntryMaker& inner;
    brn::CDiskEntryMaker& disk;
    CTreeIndexWriter& index;
    CBlockDigester digester;
    CBlockDigester::Sink watch;
    uint64_t entrySize = 0;  // from noteEntry
};

}  // namespace velk
