// velk-unpack as a program. --atomic: every failure (a damaged or hostile package, a full disk,
// a DEST that cannot be swapped, a failed call, a kill at any system call, a second run at once)
// leaves DEST, the version file and what lies beside them as they were; success swaps the whole
// new tree in. Options stand before SOURCE.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <functional>

#include "tests/support/PrivateMounts.h"
#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::describeTree;
using velktest::Outcome;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

namespace {

constexpr const char* kOld = "an older, longer version";  // longer than "new": a mix would show
constexpr const char* kFail = "tgz: unpack fail\r\n";
const int kIncomplete = velktest::exitStatus(-7), kUsage = velktest::exitStatus(-1);
#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // strace and setpriv would start the emulator, not our program
#else
constexpr bool kEmulated = false;
#endif
#ifdef VELK_SANITIZE_BUILD
constexpr size_t kSpreadPoints = 4, kStretchStride = 6;  // sanitized programs start slowly
#else
constexpr size_t kSpreadPoints = 20, kStretchStride = 1;
#endif

// The names in a folder, dot files included, folders marked '/' and links '@'.
std::string ls(const std::string& folder) { return shell("LC_ALL=C ls -AF " + quote(folder)); }

class AtomicInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell(cd() + "mkdir -p tree/bin tree/etc/conf.d tree/var/empty other old/old/deep site state outside"
              " && printf '#!/bin/sh\\necho new\\n' > tree/bin/run && printf 'x=2\\n' > tree/etc/conf.d/a.conf"
              " && ln -s etc/conf.d tree/conf && printf 'x=1\\n' > old/keep.conf && printf deep > old/old/deep/f"
              " && ln -s keep.conf old/link && printf keep > outside/sentinel && printf other > other/only");
        velktest::writeFile(dir / "tree/share.bin", velktest::seededBytes(300000, 7));  // more than 128k
        shell(cd() + "for f in tree other; do tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0"
              " -C $f -cf $f.tar .; done");
        package("p.velk", "--tar tree.tar", 1);
        std::string gz = shell(cd() + "gzip -n -c tree.tar");  // its trailer wrong: found after every file
        gz[gz.size() - 8] = char(gz[gz.size() - 8] ^ 0x40);
        velktest::writeFile(dir / "crc.gz", gz);
        bad = package("crc.velk", "--gzip crc.gz", 2);
        newTree = describeTree(dir / "tree");
        oldTree = describeTree(dir / "old");
        restoreOld();
    }

    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    std::string site() const { return dir / "site"; }
    std::string dest() const { return dir / "site/dest"; }
    std::string version() const { return dir / "state/version"; }
    std::string pkg() const { return dir / "p.velk"; }

    // A package of the independent packer from the `payload` options, made in the test's folder.
    std::string package(const std::string& name, const std::string& payload, int seed,
                        const std::string& info = "{\"PLVS\":\"new\"}") {
        shell(cd() + velktest::refPacker() + " --label L --info " + quote(info) + " --seed " + std::to_string(seed) +
              " " + payload + " -o " + name);
        return dir / name;
    }

    // DEST holds the old tree, the version file the old value, and an earlier run left the lock.
    void restoreOld() {
        shell(cd() + "rm -rf site/dest && cp -a old site/dest && touch site/.dest.velk-lock");
        velktest::writeFile(version(), kOld);
    }
    // DEST, the version file and what lies beside each (ls tells a folder from a file).
    std::string snapshot() const {
        return "dest:\n" + describeTree(dest()) + "version: " + readFile(version()) + "\nbeside DEST:\n" + ls(site()) +
               "beside the version file:\n" + ls(dir / "state");
    }
    std::string installed(const std::string& tree, const std::string& value) const {
        return "dest:\n" + tree + "version: " + value + "\nbeside DEST:\n.dest.velk-lock\ndest/\n"
               "beside the version file:\nversion\n";
    }

    // velk-unpack with `args` in the test's folder, `tool` (strace, setpriv) in front of it.
    Outcome unpack(const std::vector<std::string>& args, std::vector<std::string> tool = {}, mode_t mask = 022) {
        tool.push_back(VELK_UNPACK);
        tool.insert(tool.end(), args.begin(), args.end());
        velktest::Launch how;
        how.argv = tool;
        how.out = dir / "log";
        how.workDir = dir.path();
        how.fileMask = int(mask);
        return velktest::run(how);
    }
    std::function<bool()> inFolder(const std::string& commands) const {
        return [this, commands] { return velktest::shellStatus(cd() + commands) == 0; };
    }

    velktest::TempDir dir;
    std::string bad;  // a package whose gzip trailer turns out wrong after every file was written
    std::string newTree, oldTree;
};

