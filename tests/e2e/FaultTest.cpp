// Disk and system faults around velk-unpack (file size limit, full file system, unwritable version
// file, bad destination or source): each gives its status and message, changes nothing outside the
// destination and leaves no descriptor open (the test build reports "open descriptors at exit: N").

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

constexpr unsigned kHangSeconds = 10;  // a run still going after this is killed by SIGALRM

using velktest::Outcome;

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell("cd " + quote(dir.path()) + " && mkdir -p tree/d outside && printf 'v=1\\n' > tree/d/conf"
              " && ln -s d/conf tree/link && printf keep > outside/sentinel && ln -s sentinel outside/link");
        big = velktest::toHex(velktest::seededBytes(100000, 5));  // 200000 bytes; compresses to about half
        velktest::writeFile(dir / "tree/big.bin", big);
        shell("cd " + quote(dir.path()) + " && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0"
              " -C tree -cf content.tar . && " + velktest::refPacker() +
              " --label L --info '{\"PLVS\":\"4.2\"}' --seed 3 --tar content.tar -o p.velk && " +
              velktest::refPacker() + " --label L --info '{\"other\":1}' --seed 4 --tar content.tar -o noversion.velk");
        velktest::writeFile(dir / "version", "old");
        outsideBefore = velktest::describeTree(dir / "outside");
    }

    // Runs the test build of velk-unpack (no shell; only /dev/null and two logs inherited), with
    // at most `fileLimit` bytes per file when non-zero. Signals keep their default disposition,
    // as on a device: the program itself must keep a file size limit from killing it.
    Outcome unpack(const std::string& source, const std::string& dest, const std::string& version, rlim_t fileLimit) {
        velktest::Launch how;
        how.argv = {VELK_UNPACK_FDCHECK, source, dest, version};
        how.out = dir / "out.log";
        how.err = dir / "err.log";
        how.hangSeconds = kHangSeconds;
        if (fileLimit != 0) how.limits = {{RLIMIT_FSIZE, fileLimit}};
        return velktest::run(how);
    }

    // The checks every fault shares: status, message lines, no descriptor left, nothing changed
    // outside, and the version file written only on success (or on a failure to write it).
    void expectRun(const Outcome& run, int expected, const std::vector<std::string>& lines) {
        EXPECT_EQ(run.status, expected & 0xff) << "signal " << run.signal << "\n" << run.out << run.err;
        for (const std::string& line : lines) EXPECT_NE(run.out.find(line), run.out.npos) << line << "\n" << run.out;
        EXPECT_NE(run.err.find("open descriptors at exit: 3\n"), run.err.npos) << run.err;
        EXPECT_EQ(velktest::describeTree(dir / "outside"), outsideBefore);
        if (expected != 0 && expected != -6) {
            EXPECT_EQ(velktest::readFile(version()), "old");
        }
    }

    // True when dest/big.bin holds a proper prefix of the file, as a cut-short write leaves it.
    bool cutShort() {
        const std::string got = velktest::readFile(dest() + "/big.bin");
        return got.size() < big.size() && big.compare(0, got.size(), got) == 0;
    }

    std::string pkg() const { return dir / "p.velk"; }
    std::string dest() const { return dir / "dest"; }
    std::string version() const { return dir / "version"; }

    velktest::TempDir dir;
    std::string big, outsideBefore;
};

TEST_F(FaultTest, SourceDestinationAndVersionFile) {
    velktest::writeFile(dir / "empty.velk", "");
    shell("mkfifo " + quote(dir / "fifo") + " && printf data > " + quote(dir / "plain") + " && mkdir " + quote(dest()));
    const struct Case {
        const char* name;
        std::string source, dest, version;
        rlim_t fileLimit;  // bytes per file, 0 for none
        int expected;
        std::vector<std::string> lines;
        std::function<void()> more;
    } cases[] = {
        {"the program as is", pkg(), dest(), version(), 0, 0, {"tgz: unpack success\r\n"},
         [&] { EXPECT_EQ(velktest::readFile(version()), "4.2"); }},
        {"file size limit reached mid-file", pkg(), dest(), version(), 65536, -7,
         {"write failed(27,File too large)\n", "tgz: unpack fail\r\n"}, [&] { EXPECT_TRUE(cutShort()); }},
        {"version file on a full device", pkg(), dest(), "/dev/full", 0, -6,
         {"write failed(28,No space left on device)\n", "write version file /dev/full error -4\n"},
         [&] { EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(dir / "tree")); }},
        {"version file below a regular file: refused before DEST changes", pkg(), dest(), dir / "plain/version", 0, -6,
         {"version file " + dir / "plain/version: " + dir / "plain is not a folder\n"},
         [&] { EXPECT_TRUE(velktest::exists(dest() + "/keep")); }},
        {"no version", dir / "noversion.velk", dest(), version(), 0, -6, {"no PLVS version: "}, nullptr},
        {"empty source", dir / "empty.velk", dest(), version(), 0, -7, {"tgz: no package in the source\r\n"}, nullptr},
        {"destination is a regular file", pkg(), dir / "plain", version(), 0, -7,
         {"dest " + dir / "plain is not a directory\n"}, [&] { EXPECT_EQ(velktest::readFile(dir / "plain"), "data"); }},
        {"source vanished before the run", dir / "gone.velk", dest(), version(), 0, -2,
         {"source " + dir / "gone.velk: not found(2,No such file or directory)\n"},
         [&] { EXPECT_TRUE(velktest::exists(dest() + "/keep")); }},
        {"source is a FIFO", dir / "fifo", dest(), version(), 0, -4, {"source " + dir / "fifo: not a regular file\n"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        velktest::writeFile(dest() + "/keep", "stale");
        expectRun(unpack(c.source, c.dest, c.version, c.fileLimit), c.expected, c.lines);
        if (c.more) c.more();
        velktest::writeFile(version(), "old");
    }
}

// The tmpfs mounts live in a private mount namespace of the test process, so the machine never
// sees them and they go when the process ends, whatever happens.
TEST_F(FaultTest, FullAndReadOnlyFileSystems) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        GTEST_SKIP() << "no private mount namespace here: " << strerror(errno);
    }
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{dest()};  // the TempDir can then be removed
    shell("mkdir " + quote(dest()));
    ASSERT_EQ(mount("tmpfs", dest().c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
    expectRun(unpack(pkg(), dest(), version(), 0), -7,
              {"write failed(28,No space left on device)\n", "tgz: unpack fail\r\n"});
    EXPECT_TRUE(cutShort());

    ASSERT_EQ(umount2(dest().c_str(), 0), 0) << strerror(errno);  // a fresh one, read-only with a stale file
    ASSERT_EQ(mount("tmpfs", dest().c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
    velktest::writeFile(dest() + "/stale", "old file");
    const std::string before = velktest::describeTree(dest());
    ASSERT_EQ(mount(nullptr, dest().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
    expectRun(unpack(pkg(), dest(), version(), 0), -7,
              {"remove " + dest() + "/stale failed(30,Read-only file system)\n",
               "dest " + dest() + " cannot be emptied (-4)\n"});
    EXPECT_EQ(velktest::describeTree(dest()), before);
}

}  // namespace
