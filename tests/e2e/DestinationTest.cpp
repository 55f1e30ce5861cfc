// velk-unpack at the edges of DEST and SOURCE, run as a program. Each case checks the status, the
// line that says why, and what DEST and the folders beside it hold afterwards.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/support/PrivateMounts.h"
#include "tests/support/TestSupport.h"

using velktest::describeTree;
using velktest::Launch;
using velktest::Outcome;
using velktest::quote;
using velktest::shell;

namespace {

constexpr int kUsage = 255, kOpenFailed = 253, kNotRegular = 252, kIncomplete = 249;  // -1, -3, -4, -7
constexpr size_t kChunk = 102400;  // the program reads SOURCE this much at a time
#ifndef VELK_EMULATED
#define VELK_EMULATED 0
#endif
constexpr bool kEmulated = VELK_EMULATED;  // the program runs under qemu-user, through a script
const std::string kSuccess = "tgz: unpack success\r\n", kBusy = " is busy: another update is running\n";

// Gzips FILE into OUT (argv: FILE SIZE OUT); a SIZE other than 0 is reached by a comment field in
// the header, so that a package can end at a chunk boundary.
const char* const kGzip = R"(import gzip, sys
z = gzip.compress(open(sys.argv[1], "rb").read(), 9, mtime=0)
pad = int(sys.argv[2]) - len(z) - 1
open(sys.argv[3], "wb").write(z if pad < 0 else z[:3] + b"\x10" + z[4:10] + b"c" * pad + b"\0" + z[10:])
)";

class DestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell("cd " + quote(dir.path()) + " && chmod 755 . && mkdir -p t1/etc outside/sub && printf 'one\\n' > "
              "t1/etc/conf && ln -s etc/conf t1/link && printf keep > outside/sub/sentinel && ln -s sub outside/link");
        p1 = pack("t1", "1.0", 1);
        t1 = describeTree(dir / "t1");
        outsideBefore = describeTree(dir / "outside");
        velktest::writeFile(version(), "old");
    }

    // A package of the independent Python packer holding folder `tree`, its gzip stream
    // `gzipSize` bytes long when that is not 0.
    std::string pack(const std::string& tree, const std::string& plvs, int seed, size_t gzipSize = 0) {
        shell("cd " + quote(dir.path()) + " && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C " +
              quote(tree) + " -cf t.tar . && " + quote(velktest::python()) + " -c " + quote(kGzip) + " t.tar " +
              std::to_string(gzipSize) + " t.gz && " + velktest::refPacker() + " --label L --info " +
              quote("{\"PLVS\":\"" + plvs + "\"}") + " --seed " + std::to_string(seed) + " --gzip t.gz -o " +
              quote(tree + ".velk"));
        return dir / (tree + ".velk");
    }

    // DEST with stale content, and the version file saying "old".
    void stale() {
        shell("rm -rf " + quote(dest()) + " && mkdir -p " + quote(dest() + "/old/dir") + " && printf stale > " +
              quote(dest() + "/old/dir/f"));
        velktest::writeFile(version(), "old");
    }

    // The test build of velk-unpack: it reports its open descriptors on standard error, which goes
    // to the log of standard output.
    Launch unpack(const std::string& source, const std::string& dest) const {
        Launch how;
        how.argv = {VELK_UNPACK_FDCHECK, source, dest, version()};
        how.out = dir / "out.log";
        return how;
    }

    // Status, lines printed, no descriptor left open, nothing changed outside, the version file
    // untouched unless the run succeeded.
    void expectRun(const Outcome& run, int expected, const std::vector<std::string>& lines) const {
        EXPECT_EQ(run.status, expected) << "signal " << run.signal << "\n" << run.all();
        for (const std::string& line : lines) EXPECT_NE(run.out.find(line), run.out.npos) << line << "\n" << run.out;
        EXPECT_NE(run.out.find("open descriptors at exit: 3\n"), run.out.npos) << run.out;
        EXPECT_EQ(describeTree(dir / "outside"), outsideBefore);
        EXPECT_TRUE(expected == 0 || velktest::readFile(version()) == "old") << "the version file changed";
    }

    std::string dest() const { return dir / "dest"; }
    std::string version() const { return dir / "version"; }

    velktest::TempDir dir;
    std::string p1, t1, outsideBefore;
};

