// velk-unpack at the edges of DEST, SOURCE and the version file, run as a program: a full or
// read-only disk, a file size limit, a lock that cannot be made, a SOURCE that is unusable or
// changes while it is read, a link swapped in, long paths and few descriptors. Each case checks
// the status, the line that says why, that no descriptor was left open (the test build reports
// "open descriptors at exit: N") and what DEST and the folders beside it hold afterwards.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "tests/support/PrivateMounts.h"
#include "tests/support/Scene.h"

using namespace velktest;

namespace {

constexpr size_t kChunk = 102400;  // the program reads SOURCE this much at a time
const std::string kSuccess = "tgz: unpack success\r\n";

// Gzips FILE into OUT (argv: FILE SIZE OUT); SIZE is reached by a comment field in the header,
// so that a package can end at a chunk boundary.
const char* const kGzip = R"(import gzip, sys
z = gzip.compress(open(sys.argv[1], "rb").read(), 9, mtime=0)
pad = int(sys.argv[2]) - len(z) - 1
open(sys.argv[3], "wb").write(z[:3] + b"\x10" + z[4:10] + b"c" * pad + b"\0" + z[10:])
)";

class DestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("chmod 755 . && mkdir -p t1/etc outside/sub && printf 'one\\n' > t1/etc/conf && ln -s etc/conf t1/link"
             " && printf keep > outside/sub/sentinel && ln -s sub outside/link && cp -r t1 big");
        writeFile(s / "big/blob.bin", seededBytes(3 * kChunk + 777, 8));
        p1 = s.pack("t1", "t1.velk", "1.0");
        big = s.pack("big", "big.velk", "3.1", 3);
        t1 = describeTree(s / "t1");
        outsideBefore = describeTree(s / "outside");
        writeFile(version(), "old");
    }

    // A package of folder `tree` whose gzip stream is `gzipSize` bytes long.
    std::string packSized(const std::string& tree, const std::string& plvs, int seed, size_t gzipSize) {
        s.sh(std::string(kTar) + " -C " + tree + " -cf t.tar . && " + quote(python()) + " -c " + quote(kGzip) +
             " t.tar " + std::to_string(gzipSize) + " t.gz");
        return s.packWith("--gzip t.gz", tree + ".velk", "{\"PLVS\":\"" + plvs + "\"}", seed);
    }

    // DEST with stale content, and the version file saying "old".
    void stale() {
        s.sh("rm -rf dest && mkdir -p dest/old/dir && printf stale > dest/old/dir/f");
        writeFile(version(), "old");
    }

    // The test build of velk-unpack: it reports its open descriptors on standard error, which goes
    // to the log of standard output.
    Launch unpack(const std::string& source, const std::string& dest, const std::string& version = "") const {
        Launch how;
        how.argv = {VELK_UNPACK_FDCHECK, source, dest, version.empty() ? this->version() : version};
        how.out = s / "log";
        return how;
    }

    // Status, lines printed, no descriptor left open, nothing changed outside, the version file
    // untouched unless the run succeeded.
    void expectRun(const Outcome& run, int expected, const std::vector<std::string>& lines) const {
        EXPECT_EQ(run.status, expected) << "signal " << run.signal << "\n" << run.all();
        for (const std::string& line : lines) EXPECT_NE(run.out.find(line), run.out.npos) << line << "\n" << run.out;
        EXPECT_NE(run.out.find("open descriptors at exit: 3\n"), run.out.npos) << run.out;
        EXPECT_EQ(describeTree(s / "outside"), outsideBefore);
        EXPECT_TRUE(expected == 0 || readFile(version()) == "old") << "the version file changed";
    }

    // True when DEST/blob.bin holds a proper prefix of the file, as a cut-short write leaves it.
    bool cutShort() const {
        const std::string whole = readFile(s / "big/blob.bin"), got = readFile(dest() + "/blob.bin");
        return got.size() < whole.size() && whole.compare(0, got.size(), got) == 0;
    }

    std::string dest() const { return s / "dest"; }
    std::string version() const { return s / "version"; }

    Scene s;
    std::string p1, big, t1, outsideBefore;
};

