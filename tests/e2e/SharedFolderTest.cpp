// Updaters run as root, and sometimes as a service user, beside folders that others can write.
// A link another user planted in a shared folder is never followed to DEST or the version file;
// the lock is one that only updaters can take, the same for every run, and nothing planted at its
// name holds a run; mount points below DEST are found, with /proc or without; DEST's own folder
// keeps its mode, owner and ACL through an --atomic install; and a staging folder never outlives
// its run.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <sstream>

#include "tests/support/PrivateMounts.h"
#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

// A sysctl set for the test and put back after it; ok() tells whether it could be set.
class Sysctl {
public:
    Sysctl(const std::string& name, const std::string& value) : path("/proc/sys/" + name) {
        saved = exists(path) ? readFile(path).substr(0, readFile(path).find('\n')) : "";
        set = !saved.empty() && shellStatus("echo " + value + " 2>/dev/null > " + path) == 0;
    }
    ~Sysctl() {
        if (set) (void)shellStatus("echo " + saved + " > " + path);
    }
    bool ok() const { return set; }

private:
    std::string path, saved;
    bool set = false;
};

class SharedFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The test folder is searchable by nobody; "shared" is a sticky folder anyone may write.
        s.sh("chmod 755 . && mkdir -p tree/etc shared site victim && chmod 1777 shared && printf 'a=1\\n' >"
             " tree/etc/a.conf && printf secret > victim/file && chmod 700 victim && printf keep > victim.version"
             " && chmod 600 victim.version && printf old > version");
        s.pack("tree", "p.velk");
        s.sh("chmod 644 p.velk");
        newTree = describeTree(s / "tree");
    }
    std::string victims() const { return describeTree(s / "victim") + readFile(s / "victim.version"); }

    Launch unpack(const std::vector<std::string>& args, bool nobody = false) const {
        return s.unpacking(args, nobody ? asNobody({}) : std::vector<std::string>{});
    }
    Outcome run(const std::vector<std::string>& args, bool nobody = false) const {
        return velktest::run(unpack(args, nobody));
    }

    Scene s;
    std::string newTree;
};

// nobody plants shared/app -> a folder only root may enter, and shared/app.version -> a file
// only root may read. Root's run neither empties the one nor overwrites the other, whatever
// fs.protected_symlinks says; a link of the folder's owner (root) is an operator's and is followed.
TEST_F(SharedFolderTest, LinksPlantedInAStickyFolderAreNeverFollowed) {
    if (kEmulated) GTEST_SKIP() << "setpriv would start the emulator";
    s.sh(commandLine(asNobody({"ln", "-s", s / "victim", s / "shared/app"})) + " && " +
         commandLine(asNobody({"ln", "-s", s / "victim.version", s / "shared/app.version"})));
    const std::string before = victims();
    for (const char* protect : {"0", "1"}) {
        Sysctl setting("fs/protected_symlinks", protect);
        SCOPED_TRACE(std::string("fs.protected_symlinks ") + (setting.ok() ? protect : "as it is"));
        Outcome out = run({"p.velk", "shared/app", "version"});
        EXPECT_EQ(out.status, kIncomplete) << out.all();
        EXPECT_NE(out.all().find("refusing to follow the symbolic link " + s / "shared/app"), std::string::npos)
            << out.all();
        out = run({"p.velk", "site/dest", "shared/app.version"});
        EXPECT_EQ(out.status, kVersionFailed) << out.all();
        EXPECT_NE(out.all().find("refusing to follow the symbolic link " + s / "shared/app.version"),
                  std::string::npos) << out.all();
        EXPECT_FALSE(exists(s / "site/dest"));
        EXPECT_EQ(victims(), before);
        EXPECT_EQ(readFile(s / "version"), "old");
    }
    s.sh("ln -s ../victim shared/operators");
    EXPECT_EQ(run({"p.velk", "shared/operators", "version"}).status, 0);
    EXPECT_EQ(describeTree(s / "victim"), newTree);
}

