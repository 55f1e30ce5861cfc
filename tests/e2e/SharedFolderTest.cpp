// Updaters run as root, and sometimes as a service user, beside folders that others can write.
// A link another user planted in a shared folder is never followed to DEST or the version file;
// the lock is one that only updaters can take, the same for every run, and nothing planted at its
// name holds a run; mount points below DEST are found without /proc; DEST's own folder keeps its
// mode, owner and ACL through an --atomic install; and a staging folder never outlives its run.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "tests/support/PrivateMounts.h"
#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::Launch;
using velktest::Outcome;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

namespace {

constexpr int kIncomplete = 249, kVersionFailed = 250;  // -7, -6
#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // setpriv and strace would start the emulator, not the program
#else
constexpr bool kEmulated = false;
#endif

// A sysctl set for the test and put back after it; ok() tells whether it could be set.
class Sysctl {
public:
    Sysctl(const std::string& name, const std::string& value) : path("/proc/sys/" + name) {
        FILE* file = fopen(path.c_str(), "r");
        char old[16] = {};
        if (file == nullptr || fgets(old, sizeof old, file) == nullptr) {
            if (file != nullptr) fclose(file);
            return;
        }
        fclose(file);
        saved = old;
        set = write(value);
    }
    ~Sysctl() {
        if (set) (void)write(saved);
    }
    bool ok() const { return set; }

private:
    bool write(const std::string& value) const {
        FILE* file = fopen(path.c_str(), "w");
        if (file == nullptr) return false;
        const bool written = fputs(value.c_str(), file) >= 0;
        return fclose(file) == 0 && written;
    }

    std::string path, saved;
    bool set = false;
};

class SharedFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The test folder is searchable by nobody; "shared" is a sticky folder anyone may write.
        shell(cd() + "chmod 755 . && mkdir -p tree/etc shared site victim && chmod 1777 shared && printf 'a=1\\n' >"
              " tree/etc/a.conf && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C tree -cf t.tar ."
              " && " + velktest::refPacker() + " --label L --info '{\"PLVS\":\"new\"}' --tar t.tar -o p.velk &&"
              " chmod 644 p.velk && printf secret > victim/file && chmod 700 victim && printf keep > victim.version"
              " && chmod 600 victim.version && printf old > version");
        newTree = velktest::describeTree(dir / "tree");
    }
    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    std::string victims() const { return velktest::describeTree(dir / "victim") + readFile(dir / "victim.version"); }

    Launch unpack(const std::vector<std::string>& args, bool asNobody = false) const {
        Launch how;
        how.argv = {VELK_UNPACK};
        how.argv.insert(how.argv.end(), args.begin(), args.end());
        if (asNobody) how.argv = velktest::asNobody(how.argv);
        how.out = dir / "out.log";
        how.workDir = dir.path();
        return how;
    }
    Outcome run(const std::vector<std::string>& args, bool asNobody = false) const {
        return velktest::run(unpack(args, asNobody));
    }

    velktest::TempDir dir;
    std::string newTree;
};

// nobody plants shared/app -> a folder only root may enter, and shared/app.version -> a file
// only root may read. Root's run neither empties the one nor overwrites the other, whatever
// fs.protected_symlinks says; a link of the folder's owner (root) is an operator's and is followed.
TEST_F(SharedFolderTest, LinksPlantedInAStickyFolderAreNeverFollowed) {
    if (kEmulated) GTEST_SKIP() << "setpriv would start the emulator";
    shell(cd() + velktest::commandLine(velktest::asNobody({"ln", "-s", dir / "victim", dir / "shared/app"})) + " && " +
          velktest::commandLine(velktest::asNobody({"ln", "-s", dir / "victim.version", dir / "shared/app.version"})));
    const std::string before = victims();
    for (const char* protect : {"0", "1"}) {
        Sysctl setting("fs/protected_symlinks", protect);
        SCOPED_TRACE(std::string("fs.protected_symlinks ") + (setting.ok() ? protect : "as it is"));
        Outcome out = run({"p.velk", "shared/app", "version"});
        EXPECT_EQ(out.status, kIncomplete) << out.all();
        EXPECT_NE(out.all().find("refusing to follow the symbolic link " + dir / "shared/app"), std::string::npos)
            << out.all();
        out = run({"p.velk", "site/dest", "shared/app.version"});
        EXPECT_EQ(out.status, kVersionFailed) << out.all();
        EXPECT_NE(out.all().find("refusing to follow the symbolic link " + dir / "shared/app.version"),
                  std::string::npos) << out.all();
        EXPECT_FALSE(velktest::exists(dir / "site/dest"));
        EXPECT_EQ(victims(), before);
        EXPECT_EQ(readFile(dir / "version"), "old");
    }
    shell(cd() + "ln -s ../victim shared/operators");
    EXPECT_EQ(run({"p.velk", "shared/operators", "version"}).status, 0);
    EXPECT_EQ(velktest::describeTree(dir / "victim"), newTree);
}