// Each fault between the package and the disk gives its status and its line; DEST is left for
// what it was only where nothing could be known before it changed.
TEST_F(DestinationTest, SourceDestinationAndVersionFileFaults) {
    writeFile(s / "empty.velk", "");
    s.sh("mkfifo fifo && printf data > plain && mkdir dest");
    const std::string noVersion = s.packWith("--tar t1.tar", "nov.velk", "{\"other\":1}");
    const struct Case {
        const char* name;
        std::string source, dest, version;
        rlim_t fileLimit;  // bytes per file, 0 for none
        int expected;
        std::vector<std::string> lines;
        std::function<void()> more;
    } cases[] = {
        {"the program as is", big, dest(), version(), 0, 0, {kSuccess},
         [&] { EXPECT_EQ(readFile(version()), "3.1"); }},
        {"file size limit reached mid-file", big, dest(), version(), 65536, kIncomplete,
         {"write failed(27,File too large)\n", "tgz: unpack fail\r\n"}, [&] { EXPECT_TRUE(cutShort()); }},
        {"version file on a full device", p1, dest(), "/dev/full", 0, kVersionFailed,
         {"write failed(28,No space left on device)\n", "version file: write /dev/full failed\n",
          "write version file /dev/full failed\n"},
         [&] { EXPECT_EQ(describeTree(dest()), t1); }},
        {"version file below a regular file: refused before DEST changes", p1, dest(), s / "plain/version", 0,
         kVersionFailed, {"version file " + s / "plain/version: " + s / "plain is not a folder\n"},
         [&] { EXPECT_TRUE(exists(dest() + "/keep")); }},
        {"no version", noVersion, dest(), version(), 0, kVersionFailed, {"no PLVS version: "}, nullptr},
        {"empty source", s / "empty.velk", dest(), version(), 0, kIncomplete, {"tgz: no package in the source\r\n"},
         nullptr},
        {"destination is a regular file", p1, s / "plain", version(), 0, kIncomplete,
         {"dest " + s / "plain is not a directory\n"}, [&] { EXPECT_EQ(readFile(s / "plain"), "data"); }},
        {"source vanished before the run", s / "gone.velk", dest(), version(), 0, kNoSource,
         {"source " + s / "gone.velk: not found(2,No such file or directory)\n"},
         [&] { EXPECT_TRUE(exists(dest() + "/keep")); }},
        {"source is a FIFO", s / "fifo", dest(), version(), 0, kNotRegular, {"source " + s / "fifo: not a regular file\n"},
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dest() + "/keep", "stale");
        Launch how = unpack(c.source, c.dest, c.version);
        if (c.fileLimit != 0) how.limits = {{RLIMIT_FSIZE, c.fileLimit}};
        expectRun(run(how), c.expected, c.lines);
        if (c.more) c.more();
        writeFile(version(), "old");
    }
}

// A tmpfs that fills up, then a fresh one, read-only with a stale file: nothing can be removed.
TEST_F(DestinationTest, FullAndReadOnlyFileSystems) {
    PrivateMounts mounts;
    s.sh("mkdir dest");
    ASSERT_TRUE(mounts.entered() && mounts.mountTmpfs(dest(), "size=64k")) << mounts.problem();
    expectRun(run(unpack(big, dest())), kIncomplete, {"write failed(28,No space left on device)\n", "tgz: unpack fail\r\n"});
    EXPECT_TRUE(cutShort());
    mounts.unmountAll();
    ASSERT_TRUE(mounts.mountTmpfs(dest(), "size=64k")) << mounts.problem();
    writeFile(dest() + "/stale", "old file");
    const std::string before = describeTree(dest());
    ASSERT_TRUE(mounts.remount(dest(), "ro")) << mounts.problem();
    expectRun(run(unpack(big, dest())), kIncomplete,
              {"remove " + dest() + "/stale failed(30,Read-only file system)\n",
               "dest " + dest() + " cannot be emptied (-4)\n"});
    EXPECT_EQ(describeTree(dest()), before);
}