// A FIFO another user planted at the lock's name ends the run at once (it used to wait forever
// for a writer, with fs.protected_fifos set); a lock file of the run's own is 0600, so nobody,
// who may not write DEST's parent, can neither hold it with flock nor with a read lock.
TEST_F(SharedFolderTest, NothingPlantedAtTheLockHoldsTheRun) {
    if (kEmulated) GTEST_SKIP() << "setpriv would start the emulator";
    Sysctl fifos("fs/protected_fifos", "1");
    s.sh(commandLine(asNobody({"mkfifo", s / "shared/.app.velk-lock"})));
    Launch how = unpack({"p.velk", "shared/app", "version"});
    how.hangSeconds = 20;
    Outcome out = velktest::run(how);
    EXPECT_EQ(out.status, kIncomplete) << "signal " << out.signal << "\n" << out.all();
    EXPECT_NE(out.all().find("lock " + s / "shared/.app.velk-lock: the lock file is not a regular file"),
              std::string::npos) << out.all();
    EXPECT_FALSE(exists(s / "shared/app"));

    ASSERT_EQ(run({"p.velk", "site/dest", "version"}).status, 0);
    EXPECT_EQ(shell("stat -c %a " + quote(s / "site/.dest.velk-lock")), "600\n");
    // nobody tries both kinds of lock there, and keeps the file open while the next run goes.
    const char* kHold = "import fcntl, sys\n"
                        "try:\n    f = open(sys.argv[1], 'rb'); fcntl.flock(f, fcntl.LOCK_SH); fcntl.lockf(f, fcntl.LOCK_SH)\n"
                        "except OSError:\n    pass\nprint('ready', flush=True); sys.stdin.read()";
    const std::string holder = commandLine(asNobody({python(), "-c", kHold, s / "site/.dest.velk-lock"}));
    FILE* hold = popen((holder + " > " + quote(s / "held")).c_str(), "w");
    ASSERT_NE(hold, nullptr);
    ASSERT_TRUE(waitUntil([&] { return exists(s / "held") && readFile(s / "held") == "ready\n"; }));
    out = run({"p.velk", "site/dest", "version"});
    pclose(hold);
    EXPECT_EQ(out.status, 0) << out.all();
}

// The same lock for root and for a service user that owns DEST, in place and staged, in either
// order: the second run of each pair, started while the first is held at the sync of the tree it
// made (staged or in place), is busy and changes nothing, its staging folder included. In a
// parent only root may write, the service user installs in place with the lock file root made.
TEST_F(SharedFolderTest, RootAndAServiceUserExcludeEachOther) {
    if (kEmulated) GTEST_SKIP() << "strace and setpriv must run the program itself";
    s.sh("mkdir -p site/dest && chown nobody:nogroup site/dest version");
    ASSERT_EQ(run({"p.velk", "site/dest", "version"}).status, 0);  // root makes the lock file, for nobody
    const std::string lock = s / "site/.dest.velk-lock";
    const struct {
        bool parentForNobody;
        bool firstNobody, firstAtomic, secondAtomic;
    } pairs[] = {
        {false, true, false, false}, {false, false, false, false}, {false, false, true, false},
        {true, true, true, true},    {true, true, true, false},    {true, false, true, true},
        {true, false, false, true},  {true, true, false, true},
    };
    for (const auto& p : pairs) {
        const std::string who = p.firstNobody ? "nobody then root" : "root then nobody";
        SCOPED_TRACE(who + (p.firstAtomic ? ", staged" : ", in place") + (p.secondAtomic ? " then staged" : " then in place") +
                     (p.parentForNobody ? ", nobody may write the parent" : ""));
        // A tree root made is not nobody's to empty: each pair starts from nobody's own.
        s.sh("chown -R nobody:nogroup site/dest && chown " + std::string(p.parentForNobody ? "nobody" : "root") +
             " site && printf old > version");
        auto args = [](bool atomic) {
            return atomic ? std::vector<std::string>{"--atomic", "p.velk", "site/dest", "version"}
                          : std::vector<std::string>{"p.velk", "site/dest", "version"};
        };
        HeldRun first(unpack(args(p.firstAtomic), p.firstNobody), "syncfs");  // a run's one syncfs
        ASSERT_TRUE(first.waitHeld([&] { return writeLockHeldOn(lock); })) << "never held at the sync";
        const std::string before = describeTree(s / "site");
        const Outcome second = run(args(p.secondAtomic), !p.firstNobody);
        EXPECT_EQ(second.status, kIncomplete) << second.all();
        EXPECT_NE(second.all().find(" is busy: another update is running"), std::string::npos) << second.all();
        EXPECT_EQ(describeTree(s / "site"), before);
        EXPECT_EQ(readFile(s / "version"), "old");
        first.resume();
        const Outcome done = first.finish();
        EXPECT_EQ(done.status, 0) << done.all();
        EXPECT_EQ(describeTree(s / "site/dest"), newTree);
    }
}

