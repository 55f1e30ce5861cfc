// velk-unpack at the edges of DEST and SOURCE, run as a program: the root however spelled
// (in a throw-away chroot), DEST named through missing folders and links, two runs at once,
// unusable sources, a source inside DEST or changing while it is read, mount points and a
// racing link swap below DEST, paths past PATH_MAX, few descriptors, few inodes, a umask of
// 0777. Each case checks the status, the line that says why, and what DEST and the folders
// beside it hold afterwards.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/TestSupport.h"

using velktest::Launch;
using velktest::Outcome;
using velktest::quote;
using velktest::shell;

namespace {

constexpr int kUsage = 255;       // -1
constexpr int kNoSource = 254;    // -2
constexpr int kOpenFailed = 253;  // -3
constexpr int kNotRegular = 252;  // -4
constexpr int kIncomplete = 249;  // -7
constexpr size_t kChunk = 102400;  // the program reads SOURCE this much at a time
#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // the program runs under qemu-user, through a script
#else
constexpr bool kEmulated = false;
#endif
#ifdef VELK_SANITIZE_BUILD
constexpr bool kSanitized = true;  // the program runs with the address and undefined-behaviour sanitizers
#else
constexpr bool kSanitized = false;
#endif
const char kUsageLine[] = "params: source path; dest path; version\n";

// Makes a gzip stream of exactly SIZE bytes from FILE, the header's comment field padding it
// (argv: FILE SIZE OUT), so that a package can end exactly at a chunk boundary.
const char* const kExactGzip = R"(import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
c = zlib.compressobj(9, zlib.DEFLATED, -15)
body = c.compress(data) + c.flush()
head = b"\x1f\x8b\x08\x10\0\0\0\0\0\xff"
trailer = struct.pack("<II", zlib.crc32(data), len(data) & 0xffffffff)
pad = int(sys.argv[2]) - len(head) - len(body) - len(trailer) - 1
assert 0 <= pad <= 16000, pad
open(sys.argv[3], "wb").write(head + b"c" * pad + b"\0" + body + trailer)
)";

class DestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell("cd " + quote(dir.path()) + " && mkdir -p t1/etc outside/sub && printf 'one\\n' > t1/etc/conf"
              " && printf top > t1/top.txt && ln -s etc/conf t1/link && printf keep > outside/sentinel"
              " && printf deeper > outside/sub/s2 && ln -s sentinel outside/link");
        p1 = pack("t1", "1.0", 1);
        t1 = velktest::describeTree(dir / "t1");
        outsideBefore = velktest::describeTree(dir / "outside");
    }

    // A package of the independent Python packer holding folder `tree` (ustar, fixed flags), its
    // gzip stream padded to exactly `gzipSize` bytes when that is not 0. Gives its path.
    std::string pack(const std::string& tree, const std::string& plvs, int seed, size_t gzipSize = 0) {
        const std::string payload = gzipSize == 0 ? "--tar " + quote(tree + ".tar") : "--gzip " + quote(tree + ".gz");
        const std::string padded = " && " + quote(velktest::python()) + " -c " + quote(kExactGzip) + " " +
                                   quote(tree + ".tar") + " " + std::to_string(gzipSize) + " " + quote(tree + ".gz");
        shell("cd " + quote(dir.path()) + " && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C " +
              quote(tree) + " -cf " + quote(tree + ".tar") + " ." + (gzipSize == 0 ? "" : padded) + " && " +
              velktest::refPacker() + " --label L --info " + quote("{\"PLVS\":\"" + plvs + "\"}") + " --seed " +
              std::to_string(seed) + " " + payload + " -o " + quote(tree + ".velk"));
        return dir / (tree + ".velk");
    }

    // DEST with stale content, and the version file saying "old".
    void stale(const std::string& at) {
        shell("rm -rf " + quote(at) + " && mkdir -p " + quote(at + "/old/dir") + " && printf stale > " +
              quote(at + "/old/dir/f") + " && printf stale > " + quote(at + "/stale.txt"));
        velktest::writeFile(version(), "old");
    }

    // The test build of velk-unpack (it reports its open descriptors on standard error).
    Launch unpack(const std::string& source, const std::string& dest, const std::string& versionFile) const {
        Launch how;
        how.argv = {VELK_UNPACK_FDCHECK, source, dest, versionFile};
        how.out = dir / "out.log";
        how.err = dir / "err.log";
        return how;
    }

    // The checks every run shares: status, lines printed, no descriptor left open, nothing
    // changed outside, and the version file untouched unless the run succeeded.
    void expectRun(const Outcome& run, int expected, const std::vector<std::string>& lines) const {
        EXPECT_EQ(run.status, expected) << "signal " << run.signal << "\n" << run.all();
        for (const std::string& line : lines) EXPECT_NE(run.out.find(line), run.out.npos) << line << "\n" << run.out;
        EXPECT_NE(run.err.find("open descriptors at exit: 3\n"), run.err.npos) << run.err;
        EXPECT_EQ(velktest::describeTree(dir / "outside"), outsideBefore);
        if (expected != 0) {
            EXPECT_EQ(velktest::readFile(version()), "old");
        }
    }

    std::string dest() const { return dir / "dest"; }
    std::string version() const { return dir / "version"; }

    velktest::TempDir dir;
    std::string p1, t1, outsideBefore;
};