// The root however spelled (through missing folders, "//.", a link to it) is "/" only once they
// are made: refused before anything is made, in a chroot (the machine's /usr read-only) where a
// wrong run could do no harm; the last spelling shows that the chroot works.
TEST_F(DestinationTest, TheRootHoweverSpelledIsRefused) {
    if (kEmulated) GTEST_SKIP() << "the emulator script is not in the chroot";
    const std::string root = s / "root", usr = root + "/usr", proc = root + "/proc";
    s.sh("mkdir -p root/usr root/proc && cd root && ln -s usr/lib lib && ln -s usr/lib64 lib64 && ln -s / to-root"
         " && cp " + quote(VELK_UNPACK_FDCHECK) + " velk-unpack && cp ../t1.velk p.velk");
    const std::string before = describeTree(root);
    for (const std::string spelling : {"/", "//.", "/to-root", "/newdir/..", "/a/b/../../", "newdir/..", "/dest"}) {
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
        if (spelling == "/dest") break;
        EXPECT_EQ(run.out, "params: source path; dest path; version\n");
        EXPECT_EQ(describeTree(root), before);
    }
    EXPECT_EQ(describeTree(root + "/dest"), t1);
}

// Every run takes the same lock, the file beside DEST. Where it cannot be made (a parent nobody
// may not write; a read-only parent of a mounted DEST), the run ends before anything changes
// rather than running unlocked; a lock file the operator made beforehand serves, and a run
// that finds it held is busy.
TEST_F(DestinationTest, WithoutALockBothCanTakeNothingChanges) {
    PrivateMounts mounts;
    const std::string readOnly = s / "ro";
    s.sh("mkdir -p ro mine/dest && chown nobody:nogroup mine/dest version");
    ASSERT_TRUE(mounts.entered() && mounts.mountTmpfs(readOnly, "size=64k")) << mounts.problem();
    std::filesystem::create_directory(readOnly + "/dest");
    ASSERT_TRUE(mounts.mountTmpfs(readOnly + "/dest", "size=1m")) << mounts.problem();
    writeFile(readOnly + "/dest/old", "old");
    ASSERT_TRUE(mounts.remount(readOnly, "ro")) << mounts.problem();
    for (const std::string& at : {s / "mine/dest", readOnly + "/dest"}) {
        SCOPED_TRACE(at);
        Launch how = unpack(p1, at);
        const bool nobody = at == s / "mine/dest";
        if (nobody) how.argv = asNobody(how.argv);
        const std::string before = describeTree(at), lock = std::filesystem::path(at).parent_path() / ".dest.velk-lock";
        expectRun(run(how), kIncomplete, {"lock " + lock + ": cannot open the lock file("});
        EXPECT_EQ(describeTree(at), before);
        if (!nobody) break;  // a read-only parent takes no lock file now; the writable case shows the rest
        shell(": > " + quote(lock) + " && chown nobody " + quote(lock));  // made by the operator
        expectRun(run(how), 0, {kSuccess});
        const int held = holdWriteLock(lock);
        ASSERT_GE(held, 0);
        writeFile(version(), "old");
        expectRun(run(how), kIncomplete, {"dest " + at + " is busy: another update is running\n"});
        close(held);
        EXPECT_EQ(describeTree(at), t1);
    }
}

