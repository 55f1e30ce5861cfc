#pragma once
// A mount namespace of the test process's own, for tests that need a small or read-only file
// system, a mount point or a bind mount: the process leaves the machine's namespace (and
// makes every mount in its copy private), so nothing it mounts is seen elsewhere, and the
// programs it starts see what it sees. Mounts made through the object are detached again,
// latest first, by unmountAll() or on destruction, so the test's folders can be removed.
// Needs root (CAP_SYS_ADMIN); entered() says whether the namespace could be made.

#include <string>
#include <vector>

namespace velktest {

class PrivateMounts {
public:
    PrivateMounts();
    ~PrivateMounts();
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;

    bool entered() const { return ok; }
    // Why the last call failed: the call and errno's text.
    const std::string& problem() const { return why; }

    // A tmpfs at `target` with `options` ("size=64k").
    bool mountTmpfs(const std::string& target, const std::string& options);
    // `source` mounted again at `target` (a folder may be bound onto itself).
    bool bind(const std::string& source, const std::string& target);
    // Changes the options of the tmpfs at `target` ("size=2m").
    bool remount(const std::string& target, const std::string& options);
    void unmountAll();

private:
    bool fail(const std::string& call);

    bool ok = false;
    std::string why;
    std::vector<std::string> targets;  // in the order mounted
};

}  // namespace velktest