// The whole line of `text` that holds `part`, or "" when none does.
std::string lineWith(const std::string& text, const std::string& part) {
    const size_t at = text.find(part);
    if (at == std::string::npos) return std::string();
    const size_t begin = text.rfind('\n', at) + 1;  // npos + 1 == 0 on the first line
    return text.substr(begin, text.find('\n', at) - begin);
}

// `text` with every character that means something in an ECMAScript pattern escaped.
std::string escapeRegex(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// True when /proc/locks shows `pid` holding a write flock on `path` (a lock names its file as
// MAJOR:MINOR:INODE, the device numbers in hexadecimal).
bool holdsFlock(pid_t pid, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    char inode[64];
    snprintf(inode, sizeof inode, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    const std::string locks = velktest::readFile("/proc/locks");
    const std::string line = lineWith(locks, std::string(" ") + inode + " ");
    return line.find("FLOCK") != line.npos && line.find(" WRITE " + std::to_string(pid) + " ") != line.npos;
}

// ---------------------------------------------------------------------------------------------
// Names of DEST

// In a private mount namespace: /usr of the machine read-only and /proc, then chroot. Only
// system calls: this runs between fork and exec.
bool enterSmallRoot(const std::string& root, const std::string& usr, const std::string& proc) {
    return unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("/usr", usr.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
           mount(nullptr, usr.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0 &&
           mount("/proc", proc.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 && chroot(root.c_str()) == 0;
}

// The root spelled through missing folders resolves to "/" only after they are made: it must
// be refused before anything is made, in a root of its own where a wrong run could do no harm.
TEST_F(DestinationTest, TheRootHoweverSpelledIsRefused) {
    if (kEmulated) GTEST_SKIP() << "the program runs through an emulator script that a chroot does not hold";
    const std::string root = dir / "root", usr = root + "/usr", proc = root + "/proc";
    shell("mkdir -p " + quote(usr) + " " + quote(proc) + " && cd " + quote(root) +
          " && ln -s usr/lib lib && ln -s usr/lib64 lib64 && ln -s usr/bin bin && cp " +
          quote(VELK_UNPACK_FDCHECK) + " velk-unpack && cp " + quote(p1) + " p.velk");
    const std::string before = velktest::describeTree(root);
    const struct Case {
        std::string dest, workDir;
        int expected;
    } cases[] = {
        {"/dest", "/", 0},  // the chroot works: a plain DEST is installed
        {"/newdir/..", "/", kUsage},
        {"/a/b/../../", "/", kUsage},
        {"newdir/..", "/", kUsage},
        {"missing/../../..", "/usr", kUsage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dest + " from " + c.workDir);
        Launch how = unpack("/p.velk", c.dest, "/version");
        how.argv[0] = "/velk-unpack";
        how.workDir = c.workDir;
        how.inChild = [&] { return enterSmallRoot(root, usr, proc); };
        const Outcome run = velktest::run(how);
        EXPECT_EQ(run.status, c.expected) << run.all();
        if (c.expected == 0) {
            EXPECT_EQ(velktest::describeTree(root + "/dest"), t1);
            EXPECT_EQ(velktest::readFile(root + "/version"), "1.0");
            shell("rm -rf " + quote(root + "/dest") + " " + quote(root + "/version") + " " + quote(root + "/.dest.velk-lock"));
        } else {
            EXPECT_EQ(run.out, kUsageLine);
        }
        EXPECT_EQ(velktest::describeTree(root), before);
    }
}

// An existing folder named through a missing one is that folder: emptied and filled, and the
// missing one is not made. An operator's link as DEST keeps working: its target is used.
TEST_F(DestinationTest, ExistingFolderNamedThroughAMissingOneOrALink) {
    shell("cd " + quote(dir.path()) + " && mkdir current && ln -s current live");
    const struct Case {
        std::string dest;
    } cases[] = {{"staging/../current"}, {"live"}, {"live/../current"}, {"./staging/./../live/"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dest);
        stale(dir / "current");
        Launch how = unpack(p1, c.dest, version());
        how.workDir = dir.path();
        expectRun(velktest::run(how), 0, {"tgz: unpack success\r\n"});
        EXPECT_EQ(velktest::describeTree(dir / "current"), t1);
        EXPECT_EQ(velktest::readFile(version()), "1.0");
        EXPECT_FALSE(velktest::exists(dir / "staging"));
        EXPECT_TRUE(std::filesystem::is_symlink(dir / "live"));
    }
}

// ---------------------------------------------------------------------------------------------
// Two runs on one DEST

// The lock is beside DEST, on its resolved name: every spelling of DEST meets the same lock.
TEST_F(DestinationTest, ABusyDestinationIsLeftAlone) {
    shell("ln -s dest " + quote(dir / "live"));
    stale(dest());
    const std::string before = velktest::describeTree(dest());
    velktest::writeFile(dir / ".dest.velk-lock", "");
    const int lock = open((dir / ".dest.velk-lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    for (const std::string& spelling : {dest(), dir / "live", dir / "staging/../dest", dir / "live/"}) {
        SCOPED_TRACE(spelling);
        expectRun(velktest::run(unpack(p1, spelling, version())), kIncomplete,
                  {"dest " + spelling + " is busy: another update is running\n"});
        EXPECT_EQ(velktest::describeTree(dest()), before);
        EXPECT_FALSE(velktest::exists(dir / "staging"));
    }
    close(lock);  // a lock that is free again is taken
    expectRun(velktest::run(unpack(p1, dest(), version())), 0, {"tgz: unpack success\r\n"});
    EXPECT_EQ(velktest::describeTree(dest()), t1);
}

// Where DEST's parent cannot hold the lock file (not writable for the caller, or a read-only
// file system with DEST mounted on it) and there is none yet, DEST's own directory is locked:
// the run goes on, and a run that finds that directory locked is busy.
TEST_F(DestinationTest, WhereTheParentCannotHoldTheLockDestItselfIsLocked) {
    const bool privateMounts =
        unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    const std::string readOnly = dir / "ro", mine = dir / "mine";
    shell("cd " + quote(dir.path()) + " && chmod 755 . && chmod 644 t1.velk && mkdir -p ro mine/dest"
          " && chown nobody:nogroup mine/dest && chmod 755 mine");
    struct Unmount {
        std::vector<std::string> at;
        ~Unmount() { for (auto p = at.rbegin(); p != at.rend(); ++p) umount2(p->c_str(), MNT_DETACH); }
    } unmount;
    if (privateMounts) {
        ASSERT_EQ(mount("tmpfs", readOnly.c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
        unmount.at.push_back(readOnly);
        shell("mkdir " + quote(readOnly + "/dest"));
        ASSERT_EQ(mount("tmpfs", (readOnly + "/dest").c_str(), "tmpfs", 0, "size=1m"), 0) << strerror(errno);
        unmount.at.push_back(readOnly + "/dest");
        ASSERT_EQ(mount(nullptr, readOnly.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
    }
    const struct Case {
        const char* name;
        std::string dest;
        bool asNobody, needsMounts;
    } cases[] = {
        {"as nobody, in a folder nobody cannot write", mine + "/dest", true, false},
        {"on a read-only file system, DEST a mount of its own", readOnly + "/dest", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsMounts && !privateMounts) {
            ADD_FAILURE() << "no private mount namespace here";
            continue;
        }
        const std::string theirs = c.asNobody ? dir / "nobody-version" : version();
        velktest::writeFile(theirs, "old");
        if (c.asNobody) shell("chown nobody:nogroup " + quote(theirs));
        Launch how = unpack(p1, c.dest, theirs);
        if (c.asNobody) how.argv = velktest::asNobody(how.argv);
        Outcome run = velktest::run(how);
        EXPECT_EQ(run.status, 0) << run.all();
        EXPECT_EQ(velktest::describeTree(c.dest), t1);
        EXPECT_EQ(velktest::readFile(theirs), "1.0");
        EXPECT_FALSE(velktest::exists(std::filesystem::path(c.dest).parent_path() / ".dest.velk-lock"));

        const std::string before = velktest::describeTree(c.dest);
        const int lock = open(c.dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(lock, 0);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
        velktest::writeFile(theirs, "old");
        run = velktest::run(how);
        close(lock);
        EXPECT_EQ(run.status, kIncomplete) << run.all();
        EXPECT_NE(run.out.find("dest " + c.dest + " is busy: another update is running\n"), std::string::npos) << run.out;
        EXPECT_EQ(velktest::describeTree(c.dest), before);
        EXPECT_EQ(velktest::readFile(theirs), "old");
    }
}

// A first run is held by strace just as its flock returns; a second run on the same DEST must
// end at once without touching it; the first then finishes with the tree wholly its own.
TEST_F(DestinationTest, OverlappingRuns) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator, not the program";
    if (!velktest::onPath("strace")) GTEST_SKIP() << "no strace on this machine";
    shell("mkdir -p " + quote(dir / "t2/bin") + " && printf two > " + quote(dir / "t2/bin/tool"));
    const std::string p2 = pack("t2", "2.0", 2), lockPath = dir / ".dest.velk-lock";
    stale(dest());
    const std::string before = velktest::describeTree(dest());
    Launch firstHow = unpack(p1, dest(), version());
    firstHow.out = dir / "first.log";
    firstHow.err = dir / "first.err";
    velktest::HeldRun first(firstHow, "flock", lockPath);
    ASSERT_TRUE(first.waitHeld(SYS_flock, [&] {
        return holdsFlock(first.program(), lockPath) && velktest::describeTree(dest()) == before;
    })) << "the first run was never held inside its lock";

    expectRun(velktest::run(unpack(p2, dest(), version())), kIncomplete,
              {"dest " + dest() + " is busy: another update is running\n"});
    EXPECT_EQ(velktest::describeTree(dest()), before);

    first.resume();
    const Outcome firstRun = first.finish();
    EXPECT_EQ(firstRun.status, 0) << firstRun.all();
    EXPECT_NE(firstRun.out.find("tgz: unpack success\r\n"), std::string::npos) << firstRun.out;
    EXPECT_EQ(velktest::describeTree(dest()), t1);
    EXPECT_EQ(velktest::readFile(version()), "1.0");
}

// ---------------------------------------------------------------------------------------------
// SOURCE

// SOURCE is judged before DEST is touched. The runs as nobody own DEST, so an emptying would
// succeed there (the first row proves it); the temporary folder is made searchable for them,
// and the lock file is there already, readable.
TEST_F(DestinationTest, AnUnusableSourceLeavesDestAsItWas) {
    const auto [uid, gid] = velktest::nobodyIds();
    const std::string mine = dir / "nobody", theirs = mine + "/version";
    shell("cd " + quote(dir.path()) + " && chmod 755 . && chmod 644 t1.velk && mkdir src-dir locked nobody"
          " && mkfifo fifo && cp t1.velk unreadable.velk && chmod 600 unreadable.velk && cp t1.velk locked/"
          " && chmod 700 locked && chown nobody:nogroup nobody && : > .dest.velk-lock");
    const struct Case {
        const char* name;
        std::string source;
        bool asNobody;
        int expected;
        std::string line;
    } cases[] = {
        {"readable, as nobody", p1, true, 0, "tgz: unpack success\r\n"},
        {"a folder", dir / "src-dir", false, kNotRegular, "source " + dir / "src-dir: not a regular file\n"},
        {"a FIFO", dir / "fifo", false, kNotRegular, "source " + dir / "fifo: not a regular file\n"},
        {"a device", "/dev/null", false, kNotRegular, "source /dev/null: not a regular file\n"},
        {"missing", dir / "gone.velk", false, kNoSource,
         "source " + dir / "gone.velk: not found(2,No such file or directory)\n"},
        {"unreadable, as nobody", dir / "unreadable.velk", true, kOpenFailed,
         "source " + dir / "unreadable.velk: cannot open(13,Permission denied)\n"},
        {"in a folder nobody cannot search", dir / "locked/t1.velk", true, kOpenFailed,
         "source " + dir / "locked/t1.velk: cannot open(13,Permission denied)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stale(dest());
        velktest::writeFile(theirs, "old");
        ASSERT_EQ(chown(theirs.c_str(), uid, gid), 0);
        shell("chown -R nobody:nogroup " + quote(dest()));
        const std::string before = velktest::describeTree(dest());
        Launch how = unpack(c.source, dest(), c.asNobody ? theirs : version());
        if (c.asNobody) how.argv = velktest::asNobody(how.argv);
        expectRun(velktest::run(how), c.expected, {c.line});
        if (c.expected == 0) {
            EXPECT_EQ(velktest::describeTree(dest()), t1);
            EXPECT_EQ(velktest::readFile(theirs), "1.0");
        } else {
            EXPECT_EQ(velktest::describeTree(dest()), before);
            EXPECT_EQ(velktest::readFile(theirs), "old");
        }
    }
}

// A SOURCE inside DEST is read whole through the descriptor opened before the emptying, also
// when it spans several chunks; DEST then holds exactly the package's tree.
TEST_F(DestinationTest, SourceInsideDest) {
    shell("cp -r " + quote(dir / "t1") + " " + quote(dir / "big"));
    velktest::writeFile(dir / "big/blob.bin", velktest::seededBytes(3 * kChunk + 777, 8));
    const std::string big = pack("big", "3.1", 3), bigTree = velktest::describeTree(dir / "big");
    for (const std::string& inside : {std::string("p.velk"), std::string("incoming/deeper/p.velk")}) {
        SCOPED_TRACE(inside);
        stale(dest());
        shell("mkdir -p " + quote(std::filesystem::path(dest() + "/" + inside).parent_path()) + " && cp " + quote(big) +
              " " + quote(dest() + "/" + inside));
        expectRun(velktest::run(unpack(dest() + "/" + inside, dest(), version())), 0, {"tgz: unpack success\r\n"});
        EXPECT_EQ(velktest::describeTree(dest()), bigTree);
        EXPECT_EQ(velktest::readFile(version()), "3.1");
    }
}

// The run is held by strace as its first read of SOURCE returns (the first package, exactly
// one chunk long, read but not yet unpacked); the test then changes SOURCE and lets it go on.
// A file rewritten in place or appended to is not one update: -7. A file replaced by a rename
// leaves the open one whole: that one is installed, never a mix with the new one.
TEST_F(DestinationTest, SourceChangedWhileItIsRead) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator, not the program";
    if (!velktest::onPath("strace")) GTEST_SKIP() << "no strace on this machine";
    // P1 is exactly one chunk; P2 and Q2 have the same size and different content.
    shell("cd " + quote(dir.path()) + " && mkdir -p a/one b/two q/two && printf 'from P1' > a/common"
          " && printf 'from P2' > b/common && printf 'from Q2' > q/common && printf second > b/two/t"
          " && printf other > q/two/t");
    velktest::writeFile(dir / "a/one/noise.bin", velktest::seededBytes(kChunk - 12000, 21));
    const size_t kPackageFrame = 80 + 656 + 32 + 32;  // file header, head block, head check, tail
    const std::string first = velktest::readFile(pack("a", "1.0", 1, kChunk - kPackageFrame));
    const std::string second = velktest::readFile(pack("b", "2.0", 2, 3000));
    const std::string other = velktest::readFile(pack("q", "9.9", 3, 3000));
    ASSERT_EQ(first.size(), kChunk);
    ASSERT_EQ(second.size(), other.size());
    shell("cd " + quote(dir.path()) + " && mkdir both && tar -xf a.tar -C both && tar -xf b.tar -C both");
    const std::string bothTree = velktest::describeTree(dir / "both");

    const std::string source = dir / "source.velk";
    const struct Case {
        const char* name;
        std::string atStart;
        std::function<void()> change;
        int expected;
    } cases[] = {
        {"rewritten in place with another second package", first + second,
         [&] {
             const int fd = open(source.c_str(), O_WRONLY);
             ASSERT_EQ(pwrite(fd, other.data(), other.size(), off_t(kChunk)), ssize_t(other.size()));
             close(fd);
         },
         kIncomplete},
        {"appended to", first,
         [&] {
             const int fd = open(source.c_str(), O_WRONLY | O_APPEND);
             ASSERT_EQ(write(fd, second.data(), second.size()), ssize_t(second.size()));
             close(fd);
         },
         kIncomplete},
        {"replaced by a rename", first + second,
         [&] {
             velktest::writeFile(source + ".new", first + other);
             ASSERT_EQ(rename((source + ".new").c_str(), source.c_str()), 0);
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        velktest::writeFile(source, c.atStart);
        stale(dest());
        velktest::HeldRun held(unpack(source, dest(), version()), "read", source);
        ASSERT_TRUE(held.waitHeld(SYS_read, [&] {
            const int fd = velktest::descriptorOn(held.program(), source);
            return fd >= 0 && velktest::currentSyscall(held.program()).second == fd &&
                   velktest::filePosition(held.program(), fd) == static_cast<long long>(kChunk) &&
                   std::filesystem::is_empty(dest());
        })) << "the run was never held after its first chunk";
        c.change();
        held.resume();
        const Outcome run = held.finish();
        if (c.expected == 0) {
            // Either status is honest here (the file at SOURCE is no longer the one read, and its
            // ctime moved as it lost its name), but the install must be the old file whole.
            EXPECT_TRUE(run.status == 0 || run.status == kIncomplete) << run.all();
            EXPECT_EQ(velktest::describeTree(dest()), bothTree);
            EXPECT_EQ(velktest::readFile(version()), run.status == 0 ? "2.0" : "old");
        } else {
            expectRun(run, c.expected, {"source changed while it was read\n"});
        }
    }
}

// ---------------------------------------------------------------------------------------------
// What lies below DEST

// The mounts live in a private mount namespace of the test process, gone when it ends.
TEST_F(DestinationTest, MountPointsBelowDestAreNeverEntered) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        GTEST_SKIP() << "no private mount namespace here: " << strerror(errno);
    }
    shell("mkdir -p " + quote(dir / "elsewhere/sub") + " && printf kept > " + quote(dir / "elsewhere/file") +
          " && printf kept > " + quote(dir / "elsewhere/sub/deeper"));
    const std::string elsewhere = velktest::describeTree(dir / "elsewhere");
    const struct Case {
        const char* name;
        std::string at;    // below dir
        bool bind;         // of `elsewhere`, else a fresh tmpfs with a file
        bool refused;
    } cases[] = {
        {"a bind mount", "dest/bound", true, true},
        {"a tmpfs, deeper", "dest/old/dir/mem", false, true},
        {"a bind mount named with a blank", "dest/old/with blank", true, true},
        {"a tmpfs beside DEST, its name starting with DEST's", "dest2", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stale(dest());
        const std::string at = dir / c.at;
        shell("mkdir -p " + quote(at));
        struct Unmount {
            std::string at;
            ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
        } unmount{at};
        if (c.bind) {
            ASSERT_EQ(mount((dir / "elsewhere").c_str(), at.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
        } else {
            ASSERT_EQ(mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
            velktest::writeFile(at + "/on-tmpfs", "kept");
        }
        const std::string before = velktest::describeTree(dest()), mounted = velktest::describeTree(at);
        const Outcome run = velktest::run(unpack(p1, dest(), version()));
        if (c.refused) {
            expectRun(run, kIncomplete, {at + " is a mount point: nothing on it is removed\n",
                                         "dest " + dest() + " cannot be emptied (-5)\n"});
            EXPECT_EQ(velktest::describeTree(dest()), before);
        } else {
            expectRun(run, 0, {"tgz: unpack success\r\n"});
            EXPECT_EQ(velktest::describeTree(dest()), t1);
        }
        EXPECT_EQ(velktest::describeTree(at), mounted);
        EXPECT_EQ(velktest::describeTree(dir / "elsewhere"), elsewhere);
    }
}

// While DEST is emptied, a thread swaps DEST/cache (a folder full of files) with DEST/swap (a
// link to `outside`) as fast as it can. However the swaps fall, nothing outside is removed, and
// a run that ends with 0 left exactly the package's tree. Where strace is at hand it holds each
// openat back a little, so that swaps fall between examining a name and opening it, and the times
// the program met the link where it had seen a folder are counted: the race must really be run.
TEST_F(DestinationTest, ALinkSwappedInWhileDestIsEmptied) {
    const bool traced = !kEmulated && velktest::onPath("strace");
    constexpr int kRuns = kEmulated ? 30 : 100, kFiles = 20;
    constexpr int kOpenDelay = 500;  // microseconds before each openat: the swap falls in the gap
    const std::string log = dir / "trace.log";
    int metLink = 0, ended0 = 0;
    for (int i = 0; i < kRuns && !HasFailure(); ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        std::filesystem::remove_all(dest());
        std::filesystem::create_directories(dest() + "/cache");
        for (int f = 0; f < kFiles; ++f) velktest::writeFile(dest() + "/cache/c" + std::to_string(f), "cached");
        std::filesystem::create_directory_symlink(dir / "outside", dest() + "/swap");
        const int destFd = open(dest().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(destFd, 0);
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            while (!stop) renameat2(destFd, "cache", destFd, "swap", RENAME_EXCHANGE);
        });
        Launch how = unpack(p1, dest(), version());
        if (traced) {
            how = velktest::underStrace(how, {"-o", log, "-e", "trace=openat", "-e", "status=failed", "-e",
                                              "inject=openat:delay_enter=" + std::to_string(kOpenDelay)});
        }
        const Outcome run = velktest::run(how);
        stop = true;
        swapper.join();
        close(destFd);
        EXPECT_EQ(velktest::describeTree(dir / "outside"), outsideBefore);
        if (run.status == 0) {
            ++ended0;
            EXPECT_EQ(velktest::describeTree(dest()), t1);
        } else {
            EXPECT_EQ(run.status, kIncomplete) << "signal " << run.signal << "\n" << run.all();
            EXPECT_NE(run.out.find("dest " + dest() + " cannot be emptied"), std::string::npos) << run.out;
        }
        if (traced) {
            // A link opened as a folder without following it: ENOTDIR (ELOOP on some systems).
            std::istringstream calls(velktest::readFile(log));
            for (std::string call; std::getline(calls, call);) {
                if (call.find("O_NOFOLLOW") != call.npos && (call.find("= -1 ENOTDIR") != call.npos ||
                                                            call.find("= -1 ELOOP") != call.npos)) ++metLink;
            }
        }
    }
    RecordProperty("metLink", metLink);
    RecordProperty("ended0", ended0);
    if (traced) {
        EXPECT_GT(metLink, 0) << "the swap never fell between examining a folder and opening it";
    }
}

// ---------------------------------------------------------------------------------------------
// Sizes and limits

// DEST about 4000 bytes long, so that entries below it pass PATH_MAX, and a tree as deep as
// 100-byte tar names allow, with few descriptors: the first run empties a stale tree deeper
// still, the second empties what the first installed. Making a tree that deep holds 16 levels
// open (26 descriptors in all); emptying holds at most 8 streams, so a stale tree of 60 levels
// goes with 24 descriptors.
TEST_F(DestinationTest, LongPathsAndDeepTreesWithFewDescriptors) {
    std::string chain, stalePath;
    for (int level = 0; level < 48; ++level) chain += "a/";
    for (int level = 0; level < 60; ++level) stalePath += "b/";
    shell("mkdir -p " + quote(dir / "deep/" + chain) + " && printf deepest > " + quote(dir / "deep/" + chain + "f") +
          " && printf top > " + quote(dir / "deep/top"));
    const std::string deep = pack("deep", "4.0", 4), deepTree = velktest::describeTree(dir / "deep");
    std::string longDest = dir.path();
    while (longDest.size() < 3800) longDest += "/" + std::string(199, 'x');
    longDest += "/dest";
    ASSERT_LT(longDest.size(), size_t(PATH_MAX));
    // The tree below a DEST that long cannot be listed by full paths: list it from inside.
    const auto describe = [](const std::string& at) {
        const std::filesystem::path back = std::filesystem::current_path();
        if (chdir(at.c_str()) != 0) return std::string("cannot enter");
        const std::string listing = velktest::describeTree(".");
        std::filesystem::current_path(back);
        return listing;
    };
    const struct Case {
        const char* name;
        std::string dest, package, tree, plvs;
        rlim_t openFiles;  // 0: as the test has it
    } cases[] = {
        {"long DEST", longDest, deep, deepTree, "4.0", 0},
        {"deep tree, 32 descriptors", dest(), deep, deepTree, "4.0", 32},
        {"long DEST, deep tree, 32 descriptors", longDest, deep, deepTree, "4.0", 32},
        {"long DEST, a stale tree 60 deep, 24 descriptors", longDest, p1, t1, "1.0", 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.openFiles != 0 && kEmulated) continue;  // the emulator holds descriptors of its own
        shell("mkdir -p " + quote(c.dest) + " && cd " + quote(c.dest) + " && mkdir -p " + stalePath +
              " && printf stale > " + stalePath + "g");
        velktest::writeFile(version(), "old");
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round == 0 ? "over a stale tree" : "over its own tree");
            Launch how = unpack(c.package, c.dest, version());
            if (c.openFiles != 0) how.limits = {{RLIMIT_NOFILE, c.openFiles}};
            expectRun(velktest::run(how), 0, {"tgz: unpack success\r\n"});
            EXPECT_EQ(describe(c.dest), c.tree);
            EXPECT_EQ(velktest::readFile(version()), c.plvs);
            velktest::writeFile(version(), "old");
        }
        shell("rm -rf " + quote(c.dest));
    }
}

// When a system call fails while entries are made, a line names the entry, the path and the
// errno: descriptors run out, inodes run out (a tmpfs of 8 inodes in a private mount namespace),
// directories made unsearchable by a umask of 0777 (as nobody: root would pass). DEST in the
// expected lines stands for DEST as given.
TEST_F(DestinationTest, FailuresNameThePathAndTheError) {
    const bool privateMounts =
        unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    shell("cd " + quote(dir.path()) + " && chmod 755 . && mkdir -p dirs files/a fs && for i in 01 02 03 04 05 06 07 08"
          " 09 10 11 12; do mkdir dirs/d$i && printf x > files/a/f$i; done && mkdir -p mine/dest"
          " && chown -R nobody:nogroup mine");
    const std::string manyDirs = pack("dirs", "5.0", 5), manyFiles = pack("files", "5.1", 6);
    const struct Case {
        const char* name;
        std::string source, dest;
        std::vector<std::pair<int, rlim_t>> limits;
        int fileMask;
        bool asNobody, needsMounts;
        std::string line;  // an ECMAScript pattern for the whole line
    } cases[] = {
        {"descriptors run out", manyFiles, dest(), {{RLIMIT_NOFILE, 8}}, -1, false, false,
         R"(tar: \./a/f01: open DEST/\./a/f01 failed\(24,Too many open files\))"},
        {"inodes run out making folders", manyDirs, dir / "fs/dest", {}, -1, false, true,
         R"(mkdir DEST/\./d\d\d failed\(28,No space left on device\))"},
        {"inodes run out making files", manyFiles, dir / "fs/dest", {}, -1, false, true,
         R"(tar: \./a/f(\d\d): open DEST/\./a/f\1 failed\(28,No space left on device\))"},
        {"umask 0777", manyFiles, dir / "mine/dest", {}, 0777, true, false,
         R"(tar: \./a/f01: open DEST/\./a failed\(13,Permission denied\))"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The emulator holds descriptors of its own, and a sanitizer checks memory through a pipe
        // of its own: with every descriptor taken it reports memory as unreadable and stops.
        if (!c.limits.empty() && (kEmulated || kSanitized)) continue;
        if (c.needsMounts && !privateMounts) {
            ADD_FAILURE() << "no private mount namespace here: " << strerror(errno);
            continue;
        }
        struct Unmount {
            std::string at;
            ~Unmount() {
                if (!at.empty()) umount2(at.c_str(), MNT_DETACH);
            }
        } unmount{c.needsMounts ? dir / "fs" : ""};
        if (c.needsMounts) {
            ASSERT_EQ(mount("tmpfs", (dir / "fs").c_str(), "tmpfs", 0, "size=1m,nr_inodes=8"), 0) << strerror(errno);
        }
        velktest::writeFile(version(), "old");
        Launch how = unpack(c.source, c.dest, version());
        how.limits = c.limits;
        how.fileMask = c.fileMask;
        if (c.asNobody) how.argv = velktest::asNobody(how.argv);
        const Outcome run = velktest::run(how);
        expectRun(run, kIncomplete, {"tgz: unpack fail\r\n"});
        const std::regex line("(?:^|\n)" + std::regex_replace(c.line, std::regex("DEST"), escapeRegex(c.dest)) + "\n");
        EXPECT_TRUE(std::regex_search(run.out, line)) << c.line << "\n" << run.out;
    }
}

}  // namespace