// Someone who may write DEST's parent removes the lock file, or puts another file at its name,
// while a run holds it. Held at the lock itself (in place), the run notices before DEST changes.
// Held at the sync of its staged tree, while a second run takes a new lock file and installs
// another package: the first notices before its swap and ends -7; DEST and the version file are
// the second run's, and nothing of either run is left beside DEST.
TEST_F(SharedFolderTest, ALockFileRemovedOrReplacedWhileHeldStopsItsRun) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
    s.sh("cp -a tree two && printf 'b=2\\n' > two/etc/b.conf");
    s.pack("two", "two.velk", "two");
    const std::string lock = s / "site/.dest.velk-lock", twoTree = describeTree(s / "two");
    const struct {
        const char* name;
        bool atomic;
        const char* call;  // where the first run is held
        const char* take;  // what is done to the lock file meanwhile
    } rows[] = {
        {"in place, removed at the lock", false, "fcntl", "rm site/.dest.velk-lock"},
        {"staged, removed at the sync", true, "syncfs", "rm site/.dest.velk-lock"},
        {"staged, replaced at the sync", true, "syncfs", ": > other && mv other site/.dest.velk-lock"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        s.sh("rm -rf site/dest site/.dest.* && mkdir site/dest && printf old > site/dest/old && printf old > version"
             " && : > site/.dest.velk-lock");
        const std::string oldTree = describeTree(s / "site/dest");
        std::vector<std::string> args = {"p.velk", "site/dest", "version"};
        if (row.atomic) args.insert(args.begin(), "--atomic");
        HeldRun first(unpack(args), row.call, row.atomic ? "" : lock);
        ASSERT_TRUE(first.waitHeld([&] { return writeLockHeldOn(lock); })) << "never held";
        s.sh(row.take);
        if (row.atomic) {
            const Outcome second = run({"--atomic", "two.velk", "site/dest", "version"});
            EXPECT_EQ(second.status, 0) << second.all();
        }
        first.resume();
        const Outcome out = first.finish();
        EXPECT_EQ(out.status, kIncomplete) << out.all();
        EXPECT_NE(out.all().find("lock " + lock + ": the lock file was removed or replaced while it was held("),
                  std::string::npos) << out.all();
        EXPECT_EQ(s.state("site/dest"), row.atomic ? Scene::installed(twoTree, "two") : Scene::installed(oldTree, "old"));
        EXPECT_EQ(s.sh("LC_ALL=C ls -A site"), row.atomic ? ".dest.velk-index\n.dest.velk-lock\ndest\n" : "dest\n");
    }
}

// DEST is private (0700): while root stages a new tree into it with --link-unchanged and -p, the
// staging folder is 0700 too, and nobody can read through it a file of the old tree that is
// linked in (0644 inside, as in DEST, where the folder's mode is what keeps it private).
TEST_F(SharedFolderTest, APrivateDestIsNotReadableThroughTheStagingFolder) {
    if (kEmulated) GTEST_SKIP() << "strace and setpriv must run the program itself";
    s.sh("mkdir -p private/etc && printf 'api-key=s3cret\\n' > private/etc/key && chmod 644 private/etc/key"
         " && mkdir -p site/dest && chmod 700 site/dest");
    s.pack("private", "private.velk", "private");
    ASSERT_EQ(run({"--atomic", "-p", "private.velk", "site/dest", "version"}).status, 0);
    HeldRun held(unpack({"--atomic", "-p", "--link-unchanged", "private.velk", "site/dest", "version"}), "linkat");
    ASSERT_TRUE(held.waitHeld()) << "the key was never linked";
    const std::string staging = namesWith(s / "site", ".velk-staging");
    ASSERT_NE(staging, "");
    const std::string folder = s / ("site/" + staging.substr(0, staging.size() - 1)), key = folder + "/etc/key";
    ASSERT_TRUE(exists(key));
    EXPECT_EQ(shell("stat -c %a " + quote(folder)), "700\n");
    Launch peek;
    peek.argv = asNobody({"cat", key});
    peek.out = s / "peek";
    const Outcome peeked = velktest::run(peek);
    EXPECT_NE(peeked.status, 0);
    EXPECT_EQ(peeked.all().find("api-key"), std::string::npos) << peeked.all();
    held.resume();
    EXPECT_EQ(held.finish().status, 0) << s.log();
    EXPECT_EQ(shell("stat -c %a " + quote(s / "site/dest")), "700\n");
}