// Failures while the package is unpacked; a DEST that cannot be swapped and a parent nobody may
// write to, refused before anything changes; each step of the swap failing, made so by strace.
TEST_F(AtomicInstallTest, AFailedRunLeavesEverythingAsItWas) {
    // Without --atomic the same package costs the old tree: the new files stand, no version names them.
    EXPECT_EQ(unpack({bad, dest(), version()}).status, kIncomplete);
    EXPECT_EQ(snapshot(), installed(newTree, kOld));
    velktest::writeFile(dir / "two.velk", readFile(pkg()) + readFile(bad));
    shell(cd() + "printf x > ok && ln -s " + quote(dir / "outside") + " out && tar --format=ustar -cf dots.tar"
          " --transform='s,^ok$,a/../../evil,' ok && tar --format=ustar -cf out.tar out"
          " && tar --format=ustar -rf out.tar --transform='s,^ok$,out/x,' ok");
    velktest::PrivateMounts mounts;
    const auto inject = [](const char* call, const char* error, int when) {
        return velktest::straceInjecting(call, std::string("error=") + error, when);
    };
    const bool noTools = kEmulated, noMounts = !mounts.entered();
    const std::string d = dest(), p = pkg(), refused = "atomic install: " + d;
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
        {"the second package of the file fails", false, dir / "two.velk", {}, {}, kIncomplete, kFail},
        {"DEST missing", false, bad, inFolder("rm -r site/dest"), {}, kIncomplete, kFail},
        {"an entry climbs out with ..", false, package("dots.velk", "--tar dots.tar", 3), {}, {}, kIncomplete, kFail},
        {"a link out of DEST, then an entry through it", false, package("out.velk", "--tar out.tar", 4), {}, {},
         kIncomplete, kFail},
        {"no package carries a PLVS value", false, package("nov.velk", "--tar tree.tar", 5, "{\"other\":1}"), {}, {},
         velktest::exitStatus(-6), "no PLVS version: "},
        {"DEST a regular file", false, p, inFolder("rm -r site/dest && printf file > site/dest"), {}, kIncomplete,
         refused + " is not a directory\n"},
        // Nobody owns DEST and the version file, and may take the lock.
        {"a parent nobody may not write to", noTools, p,
         inFolder("chmod 755 . && chown -R nobody site/dest site/.dest.velk-lock state"), velktest::asNobody({}),
         kIncomplete, refused + ": cannot make " + site() + "/.dest.velk-staging(13,"},
        {"the file system cannot exchange two folders", noTools, p, {}, inject("renameat2", "EINVAL", 1), kIncomplete,
         refused + ": the file system cannot swap two folders in one step(22,"},
        {"the exchange fails", noTools, p, {}, inject("renameat2", "EIO", 2), kIncomplete,
         refused + ": swap failed(5,"},
        {"the staged tree cannot be synced", noTools, p, {}, inject("syncfs", "EIO", 1), kIncomplete,
         "dest " + d + ": syncfs failed(5,"},
        // The first fsync is the version file's temporary, written before the exchange.
        {"the parent cannot be synced after the exchange", noTools, p, {}, inject("fsync", "EIO", 2), kIncomplete,
         refused + ": fsync of the parent failed(5,"},
        {"DEST missing, no RENAME_NOREPLACE: a plain rename", noTools, p, inFolder("rm -r site/dest"),
         inject("renameat2", "EINVAL", 1), 0, "tgz: unpack success"},
        {"the disk fills up", noMounts, p,
         [&] { return mounts.mountTmpfs(site(), "size=128k") && (restoreOld(), true); }, {}, kIncomplete,
         "(28,No space left on device)\n"},
        // Not another file system: only its being a mount root tells.
        {"DEST bound onto itself", noMounts, p, [&] { return mounts.bind(d, d); }, {}, kIncomplete,
         refused + " is a mount point, which cannot be swapped\n"},
        {"a file system mounted inside DEST", noMounts, p, [&] { return mounts.mountTmpfs(d + "/old", "size=1m"); }, {},
         kIncomplete, refused + "/old is a mount point inside DEST"},
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
        const Outcome run = unpack({"--atomic", c.source, d, version()}, c.tool);
        EXPECT_EQ(run.status, c.status) << run.all();
        EXPECT_NE(run.all().find(c.said), std::string::npos) << c.said << " in:\n" << run.all();
        EXPECT_EQ(snapshot(), c.status == 0 ? installed(newTree, "new") : before);
        EXPECT_EQ(ls(dir / "outside"), "sentinel\n");
        mounts.unmountAll();
    }
    if (!skipped.empty()) GTEST_SKIP() << "no strace, setpriv or private mounts here for: " << skipped;
}