// SOURCE is judged before DEST is touched; the lock file is there already, readable. The first
// row proves that the runs as nobody could empty DEST, and that a SOURCE deep inside DEST is read
// whole, over several chunks, through the descriptor opened before the emptying took its name.
TEST_F(DestinationTest, AnUnusableSourceLeavesDestAsItWas) {
    s.sh("mkdir src-dir locked && cp t1.velk unreadable.velk && chmod 600 unreadable.velk && cp t1.velk locked/ &&"
         " chmod 700 locked && mkfifo fifo && : > .dest.velk-lock && chown nobody .dest.velk-lock");
    const std::string inside = dest() + "/in/deeper/p.velk";
    const struct { std::string source; bool asNobody; int expected; std::string why; } cases[] = {
        {inside, true, 0, ""},
        {s / "src-dir", false, kNotRegular, ": not a regular file\n"},
        {s / "fifo", false, kNotRegular, ": not a regular file\n"},
        {"/dev/null", false, kNotRegular, ": not a regular file\n"},
        {s / "unreadable.velk", true, kOpenFailed, ": cannot open(13,Permission denied)\n"},
        {s / "locked/t1.velk", true, kOpenFailed, ": cannot open(13,Permission denied)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        stale();
        s.sh("mkdir -p dest/in/deeper && cp big.velk " + quote(inside) + " && chown -R nobody:nogroup dest version");
        const std::string before = describeTree(dest());
        Launch how = unpack(c.source, dest());
        if (c.asNobody) how.argv = asNobody(how.argv);
        expectRun(run(how), c.expected, {c.expected == 0 ? kSuccess : "source " + c.source + c.why});
        EXPECT_EQ(describeTree(dest()), c.expected == 0 ? describeTree(s / "big") : before);
    }
}

// Held by strace as its first read of SOURCE returns (P1, exactly one chunk long, read but not
// unpacked), SOURCE rewritten in place (P1+P2 to P1+Q2) or appended to is not one update.
TEST_F(DestinationTest, SourceChangedWhileItIsRead) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
    s.sh("mkdir a b q && printf P2 > b/f && printf Q2 > q/f");
    writeFile(s / "a/noise.bin", seededBytes(kChunk - 12000, 21));
    // The package frame: file header 80, head block 656, head check 32, tail 32.
    const std::string first = readFile(packSized("a", "1.0", 1, kChunk - 800));
    const std::string p2 = readFile(packSized("b", "2.0", 2, 3000)), q2 = readFile(packSized("q", "9.9", 3, 3000));
    ASSERT_EQ(first.size(), kChunk);
    const std::string source = s / "source.velk";
    for (const auto& [atStart, then] : {std::pair{first + p2, first + q2}, std::pair{first, first + p2}}) {
        SCOPED_TRACE(atStart.size() == kChunk ? "appended to" : "rewritten in place");
        writeFile(source, atStart);
        stale();
        HeldRun held(unpack(source, dest()), "read", source);
        // Once DEST is emptied, strace's own short-lived children are gone, not taken for the program.
        ASSERT_TRUE(waitUntil([&] { return !exists(dest() + "/old"); }));
        ASSERT_TRUE(held.waitHeld([&] {
            return filePosition(held.program(), descriptorOn(held.program(), source)) == kChunk;
        })) << "the run was never held after its first chunk";
        writeFile(source, then);  // the same file, truncated and written again
        held.resume();
        expectRun(held.finish(), kIncomplete, {"source changed while it was read\n"});
    }
}

// While DEST is emptied, a thread swaps DEST/old (a folder) with DEST/swap (a link to `outside`)
// as fast as it can: nothing outside is removed, and a run that ends with 0 left the package's
// tree. strace holds each openat back a little, so that swaps fall between examining a name and
// opening it, and counts the times the program met the link where it had seen a folder.
TEST_F(DestinationTest, ALinkSwappedInWhileDestIsEmptied) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
    const std::regex metLinkCall("O_NOFOLLOW.*= -1 (ENOTDIR|ELOOP)");  // a link opened as a folder, not followed
    long metLink = 0;
    for (int i = 0; i < 40 && !HasFailure(); ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        stale();
        std::filesystem::create_directory_symlink(s / "outside", dest() + "/swap");
        const int destFd = open(dest().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::atomic<bool> stop{false};
        std::thread swapper([&] { while (!stop) renameat2(destFd, "old", destFd, "swap", RENAME_EXCHANGE); });
        const Outcome run = velktest::run(underStrace(unpack(p1, dest()), s / "trace.log", {"-e",
            "trace=openat", "-e", "status=failed", "-e", "inject=openat:delay_enter=500"}));
        stop = true;
        swapper.join();
        close(destFd);
        const bool ended0 = run.status == 0;
        expectRun(run, ended0 ? 0 : kIncomplete, {ended0 ? kSuccess : "dest " + dest() + " cannot be emptied"});
        EXPECT_TRUE(!ended0 || describeTree(dest()) == t1) << describeTree(dest());
        const std::string calls = readFile(s / "trace.log");
        metLink += std::distance(std::sregex_iterator(calls.begin(), calls.end(), metLinkCall), std::sregex_iterator());
    }
    RecordProperty("metLink", metLink);
    EXPECT_GT(metLink, 0) << "the swap never fell between examining a folder and opening it";
}