// The root spelled through missing folders is "/" only once they are made: refused before anything
// is made, in a chroot (the machine's /usr read-only) where a wrong run could do no harm.
TEST_F(DestinationTest, TheRootHoweverSpelledIsRefused) {
    if (kEmulated) GTEST_SKIP() << "the emulator script is not in the chroot";
    const std::string root = dir / "root", usr = root + "/usr", proc = root + "/proc";
    shell("mkdir -p " + quote(usr) + " " + quote(proc) + " && cd " + quote(root) + " && ln -s usr/lib lib && "
          "ln -s usr/lib64 lib64 && cp " + quote(VELK_UNPACK_FDCHECK) + " velk-unpack && cp " + quote(p1) + " p.velk");
    const std::string before = describeTree(root);
    for (const std::string spelling : {"/newdir/..", "/a/b/../../", "newdir/..", "/dest"}) {
        SCOPED_TRACE(spelling);
        Launch how = unpack("/p.velk", spelling);
        how.argv = {"/velk-unpack", "/p.velk", spelling, "/version"};
        how.err = "/dev/null";
        how.workDir = "/";
        how.inChild = [&] {  // only system calls: this runs between fork and exec
            return unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("/usr", usr.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
                   mount(nullptr, usr.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0 &&
                   mount("/proc", proc.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 && chroot(root.c_str()) == 0;
        };
        const Outcome run = velktest::run(how);
        EXPECT_EQ(run.status, spelling == "/dest" ? 0 : kUsage) << run.all();
        if (spelling == "/dest") break;  // the chroot works
        EXPECT_EQ(run.out, "params: source path; dest path; version\n");
        EXPECT_EQ(describeTree(root), before);
    }
    EXPECT_EQ(describeTree(root + "/dest"), t1);
}

// A first run, given DEST through a missing folder and an operator's link, is held by strace as
// its lock on the file beside the folder the link leads to is taken. A second run is busy and
// touches nothing; the first then fills that folder, the link stays and no missing folder is made.
TEST_F(DestinationTest, ABusyDestIsLeftAloneAndTheRunHoldingItFinishes) {
    if (kEmulated || !velktest::onPath("strace")) GTEST_SKIP() << "strace must trace the program itself";
    shell("ln -s dest " + quote(dir / "live"));
    stale();
    const std::string before = describeTree(dest());
    Launch firstHow = unpack(p1, "./staging/../live/");
    firstHow.workDir = dir.path();
    firstHow.out = dir / "first.log";
    const std::string lockFile = dir / ".dest.velk-lock";
    velktest::HeldRun first(firstHow, "fcntl", lockFile);
    // Once the lock file is made, strace's own short-lived children are gone, not taken for the program.
    ASSERT_TRUE(velktest::waitUntil([&] { return velktest::exists(lockFile); }));
    ASSERT_TRUE(first.waitHeld(SYS_fcntl, [&] { return velktest::writeLockHeldOn(lockFile); }))
        << "the first run was never held inside its lock";
    expectRun(velktest::run(unpack(p1, dest())), kIncomplete, {"dest " + dest() + kBusy});
    EXPECT_EQ(describeTree(dest()), before);
    first.resume();
    expectRun(first.finish(), 0, {kSuccess});
    EXPECT_EQ(describeTree(dest()), t1);
    EXPECT_EQ(velktest::readFile(version()), "1.0");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "live"));
    EXPECT_FALSE(velktest::exists(dir / "staging"));
}

// Every run takes the same lock, the file beside DEST. Where it cannot be made (a parent nobody
// may not write; a read-only parent of a mounted DEST), the run ends before anything changes
// rather than running unlocked; a lock file the operator made beforehand serves, and a run
// that finds it held is busy.
TEST_F(DestinationTest, WithoutALockBothCanTakeNothingChanges) {
    velktest::PrivateMounts mounts;
    const std::string readOnly = dir / "ro";
    shell("cd " + quote(dir.path()) + " && mkdir -p ro mine/dest && chown nobody:nogroup mine/dest version");
    ASSERT_TRUE(mounts.entered() && mounts.mountTmpfs(readOnly, "size=64k")) << mounts.problem();
    std::filesystem::create_directory(readOnly + "/dest");
    ASSERT_TRUE(mounts.mountTmpfs(readOnly + "/dest", "size=1m")) << mounts.problem();
    shell("printf old > " + quote(readOnly + "/dest/old"));
    ASSERT_TRUE(mounts.remount(readOnly, "ro")) << mounts.problem();
    for (const std::string& at : {dir / "mine/dest", readOnly + "/dest"}) {
        SCOPED_TRACE(at);
        Launch how = unpack(p1, at);
        const bool nobody = at == dir / "mine/dest";
        if (nobody) how.argv = velktest::asNobody(how.argv);
        const std::string before = describeTree(at), lock = std::filesystem::path(at).parent_path() / ".dest.velk-lock";
        expectRun(velktest::run(how), kIncomplete, {"lock " + lock + ": cannot open the lock file("});
        EXPECT_EQ(describeTree(at), before);
        if (!nobody) break;  // a read-only parent takes no lock file now; the writable case shows the rest
        shell(": > " + quote(lock) + " && chown nobody " + quote(lock));  // made by the operator
        expectRun(velktest::run(how), 0, {kSuccess});
        const int held = velktest::holdWriteLock(lock);
        ASSERT_GE(held, 0);
        velktest::writeFile(version(), "old");
        expectRun(velktest::run(how), kIncomplete, {"dest " + at + kBusy});
        close(held);
        EXPECT_EQ(describeTree(at), t1);
    }
}

// SOURCE is judged before DEST is touched; the lock file is there already, readable. The first
// row proves that the runs as nobody could empty DEST, and that a SOURCE deep inside DEST is read
// whole, over several chunks, through the descriptor opened before the emptying took its name.
TEST_F(DestinationTest, AnUnusableSourceLeavesDestAsItWas) {
    shell("cd " + quote(dir.path()) + " && cp -r t1 big && mkdir src-dir locked && mkfifo fifo && cp t1.velk"
          " unreadable.velk && chmod 600 unreadable.velk && cp t1.velk locked/ && chmod 700 locked"
          " && : > .dest.velk-lock && chown nobody .dest.velk-lock");
    velktest::writeFile(dir / "big/blob.bin", velktest::seededBytes(3 * kChunk + 777, 8));
    const std::string big = pack("big", "3.1", 3), inside = dest() + "/in/deeper/p.velk";
    const struct { std::string source; bool asNobody; int expected; std::string why; } cases[] = {
        {inside, true, 0, ""},
        {dir / "src-dir", false, kNotRegular, ": not a regular file\n"},
        {dir / "fifo", false, kNotRegular, ": not a regular file\n"},
        {"/dev/null", false, kNotRegular, ": not a regular file\n"},
        {dir / "unreadable.velk", true, kOpenFailed, ": cannot open(13,Permission denied)\n"},
        {dir / "locked/t1.velk", true, kOpenFailed, ": cannot open(13,Permission denied)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        stale();
        shell("mkdir -p " + quote(dest() + "/in/deeper") + " && cp " + quote(big) + " " + quote(inside) +
              " && chown -R nobody:nogroup " + quote(dest()) + " " + quote(version()));
        const std::string before = describeTree(dest());
        Launch how = unpack(c.source, dest());
        if (c.asNobody) how.argv = velktest::asNobody(how.argv);
        expectRun(velktest::run(how), c.expected, {c.expected == 0 ? kSuccess : "source " + c.source + c.why});
        EXPECT_EQ(describeTree(dest()), c.expected == 0 ? describeTree(dir / "big") : before);
    }
}

// Held by strace as its first read of SOURCE returns (P1, exactly one chunk long, read but not
// unpacked), SOURCE rewritten in place (P1+P2 to P1+Q2) or appended to is not one update.
TEST_F(DestinationTest, SourceChangedWhileItIsRead) {
    if (kEmulated || !velktest::onPath("strace")) GTEST_SKIP() << "strace must trace the program itself";
    shell("cd " + quote(dir.path()) + " && mkdir a b q && printf P2 > b/f && printf Q2 > q/f");
    velktest::writeFile(dir / "a/noise.bin", velktest::seededBytes(kChunk - 12000, 21));
    // The package frame: file header 80, head block 656, head check 32, tail 32.
    const std::string first = velktest::readFile(pack("a", "1.0", 1, kChunk - 800));
    const std::string p2 = velktest::readFile(pack("b", "2.0", 2, 3000));
    const std::string q2 = velktest::readFile(pack("q", "9.9", 3, 3000));
    ASSERT_EQ(first.size(), kChunk);
    const std::string source = dir / "source.velk";
    for (const auto& [atStart, then] : {std::pair{first + p2, first + q2}, std::pair{first, first + p2}}) {
        SCOPED_TRACE(atStart.size() == kChunk ? "appended to" : "rewritten in place");
        velktest::writeFile(source, atStart);
        stale();
        velktest::HeldRun held(unpack(source, dest()), "read", source);
        // Once DEST is emptied, strace's own short-lived children are gone, not taken for the program.
        ASSERT_TRUE(velktest::waitUntil([&] { return !velktest::exists(dest() + "/old"); }));
        ASSERT_TRUE(held.waitHeld(SYS_read, [&] {
            return velktest::filePosition(held.program(), velktest::descriptorOn(held.program(), source)) == kChunk;
        })) << "the run was never held after its first chunk";
        velktest::writeFile(source, then);  // the same file, truncated and written again
        held.resume();
        expectRun(held.finish(), kIncomplete, {"source changed while it was read\n"});
    }
}

// A bind mount (its name holding a blank, which mountinfo escapes) and a tmpfs deeper down are
// never entered: the run names the mount point and leaves DEST, mounts included, as it was.
TEST_F(DestinationTest, MountPointsBelowDestAreNeverEntered) {
    velktest::PrivateMounts mounts;
    ASSERT_TRUE(mounts.entered()) << mounts.problem();
    shell("mkdir -p " + quote(dir / "elsewhere/sub") + " && printf kept > " + quote(dir / "elsewhere/sub/f"));
    for (const std::string below : {"old/with blank", "old/dir/mem"}) {
        SCOPED_TRACE(below);
        stale();
        const std::string at = dest() + "/" + below;
        std::filesystem::create_directories(at);
        const bool bound = below == "old/with blank";
        ASSERT_TRUE(bound ? mounts.bind(dir / "elsewhere", at) : mounts.mountTmpfs(at, "size=64k")) << mounts.problem();
        if (!bound) velktest::writeFile(at + "/on-tmpfs", "kept");
        const std::string before = describeTree(dest());
        expectRun(velktest::run(unpack(p1, dest())), kIncomplete,
                  {at + " is a mount point: nothing on it is removed\n",
                   "dest " + dest() + " cannot be emptied (-5)\n"});
        EXPECT_EQ(describeTree(dest()), before);
        mounts.unmountAll();
    }
}

// While DEST is emptied, a thread swaps DEST/old (a folder) with DEST/swap (a link to `outside`)
// as fast as it can: nothing outside is removed, and a run that ends with 0 left the package's
// tree. strace holds each openat back a little, so that swaps fall between examining a name and
// opening it, and counts the times the program met the link where it had seen a folder.
TEST_F(DestinationTest, ALinkSwappedInWhileDestIsEmptied) {
    if (kEmulated || !velktest::onPath("strace")) GTEST_SKIP() << "strace must trace the program itself";
    const std::regex metLinkCall("O_NOFOLLOW.*= -1 (ENOTDIR|ELOOP)");  // a link opened as a folder, not followed
    long metLink = 0;
    for (int i = 0; i < 40 && !HasFailure(); ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        stale();
        std::filesystem::create_directory_symlink(dir / "outside", dest() + "/swap");
        const int destFd = open(dest().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::atomic<bool> stop{false};
        std::thread swapper([&] { while (!stop) renameat2(destFd, "old", destFd, "swap", RENAME_EXCHANGE); });
        const Outcome run = velktest::run(velktest::underStrace(unpack(p1, dest()), dir / "trace.log", {"-e",
            "trace=openat", "-e", "status=failed", "-e", "inject=openat:delay_enter=500"}));
        stop = true;
        swapper.join();
        close(destFd);
        const bool ended0 = run.status == 0;
        expectRun(run, ended0 ? 0 : kIncomplete, {ended0 ? kSuccess : "dest " + dest() + " cannot be emptied"});
        EXPECT_TRUE(!ended0 || describeTree(dest()) == t1) << describeTree(dest());
        const std::string calls = velktest::readFile(dir / "trace.log");
        metLink += std::distance(std::sregex_iterator(calls.begin(), calls.end(), metLinkCall), std::sregex_iterator());
    }
    RecordProperty("metLink", metLink);
    EXPECT_GT(metLink, 0) << "the swap never fell between examining a folder and opening it";
}

// DEST about 4000 bytes long, so that entries below it pass PATH_MAX. The first run empties a stale
// tree 60 levels deep and makes one 48 deep (16 levels open, 26 descriptors in all); the next run
// empties that one with 24 descriptors (emptying holds at most 8 folder streams).
TEST_F(DestinationTest, LongPathsAndDeepTreesWithFewDescriptors) {
    std::string longDest = dir.path();
    while (longDest.size() < 3800) longDest += "/" + std::string(199, 'x');
    longDest += "/dest";
    shell("cd " + quote(dir.path()) + " && a=$(printf 'a/%.0s' $(seq 48)) && mkdir -p deep/$a"
          " && printf deepest > deep/${a}f && mkdir -p " + quote(longDest) + " && cd " + quote(longDest) +
          " && b=$(printf 'b/%.0s' $(seq 60)) && mkdir -p $b && : > ${b}g");
    const struct { std::string package, tree, plvs; rlim_t openFiles; } runs[] = {
        {pack("deep", "4.0", 4), dir / "deep", "4.0", 32}, {p1, dir / "t1", "1.0", 24}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.tree);
        Launch how = unpack(r.package, longDest);
        if (!kEmulated) how.limits = {{RLIMIT_NOFILE, r.openFiles}};  // the emulator holds descriptors of its own
        expectRun(velktest::run(how), 0, {kSuccess});
        // Compared from inside: full paths below DEST would pass PATH_MAX.
        const std::string compare = "diff -r --no-dereference . " + quote(r.tree) + " 2>&1 || echo differs";
        EXPECT_EQ(shell("cd " + quote(longDest) + " 2>&1 && " + compare), "");
        EXPECT_EQ(velktest::readFile(version()), r.plvs);
    }
}

// A system call failing while entries are made: a line names the entry, the path and the errno.
// DEST in a pattern stands for DEST as given.
TEST_F(DestinationTest, FailuresNameThePathAndTheError) {
    velktest::PrivateMounts mounts;
    shell("cd " + quote(dir.path()) + " && mkdir -p dirs files/a fs mine/dest && for i in 01 02 03 04 05 06 07 08"
          " 09 10 11 12; do mkdir dirs/d$i && printf x > files/a/f$i; done && chown -R nobody:nogroup mine");
    ASSERT_TRUE(mounts.entered() && mounts.mountTmpfs(dir / "fs", "nr_inodes=8")) << mounts.problem();
    const std::string manyDirs = pack("dirs", "5.0", 5), manyFiles = pack("files", "5.1", 6);
    // Not where the emulator holds descriptors of its own, nor under a sanitizer, which checks memory
    // through a pipe of its own: with every descriptor taken it reports memory as unreadable and stops.
    const struct { std::string source, dest; rlim_t openFiles; int fileMask; std::string line; } cases[] = {
#if !VELK_EMULATED && !defined(VELK_SANITIZE_BUILD)
        {manyFiles, dest(), 8, -1, R"(dest DEST: cannot read /proc/self/mountinfo\(24,Too many open files\))"},
        {manyFiles, dest(), 9, -1, R"(tar: \./a/f0\d: open DEST/\./a/f0\d failed\(24,Too many open files\))"},
#endif
        {manyDirs, dir / "fs/dest", 0, -1, R"(mkdir DEST/\./d\d\d failed\(28,No space left on device\))"},
        {manyFiles, dir / "mine/dest", 0, 0777, R"(tar: \./a/f01: open DEST/\./a failed\(13,Permission denied\))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Launch how = unpack(c.source, c.dest);
        if (c.openFiles != 0) how.limits = {{RLIMIT_NOFILE, c.openFiles}};
        how.fileMask = c.fileMask;
        if (c.fileMask >= 0) how.argv = velktest::asNobody(how.argv);  // root would pass a umask of 0777
        const Outcome run = velktest::run(how);
        expectRun(run, kIncomplete, {});
        const std::string escapedDest = std::regex_replace(c.dest, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
        const std::regex line("(?:^|\n)" + std::regex_replace(c.line, std::regex("DEST"), escapedDest) + "\n");
        EXPECT_TRUE(std::regex_search(run.out, line)) << c.line << "\n" << run.out;
    }
}

}  // namespace
