// velk-unpack --atomic as a program: every failure (a damaged or hostile package, a full disk, a
// DEST that cannot be swapped, a failed call) leaves DEST, the version file and what lies beside
// them as they were; success swaps the whole new tree in, also where DEST is missing or reached
// through an operator's link. Kills and failures after the swap: CommitTest.

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/PrivateMounts.h"
#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

constexpr const char* kOld = "an older, longer version";  // longer than "new": a mix would show
constexpr const char* kFail = "tgz: unpack fail\r\n";

// The names in a folder, dot files included, folders marked '/' and links '@'.
std::string ls(const std::string& folder) { return shell("LC_ALL=C ls -AF " + quote(folder)); }

class AtomicInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p tree/bin tree/etc/conf.d tree/var/empty old/old/deep site state outside && printf"
             " '#!/bin/sh\\necho new\\n' > tree/bin/run && printf 'x=2\\n' > tree/etc/conf.d/a.conf && ln -s"
             " etc/conf.d tree/conf && printf 'x=1\\n' > old/keep.conf && printf deep > old/old/deep/f && ln -s"
             " keep.conf old/link && printf keep > outside/sentinel");
        writeFile(s / "tree/share.bin", seededBytes(300000, 7));  // more than 128k
        s.pack("tree", "p.velk");
        bad = s.packBadTrailer("tree", "crc.velk");
        newTree = describeTree(s / "tree");
        restoreOld();
    }

    std::string site() const { return s / "site"; }
    std::string dest() const { return s / "site/dest"; }
    std::string version() const { return s / "state/version"; }

    // DEST holds the old tree, the version file the old value, and an earlier run left the lock.
    void restoreOld() {
        s.sh("rm -rf site/dest && cp -a old site/dest && touch site/.dest.velk-lock");
        writeFile(version(), kOld);
    }
    // DEST, the version file and what lies beside each (ls tells a folder from a file).
    std::string snapshot() const {
        return "dest:\n" + describeTree(dest()) + "version: " + readFile(version()) + "\nbeside DEST:\n" + ls(site()) +
               "beside the version file:\n" + ls(s / "state");
    }
    // `indexed`: the run left the index of the tree beside it.
    std::string installed(const std::string& tree, const std::string& value, bool indexed = true) const {
        return "dest:\n" + tree + "version: " + value + "\nbeside DEST:\n" + (indexed ? ".dest.velk-index\n" : "") +
               ".dest.velk-lock\ndest/\nbeside the version file:\nversion\n";
    }
    std::function<bool()> inFolder(const std::string& commands) const {
        return [this, commands] { return shellStatus(s.cd() + commands) == 0; };
    }

    Scene s;
    std::string bad;  // a package whose gzip trailer turns out wrong after every file was written
    std::string newTree;
};