// A kill at a spread of calls before the sync of the staged tree (where DEST exists) and at
// every call from it on: DEST is wholly old (or missing) or new, the version file names the new
// version only with the new tree, and the next run succeeds and leaves nothing behind. Calls
// come in the order syncfs, renameat2 (the swap), fsync (its parent), renameat (the version file).
// On tmpfs where possible: its syncs do not wait on the machine's disk.
TEST_F(AtomicInstallTest, KilledAtAnySystemCallDestIsWhollyOldOrNew) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    velktest::PrivateMounts mounts;
    if (mounts.entered()) {
        ASSERT_TRUE(mounts.mountTmpfs(site(), "size=4m") && mounts.mountTmpfs(dir / "state", "size=64k"))
            << mounts.problem();
    }
    const std::vector<std::string> atomic = {"--atomic", pkg(), dest(), version()};
    const auto destTree = [&] { return velktest::exists(dest()) ? describeTree(dest()) : "(missing)"; };
    for (const bool destExists : {true, false}) {
        SCOPED_TRACE(destExists ? "DEST exists" : "DEST missing");
        const auto startOver = [&] {
            restoreOld();
            if (!destExists) shell("rm -r " + quote(dest()));
        };
        startOver();
        const std::string before = destTree();
        ASSERT_EQ(unpack(atomic, velktest::straceRecording(dir / "trace")).status, 0);
        const velktest::SyscallTrace trace = velktest::readSyscallTrace(readFile(dir / "trace"), "syncfs");
        ASSERT_TRUE(trace.markerSeen) << "no syncfs in the trace";
        const std::vector<std::string>& calls = trace.calls;
        const auto swap = std::find(calls.begin() + long(trace.marker), calls.end(), "renameat2");
        EXPECT_NE(std::find(std::find(swap, calls.end(), "fsync"), calls.end(), "renameat"), calls.end());
        std::vector<size_t> points;
        const size_t spread = std::max<size_t>(1, trace.marker / kSpreadPoints);
        for (size_t i = 0; destExists && i < trace.marker; i += spread) points.push_back(i);
        for (size_t i = trace.marker; i < calls.size(); i += kStretchStride) points.push_back(i);
        size_t killed = 0, tried = 0;
        for (const size_t i : points) {
            if (calls[i] == "execve" || calls[i] == "exit_group") continue;
            const int when = velktest::occurrence(trace, i);
            SCOPED_TRACE(calls[i] + " #" + std::to_string(when));
            startOver();
            ++tried;
            killed += unpack(atomic, velktest::straceInjecting(calls[i], "signal=SIGKILL", when)).signal == SIGKILL;
            const std::string now = destTree(), value = readFile(version());
            EXPECT_TRUE(now == newTree || now == before) << "DEST is\n" << now;
            EXPECT_TRUE(value == kOld || (now == newTree && value == "new")) << value;
            const Outcome rerun = unpack(atomic);
            EXPECT_EQ(rerun.status, 0) << rerun.all();
            EXPECT_EQ(snapshot(), installed(newTree, "new"));
        }
        EXPECT_GE(killed * 10, tried * 9) << "the kills missed their calls";
    }
}

