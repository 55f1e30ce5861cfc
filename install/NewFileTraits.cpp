#include "install/NewFileTraits.h"

#include <unistd.h>

#include "fs/FileModes.h"
#include "fs/UniqueFd.h"

namespace velk {

bool CNewFileTraits::sameFolder(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
           a.st_gid == b.st_gid;
}

CNewFileTraits::Answer CNewFileTraits::ask(int folder, const struct stat& seen, uint32_t mode) const {
    Answer answer{seen, mode, false, FileTraits()};
    CUniqueFd probe(maker.makeUnnamedFile(folder, mode));
    struct stat st;
    if (probe.get() < 0 || fstat(probe.get(), &st) != 0) return answer;
    answer.known = readFileTraits(probe.get(), st, answer.traits) == 0;
    return answer;
}

brn::MakeOutcome CNewFileTraits::find(const std::string& name, uint32_t mode, const FileTraits*& traits) {
    traits = nullptr;
    mode &= kGrantedModeBits;
    return maker.visitFileFolder(name, [&](int folder) {
        struct stat seen;
        if (fstat(folder, &seen) != 0) return;
        auto kept = answers.begin();
        while (kept != answers.end() && !(kept->mode == mode && sameFolder(kept->folder, seen))) ++kept;
        if (kept == answers.end()) {
            answers.push_front(ask(folder, seen, mode));
            if (answers.size() > kKept) answers.pop_back();
            kept = answers.begin();
        }
        if (kept->known) traits = &kept->traits;
    });
}

}  // namespace velk