// In a sticky folder anyone may write, another user (daemon) plants folders and files at every
// name the runs of a service user (nobody) used to make beside DEST and beside the version file,
// in the old fixed forms and the new random one. nobody's runs, staged and in place, install all
// the same, and leave what daemon planted where it is.
TEST_F(SharedFolderTest, NamesPlantedBesideDestOrTheVersionFileStopNothing) {
    if (kEmulated) GTEST_SKIP() << "setpriv would start the emulator";
    const auto asDaemon = [](std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"setpriv", "--reuid=daemon", "--regid=daemon", "--clear-groups", "--"});
        return commandLine(argv);
    };
    s.sh(commandLine(asNobody({"mkdir", s / "shared/app"})) + " && " +
         commandLine(asNobody({"sh", "-c", "printf old > " + quote(s / "shared/app.version")})));
    const std::string planted = "cd " + quote(s / "shared") + " && mkdir .app.velk-staging .app.velk-probe"
        " .app.0123456789abcdef.velk-staging && printf mine > .app.velk-staging/f && mkfifo .app.version.velk-new"
        " && printf mine > .app.version.0123456789abcdef.velk-new";
    s.sh(asDaemon({"sh", "-c", planted}));
    const std::string plants = "cd shared && LC_ALL=C ls -lA --time-style=+ | grep daemon";
    const std::string before = s.sh(plants);
    for (const bool atomic : {true, false, true}) {
        SCOPED_TRACE(atomic ? "staged" : "in place");
        std::vector<std::string> args = {"p.velk", "shared/app", "shared/app.version"};
        if (atomic) args.insert(args.begin(), "--atomic");
        const Outcome out = run(args, true);
        EXPECT_EQ(out.status, 0) << out.all();
        EXPECT_EQ(describeTree(s / "shared/app"), newTree);
        EXPECT_EQ(readFile(s / "shared/app.version"), "new");
        EXPECT_EQ(s.sh(plants), before);
        s.sh("printf old > shared/app.version");
    }
}

// Root installs into a tree that belongs to a service user (nobody), in place and staged, with
// --link-unchanged, and with the version file inside DEST: every file, folder and link it makes
// is nobody's. nobody's own staged run after it then removes the old tree whole, and leaves
// nothing beside DEST.
TEST_F(SharedFolderTest, RootLeavesAServiceUsersTreeToItsOwner) {
    if (kEmulated) GTEST_SKIP() << "setpriv would start the emulator";
    s.sh("mkdir -p rich/a/b && printf 1 > rich/a/b/f && ln -s b/f rich/a/l && ln rich/a/b/f rich/h && printf 2 >"
         " rich/top && mkdir -p site/dest && chown nobody:nogroup site site/dest");
    s.pack("rich", "rich.velk", "rich");
    const std::string richTree = describeTree(s / "rich");
    const std::vector<std::vector<std::string>> rootRuns = {
        {"rich.velk", "site/dest", "site/version"},
        {"--atomic", "rich.velk", "site/dest", "site/version"},
        {"--atomic", "--link-unchanged", "rich.velk", "site/dest", "site/version"},
        {"--atomic", "rich.velk", "site/dest", "site/dest/state/version"},
        {"rich.velk", "site/dest", "site/dest/state/version"},
    };
    for (const auto& args : rootRuns) {
        SCOPED_TRACE(commandLine(args));
        const Outcome root = run(args);
        ASSERT_EQ(root.status, 0) << root.all();
        EXPECT_EQ(s.sh("find site/dest ! -user nobody -o ! -group nogroup"), "");
        const Outcome nobody = run({"--atomic", "rich.velk", "site/dest", "site/version"}, true);
        EXPECT_EQ(nobody.status, 0) << nobody.all();
        EXPECT_EQ(nobody.all().find("left"), std::string::npos) << nobody.all();
        EXPECT_EQ(describeTree(s / "site/dest"), richTree);
        EXPECT_EQ(s.sh("LC_ALL=C ls -A site"), ".dest.velk-index\n.dest.velk-lock\ndest\nversion\n");
        EXPECT_EQ(s.sh("stat -c '%U:%G %a' site/.dest.velk-index"), "nobody:nogroup 600\n");  // the tree's owner's
    }
}

