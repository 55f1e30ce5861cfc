#include "tests/support/PrivateMounts.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace velktest {

PrivateMounts::PrivateMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        fail("unshare");
    } else if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail("making / private");
    } else {
        ok = true;
    }
}

PrivateMounts::~PrivateMounts() { unmountAll(); }

bool PrivateMounts::fail(const std::string& call) {
    why = call + ": " + strerror(errno);
    return false;
}

bool PrivateMounts::mountTmpfs(const std::string& target, const std::string& options) {
    if (mount("tmpfs", target.c_str(), "tmpfs", 0, options.c_str()) != 0) return fail("mount tmpfs on " + target);
    targets.push_back(target);
    return true;
}

bool PrivateMounts::bind(const std::string& source, const std::string& target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return fail("bind mount on " + target);
    targets.push_back(target);
    return true;
}

bool PrivateMounts::remount(const std::string& target, const std::string& options) {
    if (mount(nullptr, target.c_str(), nullptr, MS_REMOUNT, options.c_str()) != 0) return fail("remount " + target);
    return true;
}

void PrivateMounts::unmountAll() {
    for (auto at = targets.rbegin(); at != targets.rend(); ++at) umount2(at->c_str(), MNT_DETACH);
    targets.clear();
}

}  // namespace velktest