// DEST about 4000 bytes long, so that entries below it pass PATH_MAX. The first run empties a stale
// tree 60 levels deep and makes one 48 deep (16 levels open, 26 descriptors in all); the next run
// empties that one with 24 descriptors (emptying holds at most 8 folder streams).
TEST_F(DestinationTest, LongPathsAndDeepTreesWithFewDescriptors) {
    std::string longDest = s.path();
    while (longDest.size() < 3800) longDest += "/" + std::string(199, 'x');
    longDest += "/dest";
    s.sh("a=$(printf 'a/%.0s' $(seq 48)) && mkdir -p deep/$a && printf deepest > deep/${a}f && mkdir -p " +
         quote(longDest) + " && cd " + quote(longDest) + " && b=$(printf 'b/%.0s' $(seq 60)) && mkdir -p $b && : > ${b}g");
    const struct { std::string package, tree, plvs; rlim_t openFiles; } runs[] = {
        {s.pack("deep", "deep.velk", "4.0", 4), s / "deep", "4.0", 32}, {p1, s / "t1", "1.0", 24}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.tree);
        Launch how = unpack(r.package, longDest);
        if (!kEmulated) how.limits = {{RLIMIT_NOFILE, r.openFiles}};  // the emulator holds descriptors of its own
        expectRun(run(how), 0, {kSuccess});
        // Compared from inside: full paths below DEST would pass PATH_MAX.
        const std::string compare = "diff -r --no-dereference . " + quote(r.tree) + " 2>&1 || echo differs";
        EXPECT_EQ(shell("cd " + quote(longDest) + " 2>&1 && " + compare), "");
        EXPECT_EQ(readFile(version()), r.plvs);
    }
}

// A system call failing while entries are made: a line names the entry, the path and the errno.
// DEST in a pattern stands for DEST as given.
TEST_F(DestinationTest, FailuresNameThePathAndTheError) {
    PrivateMounts mounts;
    s.sh("mkdir -p dirs files/a fs mine/dest && for i in 01 02 03 04 05 06 07 08 09 10 11 12; do mkdir dirs/d$i &&"
         " printf x > files/a/f$i; done && chown -R nobody:nogroup mine");
    ASSERT_TRUE(mounts.entered() && mounts.mountTmpfs(s / "fs", "nr_inodes=8")) << mounts.problem();
    const std::string manyDirs = s.pack("dirs", "dirs.velk", "5.0", 5), manyFiles = s.pack("files", "files.velk", "5.1", 6);
    // Not where the emulator holds descriptors of its own, nor under a sanitizer, which checks memory
    // through a pipe of its own: with every descriptor taken it reports memory as unreadable and stops.
    const struct { std::string source, dest; rlim_t openFiles; int fileMask; std::string line; } cases[] = {
#if !defined(VELK_EMULATED) && !defined(VELK_SANITIZE_BUILD)
        {manyFiles, dest(), 9, -1, R"(dest DEST: cannot read /proc/self/mountinfo\(24,Too many open files\))"},
        {manyFiles, dest(), 10, -1, R"(tar: \./a/f0\d: open DEST/\./a/f0\d failed\(24,Too many open files\))"},
#endif
        {manyDirs, s / "fs/dest", 0, -1, R"(mkdir DEST/\./d\d\d failed\(28,No space left on device\))"},
        {manyFiles, s / "mine/dest", 0, 0777, R"(tar: \./a/f01: open DEST/\./a failed\(13,Permission denied\))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Launch how = unpack(c.source, c.dest);
        if (c.openFiles != 0) how.limits = {{RLIMIT_NOFILE, c.openFiles}};
        how.fileMask = c.fileMask;
        if (c.fileMask >= 0) how.argv = asNobody(how.argv);  // root would pass a umask of 0777
        const Outcome run = velktest::run(how);
        expectRun(run, kIncomplete, {});
        const std::string escapedDest = std::regex_replace(c.dest, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
        const std::regex line("(?:^|\n)" + std::regex_replace(c.line, std::regex("DEST"), escapedDest) + "\n");
        EXPECT_TRUE(std::regex_search(run.out, line)) << c.line << "\n" << run.out;
    }
}

}  // namespace