// The first run, staged or not, is held by strace at the sync of its whole tree, the lock held.
TEST_F(AtomicInstallTest, ASecondRunWhileOneHoldsTheLockIsBusyAndDisturbsNothing) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    const std::string other = package("other.velk", "--tar other.tar", 6, "{\"PLVS\":\"other\"}");
    for (const bool firstStaged : {true, false}) {
        SCOPED_TRACE(firstStaged ? "two staged runs" : "a staged run while a plain one works");
        restoreOld();
        const std::string work = firstStaged ? site() + "/.dest.velk-staging" : dest();
        velktest::Launch how;
        how.argv = {VELK_UNPACK, firstStaged ? "--atomic" : "--", pkg(), dest(), version()};
        how.out = dir / "first.log";
        velktest::HeldRun first(how, "syncfs", work);
        ASSERT_TRUE(first.waitHeld(SYS_syncfs, [] { return true; })) << "the first run was never held";
        const std::string beside = ls(site());
        const Outcome second = unpack({"--atomic", other, dest(), version()});
        EXPECT_EQ(second.status, kIncomplete) << second.all();
        EXPECT_NE(second.all().find("dest " + dest() + " is busy: another update is running\n"), std::string::npos)
            << second.all();
        EXPECT_EQ(describeTree(work), newTree);
        EXPECT_EQ(ls(site()), beside);
        EXPECT_EQ(readFile(version()), kOld);
        first.resume();
        EXPECT_EQ(first.finish().status, 0) << readFile(how.out);
        EXPECT_EQ(snapshot(), installed(newTree, "new"));
    }
}

// DEST missing with its parent is made; through an operator's link the folder it leads to is
// filled, and the link stays. The lock and the staged tree are named after that folder.
TEST_F(AtomicInstallTest, DestMissingOrReachedThroughAnOperatorsLink) {
    shell("cd " + quote(site()) + " && mv dest real && ln -s real current");
    const struct {
        std::string given, folder, beside;  // in the site folder; what lies beside `folder` after the run
    } cases[] = {{"current", "real", ".dest.velk-lock\n.real.velk-lock\ncurrent@\nreal/\n"},
                 {"new/dest", "new/dest", ".dest.velk-lock\ndest/\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        velktest::writeFile(version(), kOld);
        const Outcome run = unpack({"--atomic", pkg(), site() + "/" + c.given, version()});
        EXPECT_EQ(run.status, 0) << run.all();
        EXPECT_EQ(describeTree(site() + "/" + c.folder), newTree);
        EXPECT_EQ(ls(site() + "/" + c.folder + "/.."), c.beside);
        EXPECT_EQ(readFile(version()), "new");
    }
}

// With a package that fails after every file was written, a staged run leaves the old tree and a
// plain one the new files; a refused one makes nothing, not even the lock.
TEST_F(AtomicInstallTest, OptionsStandBeforeSourceOnly) {
    shell(cd() + "cp crc.velk ./-bad.velk && cp crc.velk ./- && rm site/.dest.velk-lock");
    const std::string d = dest(), v = version(), untouched = snapshot(), staged = installed(oldTree, kOld),
                      plain = installed(newTree, kOld);
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string after;
    } cases[] = {
        {"an unknown option after a known one", {"--atomic", "-x", "crc.velk", d, v}, untouched},
        {"two arguments after the options", {"--atomic", "-p", "crc.velk", d}, untouched},
        {"-- ends the options", {"--atomic", "--", "-bad.velk", d, v}, staged},
        {"./- is a file named -", {"./-", d, v}, plain},
        {"an option after VERSION-FILE", {"crc.velk", d, v, "--atomic"}, untouched},
        {"an option between the operands", {"crc.velk", "--atomic", d, v}, untouched},
        {"another argument after VERSION-FILE is ignored", {"crc.velk", d, v, "extra"}, plain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restoreOld();
        shell("rm " + quote(site() + "/.dest.velk-lock"));
        const Outcome run = unpack(c.args);
        EXPECT_EQ(run.status, c.after == untouched ? kUsage : kIncomplete) << run.all();
        EXPECT_EQ(run.all().rfind("params: source path; dest path; version\n", 0) == 0, c.after == untouched)
            << run.all();
        EXPECT_EQ(snapshot(), c.after);
    }
}

}  // namespace
