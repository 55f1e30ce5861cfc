// One tree, whatever the options: every option gives the tree the plain run of its kind gives
// from the same package in the same environment, in every attribute the README's contract
// lists (kind, bytes, link target, mode, owner and group, ACLs, extended attributes, inode
// flags, link count, which names share an inode), as tests/support/tree_snapshot.py records
// them. A new option gets one line in kLines. A tree swapped back by --rollback is the tree the
// run made; only its link counts differ where it shares files with the kept tree.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <regex>

#include "tests/support/HttpServer.h"
#include "tests/support/Scene.h"

using namespace velktest;

namespace {

// What other processes do to the old tree around a run.
enum class Neighbour {
    kNone,
    kWriter,      // the test holds dest/README open for writing, and writes through it after the run
    kFifoWaiter,  // a FIFO at dest/lib/plain.so, a process blocked opening it for writing
};

struct Environment {
    const char* name;
    bool needsRoot;      // another group, another user or root-only attributes: skipped when not root
    bool emulatedToo;    // runs under qemu too (setpriv and root-only attributes do not)
    bool asNobody;       // every run as the user nobody, in nobody's parent folder
    const char* parent;  // shell commands in the parent folder before the old tree is installed
    const char* after;   // shell commands in the parent folder once it is
    Neighbour neighbour;
};

const Environment kEnvironments[] = {
    {"a plain folder", false, true, false, "", "", Neighbour::kNone},
    {"a set-group-ID parent", true, true, false, "", "chgrp nogroup . && chmod g+s .", Neighbour::kNone},
    {"a parent with a default ACL", false, true, false, "", "setfacl -d -m u:nobody:rwx .", Neighbour::kNone},
    {"old files with extended attributes, a capability, an ACL and an inode flag", true, false, false, "",
     "setfattr -n user.note -v kept dest/README && setfattr -n trusted.note -v kept dest/lib/plain.so &&"
     " setcap cap_setuid,cap_net_raw=ep dest/bin/tool && setfacl -m u:nobody:r dest/etc/conf &&"
     " chattr +d dest/etc/secret",
     Neighbour::kNone},
    {"root in a service user's tree, one old file root's", true, true, false,
     "chown nobody . && mkdir dest && chown nobody dest", "chown root dest/README", Neighbour::kNone},
    {"a service user on their own tree", true, false, true, "chown nobody .",
     "setfattr -n user.note -v kept dest/README && setfacl -m u:root:r dest/etc/conf", Neighbour::kNone},
    {"an old file held open for writing", false, true, false, "", "", Neighbour::kWriter},
    {"a FIFO at an old file's path", false, true, false, "", "rm dest/lib/plain.so && mkfifo dest/lib/plain.so",
     Neighbour::kFifoWaiter},
};

// Options with "{}" for the package ("{url}{}": its URL on the test's HTTP server), and the
// plain run of the same kind they must agree with; the old tree is installed by that plain run,
// which leaves its index beside it: --link-unchanged compares the old files through it (those
// the environment changed since by reading them), or, on the lines without it, every file by
// reading it.
struct Line {
    const char* reference;
    const char* options;
    bool withoutIndex;         // the old tree's index removed before the run
    int rollbacks = 0;         // --rollback runs after it: twice is back at the tree it made
    bool sharesWithKept = false;  // link counts aside: the files it shares with the kept tree
};

const Line kLines[] = {
    {"{}", "- < {}", false},
    {"{}", "--keep-backslashes {}", false},
    {"{}", "--pubkey k.pub {}", false},
    {"-p {}", "-p - < {}", false},
    {"--atomic {}", "--atomic --link-unchanged {}", false},
    {"--atomic {}", "--atomic --link-unchanged {}", true},
    {"--atomic {}", "--atomic --link-unchanged - < {}", false},
    {"--atomic {}", "--atomic --link-unchanged --pubkey k.pub --progress-fd 1 {}", false},
    {"--atomic -p {}", "--atomic -p --link-unchanged {}", false},
    {"--atomic -p {}", "--atomic -p --link-unchanged {}", true},
    {"--atomic -p {}", "--atomic -p --link-unchanged --keep-backslashes - < {}", false},
    {"--atomic {}", "--atomic --pubkey k.pub --timeout 5 --retries 2 {url}{}", false},
    {"--atomic -p {}", "--atomic -p --link-unchanged {url}{}", false},
    {"--atomic {}", "--atomic --keep-previous {}", false},
    {"--atomic {}", "--atomic --keep-previous {}", false, 2},
    {"--atomic -p {}", "--atomic -p --keep-previous --link-unchanged {}", false, 2, true},
};

std::string withPackage(std::string options, const std::string& package) {
    for (size_t at = options.find("{}"); at != std::string::npos; at = options.find("{}", at)) {
        options.replace(at, 2, package);
    }
    return options;
}

// The neighbours of one run; whatever still runs is ended with the object.
class Neighbours {
public:
    Neighbours(const Scene& scene, Neighbour kind) : s(scene) {
        if (kind == Neighbour::kWriter) writer = open((s / "p/dest/README").c_str(), O_WRONLY | O_CLOEXEC);
        if (kind == Neighbour::kFifoWaiter) startWaiter();
    }
    ~Neighbours() {
        if (writer >= 0) close(writer);
        if (waiter > 0) {
            kill(waiter, SIGKILL);
            await(waiter, waiting);
        }
    }
    Neighbours(const Neighbours&) = delete;
    Neighbours& operator=(const Neighbours&) = delete;

