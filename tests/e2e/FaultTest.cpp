// Disk and system faults around velk-unpack: a file size limit and a full file system
// mid-file, an unwritable version file, read-only and non-directory destinations, a
// missing or special source. Each gives its documented status and a message, changes
// nothing outside the destination and leaves no descriptor open (the test build of the
// program reports "open descriptors at exit: N" on standard error).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

constexpr int status(int code) { return code & 0xff; }
constexpr unsigned kHangSeconds = 10;  // a run still going after this is killed by SIGALRM

struct RunResult {
    int status = -1;  // exit status 0..255, or -1 when ended by a signal
    std::string out, err;
};

// The three arguments of one run.
struct Paths {
    std::string source, dest, version;
};

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

    // Runs the test build of velk-unpack (fork and exec, no shell) with at most `fileLimit`
    // bytes per file when it is non-zero, SIGXFSZ ignored so that writes fail instead.
    RunResult unpack(const Paths& p, rlim_t fileLimit = 0) {
        const std::string out = dir / "out.log", err = dir / "err.log";
        const char* argv[] = {VELK_UNPACK_FDCHECK, p.source.c_str(), p.dest.c_str(), p.version.c_str(), nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            // Descriptors 0, 1 and 2 are /dev/null and the two logs; no other is inherited.
            int fds[3] = {open("/dev/null", O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                          open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
            for (int i = 0; i < 3; ++i) fds[i] = fcntl(fds[i], F_DUPFD, 10);
            for (int i = 0; i < 3; ++i) {
                if (dup2(fds[i], i) < 0) _exit(126);
            }
            close_range(3, ~0u, 0);
            const rlimit limit = {fileLimit, fileLimit};
            if (fileLimit != 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
            signal(SIGXFSZ, SIG_IGN);
            signal(SIGALRM, SIG_DFL);
            alarm(kHangSeconds);
            execv(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        int wait = 0;
        RunResult run;
        if (pid < 0 || waitpid(pid, &wait, 0) != pid) return run;
        run.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        run.out = velktest::readFile(out);
        run.err = velktest::readFile(err);
        return run;
    }

    // The checks every fault shares: status, message, no descriptor left, nothing
    // changed outside, and the version file written only on success.
    void expectRun(const RunResult& run, int expected, const std::vector<std::string>& lines) {
        EXPECT_EQ(run.status, status(expected)) << run.out << run.err;
        for (const std::string& line : lines) EXPECT_NE(run.out.find(line), run.out.npos) << line << "\n" << run.out;
        EXPECT_NE(run.err.find("open descriptors at exit: 3\n"), run.err.npos) << run.err;
        EXPECT_EQ(velktest::describeTree(dir / "outside"), outsideBefore);
        if (expected != 0 && expected != -6) {
            EXPECT_EQ(velktest::readFile(dir / "version"), "old");
        }
    }

    // True when dest/big.bin holds a proper prefix of the file, as a cut-short write leaves it.
    bool cutShort(const std::string& dest) {
        const std::string got = velktest::readFile(dest + "/big.bin");
        return got.size() < big.size() && big.compare(0, got.size(), got) == 0;
    }

    std::string pkg() const { return dir / "p.velk"; }
    std::string dest() const { return dir / "dest"; }

    velktest::TempDir dir;
    std::string big, outsideBefore;
};

TEST_F(FaultTest, SourceDestinationAndVersionFile) {
    std::string flipped = velktest::readFile(pkg());
    flipped[flipped.size() - 5000] ^= 4;
    velktest::writeFile(dir / "flipped.velk", flipped);
    velktest::writeFile(dir / "empty.velk", "");
    velktest::writeFile(dir / "gone.velk", "VELK");
    ASSERT_EQ(unlink((dir / "gone.velk").c_str()), 0);
    shell("mkfifo " + quote(dir / "fifo") + " && printf data > " + quote(dir / "plain") + " && mkdir " +
          quote(dir / "dest"));
    const struct Case {
        const char* name;
        Paths paths;
        rlim_t fileLimit;  // bytes per file, 0 for none
        int expected;
        std::vector<std::string> lines;
        std::function<void(const RunResult&)> more;
    } cases[] = {
        {"the program as is", {pkg(), dest(), dir / "version"}, 0, 0, {"tgz: unpack success\r\n"},
         [&](const RunResult&) { EXPECT_EQ(velktest::readFile(dir / "version"), "4.2"); }},
        {"file size limit reached mid-file", {pkg(), dest(), dir / "version"}, 65536, -7,
         {"write failed(27,File too large)\n", "tgz: unpack fail\r\n"},
         [&](const RunResult&) { EXPECT_TRUE(cutShort(dest())); }},
        {"version file on a full device", {pkg(), dest(), "/dev/full"}, 0, -6,
         {"write failed(28,No space left on device)\n", "write version file /dev/full error -4\n"},
         [&](const RunResult&) { EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(dir / "tree")); }},
        {"version file below a regular file", {pkg(), dest(), dir / "plain/version"}, 0, -6,
         {"write version file " + dir / "plain/version error -3\n"}, nullptr},
        {"no version", {dir / "noversion.velk", dest(), dir / "version"}, 0, -6, {"no PLVS version: "}, nullptr},
        {"damaged payload", {dir / "flipped.velk", dest(), dir / "version"}, 0, -7, {"tgz: unpack fail\r\n"}, nullptr},
        {"empty source", {dir / "empty.velk", dest(), dir / "version"}, 0, -7, {"tgz: no package in the source\r\n"},
         nullptr},
        {"destination is a regular file", {pkg(), dir / "plain", dir / "version"}, 0, -7,
         {"dest " + dir / "plain is not a directory\n"},
         [&](const RunResult&) { EXPECT_EQ(velktest::readFile(dir / "plain"), "data"); }},
        {"source deleted before the run", {dir / "gone.velk", dest(), dir / "version"}, 0, -2,
         {"source " + dir / "gone.velk: not found(2,No such file or directory)\n"},
         [&](const RunResult&) { EXPECT_TRUE(velktest::exists(dest() + "/keep")); }},
        {"source is a FIFO", {dir / "fifo", dest(), dir / "version"}, 0, -4,
         {"source " + dir / "fifo: not a regular file\n"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        velktest::writeFile(dest() + "/keep", "stale");
        const RunResult run = unpack(c.paths, c.fileLimit);
        expectRun(run, c.expected, c.lines);
        if (c.more) c.more(run);
        velktest::writeFile(dir / "version", "old");
    }
}

// A private mount namespace keeps the test's mounts away from the rest of the machine and
// drops them when the test process ends, whatever happens.
class ScratchMount {
public:
    static bool available(std::string& why) {
        static const std::string reason = [] {
            if (unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
            if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return std::string("MS_PRIVATE failed");
            return std::string();
        }();
        why = reason;
        return reason.empty();
    }
    ScratchMount(const std::string& at, const char* options) : path(at) {
        mounted = mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0;
    }
    ~ScratchMount() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
    bool readOnly() { return mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }
    bool mounted;

private:
    std::string path;
};

TEST_F(FaultTest, FullAndReadOnlyFileSystems) {
    std::string why;
    if (!ScratchMount::available(why)) GTEST_SKIP() << "no private mount namespace here: " << why;
    shell("mkdir " + quote(dest()));
    {
        ScratchMount full(dest(), "size=64k");
        ASSERT_TRUE(full.mounted) << strerror(errno);
        const RunResult run = unpack({pkg(), dest(), dir / "version"});
        expectRun(run, -7, {"write failed(28,No space left on device)\n", "tgz: unpack fail\r\n"});
        EXPECT_TRUE(cutShort(dest()));
    }
    {
        ScratchMount readOnly(dest(), "size=64k");
        ASSERT_TRUE(readOnly.mounted) << strerror(errno);
        velktest::writeFile(dest() + "/stale", "old file");
        const std::string before = velktest::describeTree(dest());
        ASSERT_TRUE(readOnly.readOnly()) << strerror(errno);
        const RunResult run = unpack({pkg(), dest(), dir / "version"});
        expectRun(run, -7, {"remove " + dest() + "/stale failed(30,Read-only file system)\n",
                            "dest " + dest() + " cannot be emptied (-4)\n", "tgz: unpack fail\r\n"});
        EXPECT_EQ(velktest::describeTree(dest()), before);
    }
}

}  // namespace