// A FIFO another user planted at the lock's name ends the run at once (it used to wait forever
// for a writer, with fs.protected_fifos set); a lock file of the run's own is 0600, so nobody,
// who may not write DEST's parent, can neither hold it with flock nor with a read lock.
TEST_F(SharedFolderTest, NothingPlantedAtTheLockHoldsTheRun) {
    if (kEmulated) GTEST_SKIP() << "setpriv would start the emulator";
    Sysctl fifos("fs/protected_fifos", "1");
    shell(cd() + velktest::commandLine(velktest::asNobody({"mkfifo", dir / "shared/.app.velk-lock"})));
    Launch how = unpack({"p.velk", "shared/app", "version"});
    how.hangSeconds = 20;
    Outcome out = velktest::run(how);
    EXPECT_EQ(out.status, kIncomplete) << "signal " << out.signal << "\n" << out.all();
    EXPECT_NE(out.all().find("lock " + dir / "shared/.app.velk-lock: the lock file is not a regular file"),
              std::string::npos) << out.all();
    EXPECT_FALSE(velktest::exists(dir / "shared/app"));

    ASSERT_EQ(run({"p.velk", "site/dest", "version"}).status, 0);
    EXPECT_EQ(shell("stat -c %a " + quote(dir / "site/.dest.velk-lock")), "600\n");
    // nobody tries both kinds of lock there, and keeps the file open while the next run goes.
    const char* kHold = "import fcntl, sys\n"
                        "try:\n    f = open(sys.argv[1], 'rb'); fcntl.flock(f, fcntl.LOCK_SH); fcntl.lockf(f, fcntl.LOCK_SH)\n"
                        "except OSError:\n    pass\nprint('ready', flush=True); sys.stdin.read()";
    const std::string holder = velktest::commandLine(velktest::asNobody({velktest::python(), "-c", kHold,
                                                                          dir / "site/.dest.velk-lock"}));
    FILE* hold = popen((holder + " > " + quote(dir / "held")).c_str(), "w");
    ASSERT_NE(hold, nullptr);
    ASSERT_TRUE(velktest::waitUntil([&] { return velktest::exists(dir / "held") && readFile(dir / "held") == "ready\n"; }));
    out = run({"p.velk", "site/dest", "version"});
    pclose(hold);
    EXPECT_EQ(out.status, 0) << out.all();
}

// The same lock for root and for a service user that owns DEST, in place and staged, in either
// order: the second run of each pair, started while the first is held inside its lock, is busy
// and changes nothing. In a parent only root may write, the service user installs in place with
// the lock file root made for it.
TEST_F(SharedFolderTest, RootAndAServiceUserExcludeEachOther) {
    if (kEmulated || !velktest::onPath("strace")) GTEST_SKIP() << "strace and setpriv must run the program itself";
    shell(cd() + "mkdir -p site/dest && chown nobody:nogroup site/dest version");
    ASSERT_EQ(run({"p.velk", "site/dest", "version"}).status, 0);  // root makes the lock file, for nobody
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
        shell(cd() + "chown -R nobody:nogroup site/dest && chown " + (p.parentForNobody ? "nobody" : "root") +
              " site && printf old > version");
        auto args = [](bool atomic) {
            return atomic ? std::vector<std::string>{"--atomic", "p.velk", "site/dest", "version"}
                          : std::vector<std::string>{"p.velk", "site/dest", "version"};
        };
        velktest::HeldRun first(unpack(args(p.firstAtomic), p.firstNobody), "fcntl", dir / "site/.dest.velk-lock");
        ASSERT_TRUE(first.waitHeld(SYS_fcntl, [&] { return velktest::writeLockHeldOn(dir / "site/.dest.velk-lock"); }));
        const std::string before = velktest::describeTree(dir / "site");
        const Outcome second = run(args(p.secondAtomic), !p.firstNobody);
        EXPECT_EQ(second.status, kIncomplete) << second.all();
        EXPECT_NE(second.all().find(" is busy: another update is running"), std::string::npos) << second.all();
        EXPECT_EQ(velktest::describeTree(dir / "site"), before);
        first.resume();
        const Outcome done = first.finish();
        EXPECT_EQ(done.status, 0) << done.all();
        EXPECT_EQ(velktest::describeTree(dir / "site/dest"), newTree);
    }
}