// Failures while the package is unpacked; a DEST that cannot be swapped and a parent nobody may
// write to, refused before anything changes; each step of the swap failing, made so by strace.
TEST_F(AtomicInstallTest, AFailedRunLeavesEverythingAsItWas) {
    // Without --atomic the same package costs the old tree: the new files stand, no version or
    // index names them.
    EXPECT_EQ(s.unpack({bad, dest(), version()}).status, kIncomplete);
    EXPECT_EQ(snapshot(), installed(newTree, kOld, false));
    writeFile(s / "two.velk", readFile(s / "p.velk") + readFile(bad));
    s.sh("printf x > ok && ln -s " + quote(s / "outside") + " out && tar --format=ustar -cf dots.tar"
         " --transform='s,^ok$,a/../../evil,' ok && tar --format=ustar -cf out.tar out"
         " && tar --format=ustar -rf out.tar --transform='s,^ok$,out/x,' ok");
    PrivateMounts mounts;
    const auto inject = [](const char* call, const char* error, int when) {
        return straceInjecting(call, std::string("error=") + error, when);
    };
    const bool noTools = kEmulated, noMounts = !mounts.entered();
    const std::string d = dest(), p = s / "p.velk", refused = "atomic install: " + d, plvs = "{\"PLVS\":\"new\"}";
    const struct {
        const char* name;
        bool cannot;  // the row cannot run here
        std::string source;
        std::function<bool()> make;  // changes the scene first
        std::vector<std::string> tool;
        int status;
        std::string said;
    } cases[] = {
        {"the gzip trailer is wrong, after every file was written", false, bad, {}, {}, kIncomplete, kFail},
        {"the second package of the file fails", false, s / "two.velk", {}, {}, kIncomplete, kFail},
        {"DEST missing", false, bad, inFolder("rm -r site/dest"), {}, kIncomplete, kFail},
        {"an entry climbs out with ..", false, s.packWith("--tar dots.tar", "dots.velk", plvs), {}, {}, kIncomplete,
         kFail},
        {"a link out of DEST, then an entry through it", false, s.packWith("--tar out.tar", "out.velk", plvs), {}, {},
         kIncomplete, kFail},
        {"no package carries a PLVS value", false, s.packWith("--tar tree.tar", "nov.velk", "{\"other\":1}"), {}, {},
         kVersionFailed, "no PLVS version: "},
        {"DEST a regular file", false, p, inFolder("rm -r site/dest && printf file > site/dest"), {}, kIncomplete,
         refused + " is not a directory\n"},
        // Nobody owns DEST and the version file, and may take the lock.
        {"a parent nobody may not write to", noTools, p,
         inFolder("chmod 755 . && chown -R nobody site/dest site/.dest.velk-lock state"), asNobody({}),
         kIncomplete, refused + ": cannot make " + site() + "/.dest."},
        {"the file system cannot exchange two folders", noTools, p, {}, inject("renameat2", "EINVAL", 1), kIncomplete,
         refused + ": the file system cannot swap two folders in one step(22,"},
        {"the exchange fails", noTools, p, {}, inject("renameat2", "EIO", 2), kIncomplete, refused + ": swap failed(5,"},
        {"the staged tree cannot be synced", noTools, p, {}, inject("syncfs", "EIO", 1), kIncomplete,
         "dest " + d + ": syncfs failed(5,"},
        {"DEST missing, no RENAME_NOREPLACE: a plain rename", noTools, p, inFolder("rm -r site/dest"),
         inject("renameat2", "EINVAL", 1), 0, "tgz: unpack success"},
        {"the disk fills up", noMounts, p,
         [&] { return mounts.mountTmpfs(site(), "size=128k") && (restoreOld(), true); }, {}, kIncomplete,
         "(28,No space left on device)\n"},
        // Not another file system: only its being a mount root tells.
        {"DEST bound onto itself", noMounts, p, [&] { return mounts.bind(d, d); }, {}, kIncomplete,
         refused + " is a mount point, which cannot be swapped\n"},
    };
    std::string skipped;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cannot) {
            skipped += std::string(c.name) + "; ";
            continue;
        }
        restoreOld();
        ASSERT_TRUE(!c.make || c.make()) << mounts.problem();
        const std::string before = snapshot();
        const Outcome run = s.unpack({"--atomic", c.source, d, version()}, c.tool);
        EXPECT_EQ(run.status, c.status) << run.all();
        EXPECT_NE(run.all().find(c.said), std::string::npos) << c.said << " in:\n" << run.all();
        EXPECT_EQ(snapshot(), c.status == 0 ? installed(newTree, "new") : before);
        EXPECT_EQ(ls(s / "outside"), "sentinel\n");
        mounts.unmountAll();
    }
    if (!skipped.empty()) GTEST_SKIP() << "no strace, setpriv or private mounts here for: " << skipped;
}

// The parent's fsync fails after the swap, once or every time: the swap is undone and the
// message says that DEST holds the old tree again (and whether that is known to be durable),
// never that the new tree is in place. The version file's temporary is the first fsync.
TEST_F(AtomicInstallTest, AnUndoneSwapSaysDestHoldsTheOldTreeAgain) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    const std::string undone = "atomic install: " + dest() + ": the swap was undone: DEST holds the old tree again";
    const struct {
        const char* when;
        std::string said;
    } rows[] = {{"2", undone + "\n"}, {"2+", undone + ", but not known to be durable(5,"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("fsync EIO from call ") + row.when);
        restoreOld();
        const std::string before = snapshot();
        const Outcome out = s.unpack({"--atomic", "p.velk", dest(), version()},
                                     straceCommand("/dev/null", {"-e", "trace=fsync", "-e",
                                                                 std::string("inject=fsync:error=EIO:when=") + row.when}));
        EXPECT_EQ(out.status, kIncomplete) << out.all();
        EXPECT_NE(out.all().find(row.said), std::string::npos) << out.all();
        EXPECT_EQ(out.all().find("the new tree is in place"), std::string::npos) << out.all();
        EXPECT_EQ(snapshot(), before);
    }
}

// DEST missing with its parent is made; through an operator's link, or a missing folder and
// "..", the folder it leads to is filled: the link stays, the missing folder is not made. The
// lock and the staged tree are named after that folder.
TEST_F(AtomicInstallTest, DestMissingOrReachedThroughAnOperatorsLink) {
    s.sh("cd site && mv dest real && ln -s real current");
    const struct {
        std::string given, folder, beside;  // in the site folder; what lies beside `folder` after the run
    } cases[] = {{"current", "real", ".dest.velk-lock\n.real.velk-index\n.real.velk-lock\ncurrent@\nreal/\n"},
                 {"./missing/../current/", "real", ".dest.velk-lock\n.real.velk-index\n.real.velk-lock\ncurrent@\nreal/\n"},
                 {"new/dest", "new/dest", ".dest.velk-index\n.dest.velk-lock\ndest/\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        writeFile(version(), kOld);
        const Outcome run = s.unpack({"--atomic", "p.velk", site() + "/" + c.given, version()});
        EXPECT_EQ(run.status, 0) << run.all();
        EXPECT_EQ(describeTree(site() + "/" + c.folder), newTree);
        EXPECT_EQ(ls(site() + "/" + c.folder + "/.."), c.beside);
        EXPECT_EQ(readFile(version()), "new");
    }
}

}  // namespace