// A mount below DEST, found in /proc/self/mountinfo (a blank in its name, which the table
// escapes) or, without /proc (a chroot, early boot), by walking DEST first: in place nothing
// is removed, staged nothing is swapped. A bind mount of a folder of the same file system
// shares its device: only its being a mount root tells.
TEST_F(SharedFolderTest, MountsBelowDestAreFoundWithOrWithoutProc) {
    PrivateMounts mounts;
    ASSERT_TRUE(mounts.entered()) << mounts.problem();
    s.sh("mkdir -p elsewhere/sub 'site/dest/a' 'site/dest/m n' site/dest/z && printf kept > elsewhere/sub/f && printf 1 >"
         " site/dest/a/f && printf 2 > site/dest/z/f && printf 3 > site/dest/top");
    const std::string dest = s / "site/dest", at = dest + "/m n";
    for (const bool bound : {false, true}) {
        ASSERT_TRUE(bound ? mounts.bind(s / "elsewhere", at) : mounts.mountTmpfs(at, "size=64k")) << mounts.problem();
        if (!bound) writeFile(at + "/on-tmpfs", "kept");
        const std::string before = describeTree(dest);
        for (const bool proc : {true, false}) {
#ifdef VELK_SANITIZE_BUILD
            if (!proc) continue;  // a sanitizer's runtime reads its options and runs its leak check through /proc
#endif
            if (!proc && kEmulated) continue;  // the emulator itself needs /proc
            for (const bool atomic : {false, true}) {
                SCOPED_TRACE(std::string(bound ? "a bind mount" : "a tmpfs") + (proc ? "" : ", no /proc") +
                             (atomic ? ", staged" : ", in place"));
                Launch how = unpack(atomic ? std::vector<std::string>{"--atomic", "p.velk", dest, "version"}
                                           : std::vector<std::string>{"p.velk", dest, "version"});
                if (!proc) {
                    how.inChild = [] {  // only system calls: this runs between fork and exec
                        return unshare(CLONE_NEWNS) == 0 &&
                               mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                               umount2("/proc", MNT_DETACH) == 0;
                    };
                }
                const Outcome out = velktest::run(how);
                EXPECT_EQ(out.status, kIncomplete) << out.all();
                EXPECT_NE(out.all().find(at + " is a mount point"), std::string::npos) << out.all();
                EXPECT_EQ(describeTree(dest), before);
                EXPECT_EQ(readFile(s / "version"), "old");
            }
        }
        mounts.unmountAll();
    }
}

// DEST 0750 nobody:nogroup with an ACL for another user, and a default ACL: --atomic swaps in a
// folder with the same mode, owner, group and ACLs, as the in-place run keeps them.
TEST_F(SharedFolderTest, AnAtomicInstallKeepsDestsModeOwnerAndAcl) {
    if (!onPath("setfacl")) GTEST_SKIP() << "no setfacl here";
    s.sh("mkdir -p site/dest && chown nobody:nogroup site/dest && chmod 750 site/dest && "
         "setfacl -m u:daemon:rx -m d:u:daemon:rx site/dest");
    const std::string facl = "getfacl -n " + quote(s / "site/dest") + " 2>/dev/null", before = shell(facl);
    ASSERT_EQ(run({"--atomic", "p.velk", "site/dest", "version"}).status, 0);
    EXPECT_EQ(describeTree(s / "site/dest"), newTree);
    EXPECT_EQ(shell(facl), before);
    EXPECT_EQ(shell("stat -c '%U:%G' " + quote(s / "site/dest")), "nobody:nogroup\n");
}

// No descriptor left to open the staging folder with (it was made, but opening it fails), or no
// memory there: the run ends, and the staging folder goes with it. The openat of the staging
// folder is found in a recorded run, and the same call fails in the next ones.
TEST_F(SharedFolderTest, TheStagingFolderNeverOutlivesItsRun) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
    s.sh("mkdir -p site/dest && printf old > site/dest/old");
    const std::vector<std::string> args = {"--atomic", "p.velk", "site/dest", "version"};
    const std::string recorded = s / "openat.trace";
    ASSERT_EQ(run(args).status, 0);  // the lock file is there from now on, as in the runs below
    ASSERT_EQ(velktest::run(underStrace(unpack(args), recorded, {"-e", "trace=openat"})).status, 0);
    std::istringstream calls(readFile(recorded));
    int nth = 0;
    for (std::string line; std::getline(calls, line);) {
        if (line.find("openat(") == std::string::npos) continue;
        ++nth;
        if (line.find(".velk-staging\"") != std::string::npos) break;
    }
    s.sh("printf old > version && rm -rf site/dest && mkdir site/dest && printf old > site/dest/old");
    for (const char* error : {"EMFILE", "ENOMEM"}) {
        SCOPED_TRACE(error);
        const Outcome out = s.unpack(args, straceInjecting("openat", std::string("error=") + error, nth));
        EXPECT_EQ(out.status, kIncomplete) << out.all();
        EXPECT_NE(out.all().find("cannot open " + s / "site/.dest."), std::string::npos) << out.all();
        EXPECT_EQ(namesWith(s / "site", ".velk-staging"), "") << out.all();
        EXPECT_EQ(readFile(s / "site/dest/old"), "old");
    }
}

}  // namespace