    // After the run: the held file written through, and what became of the FIFO's writer.
    std::string after() const {
        if (writer >= 0 && pwrite(writer, "intruder", 8, 0) != 8) return "the held file cannot be written\n";
        return waiter > 0 ? std::string("FIFO writer ") + (blocked() ? "waiting\n" : "released\n") : "";
    }

private:
    void startWaiter() {
        waiting.argv = {"sh", "-c", "exec 3> p/dest/lib/plain.so"};
        waiting.workDir = s.path();
        waiter = launch(waiting);
        EXPECT_TRUE(waitUntil([this] { return blocked(); })) << "the FIFO's writer never waited";
    }
    // Blocked opening the FIFO, waiting for a reader to come.
    bool blocked() const { return readFile("/proc/" + std::to_string(waiter) + "/wchan") == "wait_for_partner"; }

    const Scene& s;
    int writer = -1;
    pid_t waiter = -1;
    Launch waiting;
};

class InstalledTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("chmod 755 . && mkdir -p v1/bin v1/etc v1/lib v1/share/doc v1/empty v1/private &&"
             " printf 'read me\\n' > v1/README && printf '#!/bin/sh\\necho hi\\n' > v1/bin/tool &&"
             " ln -s ../README v1/bin/readme && printf 'a=1\\n' > v1/etc/conf && printf s > v1/etc/secret &&"
             " : > v1/etc/empty.conf && printf 'private\\n' > v1/private/key");
        writeFile(s / "v1/lib/plain.so", seededBytes(30000, 1));
        writeFile(s / "v1/lib/same.so", seededBytes(20000, 2));
        writeFile(s / "v1/lib/changing", seededBytes(40000, 3));
        writeFile(s / "v1/share/doc/gone", seededBytes(100, 4));
        s.sh("ln v1/lib/same.so v1/lib/twin.so && chmod 755 v1/bin/tool && chmod 640 v1/etc/conf &&"
             " chmod 600 v1/etc/secret v1/private/key && chmod 750 v1/private &&"
             " cp -a v1 v2 && rm v2/share/doc/gone && printf new > v2/share/doc/added");
        std::string changed = readFile(s / "v2/lib/changing");
        changed[20000] = char(changed[20000] ^ 0x55);
        writeFile(s / "v2/lib/changing", changed);
        const std::string minisign = quote(VELK_MINISIGN);
        s.sh(minisign + " -G -W -p k.pub -s k.sec > /dev/null");
        for (const char* version : {"v1", "v2"}) {
            const std::string package = std::string(version) + ".velk";
            s.pack(version, package, version);
            s.sh(minisign + " -S -s k.sec -m " + package + " > /dev/null");
        }
    }

    // velk-unpack with `options` (their package filled in) into p/dest, as the environment's user.
    int unpack(const Environment& where, const std::string& options, const std::string& package) const {
        const std::string user = where.asNobody ? commandLine(asNobody({})) + " " : "";
        std::string served = options;
        if (const size_t at = served.find("{url}"); at != std::string::npos) served.replace(at, 5, server->url(""));
        return shellStatus(s.cd() + user + VELK_UNPACK + " " + withPackage(served, package) +
                           " p/dest p/version > log 2>&1");
    }

    // The old tree installed by `reference` in a fresh parent folder p, the environment made
    // around it, `options` run with `package`: the snapshot of p/dest and what the neighbours saw.
    std::string installed(const Environment& where, const std::string& reference, const std::string& options,
                          const std::string& package, bool withoutIndex = false, int rollbacks = 0) const {
        s.sh("rm -rf p && mkdir p && cd p && true " + std::string(*where.parent ? "&& " : "") + where.parent);
        EXPECT_EQ(unpack(where, reference, "v1.velk"), 0) << s.log();
        if (*where.after) s.sh("cd p && " + std::string(where.after));
        if (withoutIndex) s.sh("rm p/.dest.velk-index");
        Neighbours neighbours(s, where.neighbour);
        const int status = unpack(where, options, package);
        EXPECT_EQ(status, 0) << where.name << ": " << withPackage(options, package) << "\n" << s.log();
        for (int rollback = 0; rollback < rollbacks; ++rollback) {
            EXPECT_EQ(unpack(where, "--rollback", ""), 0) << where.name << ": --rollback\n" << s.log();
        }
        const std::string seen = neighbours.after();  // the held file written through before the snapshot
        return shell(quote(python()) + " " + quote(scriptDir() + "/tree_snapshot.py") + " " + quote(s / "p/dest")) +
               seen;
    }

    Scene s;
    std::unique_ptr<HttpServer> server = std::make_unique<HttpServer>(s.path());  // serves the packages
};

// Every package, under every environment, with every line: the snapshot equals the plain run's.
TEST_F(InstalledTreeTest, EveryOptionGivesThePlainTree) {
    for (const Environment& where : kEnvironments) {
        if (where.needsRoot && geteuid() != 0) continue;
        if (kEmulated && !where.emulatedToo) continue;
        for (const char* package : {"v1.velk", "v2.velk"}) {
            std::map<std::string, std::string> plain;  // by reference line
            for (const Line& line : kLines) {
                if (kEmulated && std::string(line.options).find("{url}") != std::string::npos) continue;  // see UrlSourceTest
                std::string& expected = plain[line.reference];
                if (expected.empty()) expected = installed(where, line.reference, line.reference, package);
                std::string got = installed(where, line.reference, line.options, package, line.withoutIndex,
                                            line.rollbacks);
                if (line.sharesWithKept) got = std::regex_replace(got, std::regex(" links=[0-9]+"), "");
                const std::string want =
                    line.sharesWithKept ? std::regex_replace(expected, std::regex(" links=[0-9]+"), "") : expected;
                EXPECT_EQ(got, want)
                    << where.name << ": " << withPackage(line.options, package) << " against "
                    << withPackage(line.reference, package) << (line.withoutIndex ? ", without the index" : "");
            }
        }
    }
}

}  // namespace
