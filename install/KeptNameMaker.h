#pragma once
// CKeptNameMaker hands every entry on to another maker, except an entry at the one name it
// keeps. An in-place run keeps the version file when it lies inside DEST: it is the program's
// own state, written when the install is committed, so an entry of the package at that name is
// not made there. A file's data is read and dropped, a link is not made, and the run goes on:
// one that fails later leaves the version file as it was, and one that succeeds writes the
// version at that name, as an --atomic run writes it over the staged entry. A folder entry at
// the name meets the file there and is refused by the maker, as before. Calling order as for
// any maker; it borrows the maker it hands on to, which must outlive it.

#include <string>

#include "brn/tar/EntryMaker.h"

namespace velk {

class CKeptNameMaker : public brn::CEntryMaker {
public:
    // `kept` is the name below the maker's root ("state/version"), spelled in any way.
    CKeptNameMaker(brn::CEntryMaker& inner, std::string kept);

    void noteEntry(const brn::TAR_FILE_INFO_T& info) override { inner.noteEntry(info); }
    brn::MakeOutcome openFile(const std::string& name, uint32_t mode, int& handle) override;
    brn::MakeOutcome write(int handle, const char* data, size_t count) override;
    brn::MakeOutcome closeFile(int handle, const std::string& name) override;
    brn::MakeOutcome makeSymlink(const std::string& name, const std::string& target) override;
    brn::MakeOutcome makeHardLink(const std::string& name, const std::string& target) override;
    brn::MakeOutcome makeDirectory(const std::string& name, uint32_t mode) override {
        return inner.makeDirectory(name, mode);
    }

private:
    // True, with a line saying so, when `name` is the kept one.
    bool keeps(const std::string& name) const;

    brn::CEntryMaker& inner;
    std::string kept;
};

}  // namespace velk
