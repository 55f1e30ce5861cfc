#include "install/KeptTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "fs/FileModes.h"
#include "fs/FileReplacement.h"
#include "fs/FolderBelow.h"
#include "fs/HelperName.h"
#include "fs/Leftovers.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kOthersBits = 077;
constexpr size_t kMaxRecord = 256 * 1024;  // two versions of a package's PLVS, hex
constexpr const char* kVersionsName = "versions";
constexpr const char* kRollbackName = "rollback";
constexpr const char* kRecordHead = "velk-kept 1";
constexpr const char* kTemporarySuffix = ".velk-new";

bool ownedByOneOf(const struct stat& st, const std::vector<uid_t>& owners) {
    return std::find(owners.begin(), owners.end(), st.st_uid) != owners.end();
}

std::string toHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

bool fromHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    bytes.clear();
    for (size_t at = 0; at < hex.size(); at += 2) bytes += char(std::stoi(hex.substr(at, 2), nullptr, 16));
    return true;
}

// A small private file of the unit, whole: a regular file nobody else may write.
bool readPrivateFile(int folder, const char* leaf, const std::vector<uid_t>& owners, std::string& text) {
    CUniqueFd file(openat(folder, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (!ownedByOneOf(st, owners) || (st.st_mode & 022) != 0 || uint64_t(st.st_size) > kMaxRecord) return false;
    text.assign(size_t(st.st_size), '\0');
    return pread(file.get(), &text[0], text.size(), 0) == ssize_t(text.size());
}

// Replaces `leaf` in `folder` with `text`, durably (fs/FileReplacement.h). 0 or errno.
int writePrivateFile(int folder, const char* leaf, const std::string& text, const Ownership& owner) {
    CFileReplacement file;
    file.giveOwnership(owner);
    const std::string temporary = unpredictableName(leaf, kTemporarySuffix);
    if (temporary.empty()) return EAGAIN;
    int error = file.begin(folder, leaf, temporary, kPrivateFile);
    if (error == 0) error = file.write(text.data(), text.size());
    if (error == 0) error = file.seal();
    if (error == 0) error = file.commit();
    return error;
}

std::string recordOf(const std::vector<KeptVersion>& kept) {
    std::string record = std::string(kRecordHead) + "\n";
    for (const KeptVersion& version : kept) record += std::to_string(version.folder) + " " + toHex(version.text) + "\n";
    return record;
}

int say(const std::string& what, int error) {
    brn::message("keep previous: %s(%d,%s)\n", what.c_str(), error, strerror(error));
    return error;
}

}  // namespace

KeptOpen CKeptTree::open(int parent, const std::string& name, const std::vector<uid_t>& owners) {
    const KeptOpen opened = openUnit(parent, name, owners);
    if (opened != KeptOpen::kOpen) {
        unitFd.reset();
        treeFd.reset();
    }
    return opened;
}

KeptOpen CKeptTree::openUnit(int parent, const std::string& name, const std::vector<uid_t>& owners) {
    const std::string fixed = helperName(name, kSuffix);
    struct stat st;
    if (fstatat(parent, fixed.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? KeptOpen::kMissing : KeptOpen::kForeign;
    }
    if (!S_ISDIR(st.st_mode) || !ownedByOneOf(st, owners) || (st.st_mode & kOthersBits) != 0) return KeptOpen::kForeign;
    unitFd.reset(openSubfolder(parent, fixed));
    struct stat opened;
    if (unitFd.get() < 0 || fstat(unitFd.get(), &opened) != 0 || opened.st_ino != st.st_ino) return KeptOpen::kForeign;
    unitSt = opened;
    if (!readVersions()) return KeptOpen::kDamaged;
    // No tree yet: an update was stopped between making the unit and moving the old tree in.
    treeFd.reset(openSubfolder(unitFd.get(), kTreeName));
    if (treeFd.get() < 0) return errno == ENOENT ? KeptOpen::kOpen : KeptOpen::kDamaged;
    if (fstat(treeFd.get(), &treeSt) != 0) return KeptOpen::kDamaged;
    if (treeSt.st_dev != st.st_dev || !ownedByOneOf(treeSt, owners)) return KeptOpen::kForeign;
    return KeptOpen::kOpen;
}

bool CKeptTree::readVersions() {
    std::string record;
    if (!readPrivateFile(unitFd.get(), kVersionsName, {unitSt.st_uid}, record)) return false;
    std::istringstream lines(record);
    std::string line;
    if (!std::getline(lines, line) || line != kRecordHead) return false;
    versions.clear();
    while (std::getline(lines, line)) {
        const size_t blank = line.find(' ');
        KeptVersion version;
        if (blank == std::string::npos || !fromHex(line.substr(blank + 1), version.text)) return false;
        version.folder = ino_t(std::strtoull(line.substr(0, blank).c_str(), nullptr, 10));
        versions.push_back(version);
    }
    return versions.size() >= 2;
}

int CKeptTree::rewriteVersions(const std::vector<KeptVersion>& kept, const Ownership& owner) const {
    return writePrivateFile(unitFd.get(), kVersionsName, recordOf(kept), owner);
}

bool CKeptTree::adoptTree(int parent, const std::string& name, const struct stat& dest,
                          const std::string& stagingSuffix, const std::vector<uid_t>& owners) {
    if (unitFd.get() < 0 || treeFd.get() >= 0) return treeFd.get() >= 0;
    CUniqueFd listed(openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirHandle stream(listed.get() < 0 ? nullptr : fdopendir(listed.get()), &closedir);
    if (!stream) return false;
    listed.release();
    std::string text;
    while (const dirent* entry = readdir(stream.get())) {
        struct stat st;
        if (!isHelperName(entry->d_name, name, stagingSuffix)) continue;
        if (fstatat(parent, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (!ownedByOneOf(st, owners) || st.st_ino == dest.st_ino || !versionOf(st, text)) continue;
        return takeTree(parent, entry->d_name);
    }
    return false;
}

// Moves the folder `leaf` of `parent` into the unit as its tree, durably.
bool CKeptTree::takeTree(int parent, const std::string& leaf) {
    if (renameat(parent, leaf.c_str(), unitFd.get(), kTreeName) != 0) return false;
    if (fsync(unitFd.get()) != 0 || fsync(parent) != 0) return false;
    treeFd.reset(openSubfolder(unitFd.get(), kTreeName));
    return treeFd.get() >= 0 && fstat(treeFd.get(), &treeSt) == 0;
}

bool CKeptTree::versionOf(const struct stat& folder, std::string& text) const {
    if (folder.st_dev != unitSt.st_dev) return false;
    for (const KeptVersion& version : versions) {
        if (version.folder != folder.st_ino) continue;
        text = version.text;
        return true;
    }
    return false;
}

bool CKeptTree::pendingRollback(ino_t& target) const {
    std::string text;
    if (!readPrivateFile(unitFd.get(), kRollbackName, {unitSt.st_uid}, text)) return false;
    target = ino_t(std::strtoull(text.c_str(), nullptr, 10));
    return true;
}

int CKeptTree::markRollback(ino_t target, const Ownership& owner) const {
    return writePrivateFile(unitFd.get(), kRollbackName, std::to_string(target) + "\n", owner);
}

int CKeptTree::clearRollback() const {
    if (unlinkat(unitFd.get(), kRollbackName, 0) != 0 && errno != ENOENT) return errno;
    return fsync(unitFd.get()) == 0 ? 0 : errno;
}

std::string CKeptTree::makeUnit(int parent, const std::string& name, const std::string& shownParent,
                                const Ownership& owner, const std::vector<KeptVersion>& kept, CUniqueFd& unitFolder) {
    const std::string made = unpredictableName(name, kUnitSuffix);
    if (made.empty() || mkdirat(parent, made.c_str(), kPrivateFolder) != 0) {
        say("cannot make " + shownParent + "/" + made, made.empty() ? EAGAIN : errno);
        return std::string();
    }
    unitFolder.reset(openSubfolder(parent, made));
    int error = unitFolder.get() < 0 ? errno : 0;
    if (error == 0 && owner.given && fchown(unitFolder.get(), owner.user, owner.group) != 0) error = errno;
    if (error == 0) error = writePrivateFile(unitFolder.get(), kVersionsName, recordOf(kept), owner);
    if (error == 0) return made;
    say("cannot write " + shownParent + "/" + made + "/" + kVersionsName, error);
    unitFolder.reset();
    (void)removeBeside(parent, made, shownParent + "/" + made);
    return std::string();
}

int CKeptTree::install(int parent, const std::string& name, const std::string& made, bool& replacedOne) {
    const std::string fixed = helperName(name, kSuffix);
    replacedOne = false;
    if (renameat2(parent, made.c_str(), parent, fixed.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EEXIST) return errno;
    if (renameat2(parent, made.c_str(), parent, fixed.c_str(), RENAME_EXCHANGE) != 0) return errno;
    replacedOne = true;
    return 0;
}

int CKeptTree::uninstall(int parent, const std::string& name, const std::string& made, bool replacedOne) {
    const std::string fixed = helperName(name, kSuffix);
    if (replacedOne) return renameat2(parent, made.c_str(), parent, fixed.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
    return renameat2(parent, fixed.c_str(), parent, made.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

int CKeptTree::remove(int parent, const std::string& name, const std::string& shownParent,
                      const std::vector<uid_t>& owners) {
    const std::string fixed = helperName(name, kSuffix);
    struct stat st;
    if (fstatat(parent, fixed.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !ownedByOneOf(st, owners)) return 0;
    const std::string away = unpredictableName(name, kUnitSuffix);
    if (away.empty()) return say("cannot remove " + shownParent + "/" + fixed, EAGAIN);
    if (renameat2(parent, fixed.c_str(), parent, away.c_str(), RENAME_NOREPLACE) != 0) {
        return say("cannot remove " + shownParent + "/" + fixed, errno);
    }
    return removeBeside(parent, away, shownParent + "/" + away);
}

}  // namespace velk
