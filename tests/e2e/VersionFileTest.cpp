// The end of an install: the version file is reached under the entries' rules inside DEST,
// replaced atomically and only after the unpacked data is durable, and a dead reader of
// standard output changes nothing.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

constexpr const char* kOld = "an older, longer version";  // longer than "new": a mix would show

class VersionFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell("cd " + quote(dir.path()) + " && mkdir -p tree/etc outside && printf 'a=1\\n' > tree/etc/a.conf" +
              " && printf keep > outside/file && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0"
              " -C tree -cf content.tar . && " + velktest::refPacker() +
              " --label L --info '{\"PLVS\":\"new\"}' --seed 5 --tar content.tar -o p.velk");
    }

    // A package whose tree also holds `links` (name -> target), to plant at and above a version file.
    std::string plantedPackage(const std::map<std::string, std::string>& links) {
        shell("rm -rf " + quote(dir / "planted") + " && cp -a " + quote(dir / "tree") + " " + quote(dir / "planted"));
        for (const auto& [name, target] : links) shell("ln -s " + quote(target) + " " + quote(dir / "planted/" + name));
        shell("cd " + quote(dir.path()) + " && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0"
              " -C planted -cf planted.tar . && " + velktest::refPacker() +
              " --label L --info '{\"PLVS\":\"new\"}' --seed 6 --tar planted.tar -o planted.velk");
        return dir / "planted.velk";
    }

    int unpack(const std::string& source, const std::string& version, const std::string& prefix = "") {
        return velktest::shellStatus(prefix + VELK_UNPACK + " " + quote(source) + " " + quote(dest()) + " " +
                                     quote(version) + " > " + quote(dir / "log") + " 2>&1");
    }
    std::string log() const { return velktest::readFile(dir / "log"); }
    std::string dest() const { return dir / "dest"; }

    velktest::TempDir dir;
};

TEST_F(VersionFileTest, LinksAPackagePlantedAreNeverFollowedAnOperatorsLinkIs) {
    const std::string outside = dir / "outside";
    const std::string before = velktest::describeTree(outside);
    // At the name: the link is replaced by the version file.
    ASSERT_EQ(unpack(plantedPackage({{".version", outside + "/file"}}), dest() + "/.version"), 0) << log();
    struct stat st;
    ASSERT_EQ(lstat((dest() + "/.version").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(velktest::readFile(dest() + "/.version"), "new");
    // On the way, absolute or relative, and through DEST spelled with "..": refused.
    for (const std::string& link : {outside, std::string("../outside")}) {
        SCOPED_TRACE(link);
        const std::string version = dest() + "/../dest/meta/v";
        EXPECT_EQ(unpack(plantedPackage({{"meta", link}}), version), 250) << log();
        EXPECT_NE(log().find("version file " + version + ": refusing to go through the symbolic link "),
                  std::string::npos) << log();
    }
    EXPECT_EQ(velktest::describeTree(outside), before);
    // An operator's link outside DEST leads to the file that receives the value; the link stays.
    shell("ln -s outside/file " + quote(dir / "op-link") + " && chmod 640 " + quote(outside + "/file"));
    ASSERT_EQ(unpack(dir / "p.velk", dir / "op-link"), 0) << log();
    ASSERT_EQ(lstat((dir / "op-link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(velktest::readFile(outside + "/file"), "new");
    ASSERT_EQ(stat((outside + "/file").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // the replaced file keeps its permission bits
}

// A kill at every system call from the data sync to the end: the version file holds the old
// value or the new one, never anything else; the next run succeeds and leaves nothing behind.
TEST_F(VersionFileTest, KilledAtAnyCallOfTheReplacementTheFileIsOldOrNew) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "strace would trace the emulator";
#endif
    const std::string version = dir / "version";
    velktest::writeFile(version, kOld);
    const std::string traced = dir / "trace";
    ASSERT_EQ(unpack(dir / "p.velk", version, velktest::commandLine(velktest::straceRecording(traced)) + " "), 0)
        << log();
    const velktest::SyscallTrace trace = velktest::readSyscallTrace(velktest::readFile(traced), "syncfs");
    ASSERT_TRUE(trace.markerSeen) << "no syncfs in the trace";
    // The data is durable before the version file is renamed into place.
    const size_t from = trace.marker + 1;
    const auto rename = std::find(trace.calls.begin() + long(from), trace.calls.end(), "renameat");
    ASSERT_NE(rename, trace.calls.end());
    int killed = 0;
    for (size_t i = from; i < trace.calls.size(); ++i) {
        const std::string& call = trace.calls[i];
        const int when = velktest::occurrence(trace, i);
        if (call == "exit_group") continue;
        SCOPED_TRACE(call + " #" + std::to_string(when));
        velktest::writeFile(version, kOld);
        const std::vector<std::string> strace = velktest::straceInjecting(call, "signal=SIGKILL", when);
        const int status = unpack(dir / "p.velk", version, velktest::commandLine(strace) + " ");
        killed += status != 0;
        const std::string now = velktest::readFile(version);
        EXPECT_TRUE(now == kOld || now == "new") << now;
    }
    EXPECT_GT(killed, 5);
    ASSERT_EQ(unpack(dir / "p.velk", version), 0) << log();
    EXPECT_EQ(velktest::readFile(version), "new");
    EXPECT_FALSE(velktest::exists(dir / ".version.velk-new"));
}

// With standard output a pipe nobody reads, every message fails with EPIPE; the install is whole.
TEST_F(VersionFileTest, ADeadReaderOfStandardOutputChangesNothing) {
    const std::string version = dir / "version";
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        if (dup2(ends[1], STDOUT_FILENO) < 0) _exit(126);
        execl(VELK_UNPACK, VELK_UNPACK, (dir / "p.velk").c_str(), dest().c_str(), version.c_str(), nullptr);
        _exit(127);
    }
    close(ends[1]);
    int wait = 0;
    ASSERT_EQ(waitpid(pid, &wait, 0), pid);
    ASSERT_TRUE(WIFEXITED(wait)) << "ended by signal " << WTERMSIG(wait);
    EXPECT_EQ(WEXITSTATUS(wait), 0);
    EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(dir / "tree"));
    EXPECT_EQ(velktest::readFile(version), "new");
}

}  // namespace
