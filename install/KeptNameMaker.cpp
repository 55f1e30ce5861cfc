#include "install/KeptNameMaker.h"

#include <climits>

#include "brn/tar/SafePath.h"
#include "fs/Message.h"

namespace velk {

namespace {

// The handle of a dropped file: no descriptor the inner maker hands out comes near it.
constexpr int kDropped = INT_MAX;

}  // namespace

CKeptNameMaker::CKeptNameMaker(brn::CEntryMaker& innerMaker, std::string keptName)
    : inner(innerMaker), kept(std::move(keptName)) {
    keepBackslashes(inner.keepsBackslashes());  // names are read as the inner maker reads them
}

bool CKeptNameMaker::keeps(const std::string& name) const {
    if (!brn::sameEntryName(name, kept)) return false;
    brn::message("tar: %.*s: not made: the version file's own name, written when the install is complete\n",
                 int(name.size()), name.data());
    return true;
}

brn::MakeOutcome CKeptNameMaker::openFile(const std::string& name, uint32_t mode, int& handle) {
    if (!keeps(name)) return inner.openFile(name, mode, handle);
    handle = kDropped;
    return brn::MakeOutcome::kOk;
}

brn::MakeOutcome CKeptNameMaker::write(int handle, const char* data, size_t count) {
    return handle == kDropped ? brn::MakeOutcome::kOk : inner.write(handle, data, count);
}

brn::MakeOutcome CKeptNameMaker::closeFile(int handle, const std::string& name) {
    return handle == kDropped ? brn::MakeOutcome::kOk : inner.closeFile(handle, name);
}

brn::MakeOutcome CKeptNameMaker::makeSymlink(const std::string& name, const std::string& target) {
    return keeps(name) ? brn::MakeOutcome::kOk : inner.makeSymlink(name, target);
}

brn::MakeOutcome CKeptNameMaker::makeHardLink(const std::string& name, const std::string& target) {
    return keeps(name) ? brn::MakeOutcome::kOk : inner.makeHardLink(name, target);
}

}  // namespace velk
