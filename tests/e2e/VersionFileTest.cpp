// The end of an install: the version file is reached under the entries' rules inside DEST,
// replaced atomically and only after the unpacked data is durable, and a dead reader of
// standard output changes nothing.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>

#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

constexpr const char* kOld = "an older, longer version";  // longer than "new": a mix would show

class VersionFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell(cd() + "mkdir -p tree/etc outside && printf 'a=1\\n' > tree/etc/a.conf && printf keep > outside/file");
        package("p.velk");
    }

    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    // dir/NAME, a package of dir/tree with the symbolic link `link` -> `target` added when given.
    std::string package(const std::string& name, const std::string& link = "", const std::string& target = "") {
        shell(cd() + "rm -rf t && cp -a tree t" + (link.empty() ? "" : " && ln -s " + quote(target) + " t/" + link) +
              " && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C t -cf t.tar . && " +
              velktest::refPacker() + " --label L --info '{\"PLVS\":\"new\"}' --tar t.tar -o " + name);
        return dir / name;
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
    const std::string outside = dir / "outside", before = velktest::describeTree(outside);
    // At the name: the link is replaced by the version file.
    ASSERT_EQ(unpack(package("at.velk", ".version", outside + "/file"), dest() + "/.version"), 0) << log();
    EXPECT_EQ(shell("stat -c '%F' " + quote(dest() + "/.version")), "regular file\n");
    EXPECT_EQ(velktest::readFile(dest() + "/.version"), "new");
    // On the way, absolute or relative, and through DEST spelled with "..": refused.
    for (const std::string& link : {outside, std::string("../outside")}) {
        SCOPED_TRACE(link);
        const std::string version = dest() + "/../dest/meta/v";
        EXPECT_EQ(unpack(package("above.velk", "meta", link), version), 250) << log();
        EXPECT_NE(log().find("refusing to go through the symbolic link " + dest() + "/meta\n"), std::string::npos)
            << log();
        EXPECT_NE(log().find("version file " + version + ": refusing to go through "), std::string::npos) << log();
    }
    EXPECT_EQ(velktest::describeTree(outside), before);
    // An operator's link outside DEST leads to the file that receives the value, which keeps its
    // permission bits; the link stays.
    shell(cd() + "ln -s outside/file op-link && chmod 640 outside/file");
    ASSERT_EQ(unpack(dir / "p.velk", dir / "op-link"), 0) << log();
    EXPECT_EQ(shell(cd() + "stat -c '%F' op-link && stat -c '%a' outside/file"), "symbolic link\n640\n");
    EXPECT_EQ(velktest::readFile(outside + "/file"), "new");
}

// A kill at every system call from the data sync to the end: the version file holds the old
// value or the new one, never anything else; the next run succeeds and leaves nothing behind.
TEST_F(VersionFileTest, KilledAtAnyCallOfTheReplacementTheFileIsOldOrNew) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "strace would trace the emulator";
#endif
    const std::string version = dir / "version", traced = dir / "trace";
    velktest::writeFile(version, kOld);
    ASSERT_EQ(unpack(dir / "p.velk", version, velktest::commandLine(velktest::straceRecording(traced)) + " "), 0)
        << log();
    const velktest::SyscallTrace trace = velktest::readSyscallTrace(velktest::readFile(traced), "syncfs");
    ASSERT_TRUE(trace.markerSeen) << "no syncfs in the trace";
    // The data is durable before the version file is renamed into place.
    ASSERT_NE(std::find(trace.calls.begin() + long(trace.marker), trace.calls.end(), "renameat"), trace.calls.end());
    size_t killed = 0, tried = 0;
    for (size_t i = trace.marker + 1; i < trace.calls.size(); ++i) {
        const std::string& call = trace.calls[i];
        const int when = velktest::occurrence(trace, i);
        if (call == "exit_group") continue;
        SCOPED_TRACE(call + " #" + std::to_string(when));
        velktest::writeFile(version, kOld);
        velktest::Launch how;
        how.argv = velktest::straceInjecting(call, "signal=SIGKILL", when);
        how.argv.insert(how.argv.end(), {"--", VELK_UNPACK, dir / "p.velk", dest(), version});
        ++tried;
        killed += velktest::run(how).signal == SIGKILL;  // a kill, not a failure that happened to come
        const std::string now = velktest::readFile(version);
        EXPECT_TRUE(now == kOld || now == "new") << now;
    }
    EXPECT_EQ(killed, tried) << "a run that was to be killed ended otherwise";
    EXPECT_GT(tried, 5u);
    ASSERT_EQ(unpack(dir / "p.velk", version), 0) << log();
    EXPECT_EQ(velktest::readFile(version), "new");
    EXPECT_FALSE(velktest::exists(dir / ".version.velk-new"));
}

// With standard output a pipe nobody reads, every message fails with EPIPE; the install is whole.
// python3 closes the reading end first and starts the program with SIGPIPE at its default.
TEST_F(VersionFileTest, ADeadReaderOfStandardOutputChangesNothing) {
    const char* kDeadReader = "import os, subprocess, sys; r, w = os.pipe(); os.close(r)\n"
                              "sys.exit(subprocess.run(sys.argv[1:], stdout=w).returncode)";
    EXPECT_EQ(velktest::shellStatus(cd() + quote(velktest::python()) + " -c " + quote(kDeadReader) + " " +
                                    VELK_UNPACK + " p.velk dest version"), 0);
    EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(dir / "tree"));
    EXPECT_EQ(velktest::readFile(dir / "version"), "new");
}

}  // namespace