// Without /proc (a chroot, early boot) a mount below DEST is found by walking DEST first: in
// place nothing is removed, staged nothing is swapped. A bind mount shares its device: only
// its being a mount root tells.
TEST_F(SharedFolderTest, MountsBelowDestAreFoundWithoutProc) {
    if (kEmulated) GTEST_SKIP() << "the emulator itself needs /proc";
#ifdef VELK_SANITIZE_BUILD
    GTEST_SKIP() << "a sanitizer's runtime reads its options and runs its leak check through /proc";
#endif
    velktest::PrivateMounts mounts;
    ASSERT_TRUE(mounts.entered()) << mounts.problem();
    shell(cd() + "mkdir -p site/dest/a site/dest/b site/dest/m site/dest/z && printf 1 > site/dest/a/f && printf 2 >"
          " site/dest/z/f && printf 3 > site/dest/top");
    const std::string dest = dir / "site/dest";
    for (const bool bound : {false, true}) {
        ASSERT_TRUE(bound ? mounts.bind(dest + "/a", dest + "/m") : mounts.mountTmpfs(dest + "/m", "size=64k"))
            << mounts.problem();
        const std::string before = velktest::describeTree(dest);
        for (const bool atomic : {false, true}) {
            SCOPED_TRACE(std::string(bound ? "a bind mount" : "a tmpfs") + (atomic ? ", staged" : ", in place"));
            Launch how = unpack(atomic ? std::vector<std::string>{"--atomic", "p.velk", dest, "version"}
                                       : std::vector<std::string>{"p.velk", dest, "version"});
            how.inChild = [] {  // only system calls: this runs between fork and exec
                return unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       umount2("/proc", MNT_DETACH) == 0;
            };

            const Outcome out = velktest::run(how);
            EXPECT_EQ(out.status, kIncomplete) << out.all();
            EXPECT_NE(out.all().find(dest + "/m is a mount point"), std::string::npos) << out.all();
            EXPECT_EQ(velktest::describeTree(dest), before);
            EXPECT_EQ(readFile(dir / "version"), "old");
        }
        mounts.unmountAll();
    }
}

// DEST 0750 nobody:nogroup with an ACL for another user, and a default ACL: --atomic swaps in a
// folder with the same mode, owner, group and ACLs, as the in-place run keeps them.
TEST_F(SharedFolderTest, AnAtomicInstallKeepsDestsModeOwnerAndAcl) {
    if (!velktest::onPath("setfacl")) GTEST_SKIP() << "no setfacl here";
    shell(cd() + "mkdir -p site/dest && chown nobody:nogroup site/dest && chmod 750 site/dest && "
          "setfacl -m u:daemon:rx -m d:u:daemon:rx site/dest");
    const std::string facl = "getfacl -n " + quote(dir / "site/dest") + " 2>/dev/null", before = shell(facl);
    ASSERT_EQ(run({"--atomic", "p.velk", "site/dest", "version"}).status, 0);
    EXPECT_EQ(velktest::describeTree(dir / "site/dest"), newTree);
    EXPECT_EQ(shell(facl), before);
    EXPECT_EQ(shell("stat -c '%U:%G' " + quote(dir / "site/dest")), "nobody:nogroup\n");
}

// No descriptor left to open the staging folder with (it was made, but opening it fails), or no
// memory there: the run ends, and the staging folder goes with it. The openat of the staging
// folder is found in a recorded run, and the same call fails in the next ones.
TEST_F(SharedFolderTest, TheStagingFolderNeverOutlivesItsRun) {
    if (kEmulated || !velktest::onPath("strace")) GTEST_SKIP() << "strace must trace the program itself";
    shell(cd() + "mkdir -p site/dest && printf old > site/dest/old");
    const std::vector<std::string> args = {"--atomic", "p.velk", "site/dest", "version"};
    const std::string recorded = dir / "openat.trace";
    ASSERT_EQ(run(args).status, 0);  // the lock file is there from now on, as in the runs below
    ASSERT_EQ(velktest::run(velktest::underStrace(unpack(args), recorded, {"-e", "trace=openat"})).status, 0);
    std::istringstream calls(readFile(recorded));
    int nth = 0;
    for (std::string line; std::getline(calls, line);) {
        if (line.find("openat(") == std::string::npos) continue;
        ++nth;
        if (line.find("\".dest.velk-staging\"") != std::string::npos) break;
    }
    shell(cd() + "printf old > version && rm -rf site/dest && mkdir site/dest && printf old > site/dest/old");
    for (const char* error : {"EMFILE", "ENOMEM"}) {
        SCOPED_TRACE(error);
        Launch how = unpack(args);
        std::vector<std::string> strace = velktest::straceInjecting("openat", std::string("error=") + error, nth);
        strace.push_back("--");
        how.argv.insert(how.argv.begin(), strace.begin(), strace.end());
        const Outcome out = velktest::run(how);
        EXPECT_EQ(out.status, kIncomplete) << out.all();
        EXPECT_NE(out.all().find("cannot open " + dir / "site/.dest.velk-staging"), std::string::npos) << out.all();
        EXPECT_FALSE(velktest::exists(dir / "site/.dest.velk-staging")) << out.all();
        EXPECT_EQ(readFile(dir / "site/dest/old"), "old");
    }
}

}  // namespace
