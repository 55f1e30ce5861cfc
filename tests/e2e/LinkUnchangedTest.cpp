// --atomic --link-unchanged writes only what changed: a staged file whose bytes equal the old
// tree's file at its path becomes a hard link to it, a file that differs gets the old file's
// matching prefix copied and the rest written, and a file that does not qualify is written.
// The result is always the tree a plain install makes, and nothing of the old tree changes.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <regex>

#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::describeTree;
using velktest::Launch;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

namespace {

constexpr int kUsage = 255, kIncomplete = 249;
#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // strace would trace the emulator
#else
constexpr bool kEmulated = false;
#endif

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

nlink_t linksOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

// Version 1 and version 2 of a tree: same, first, middle and last byte changed, resized,
// added and removed files; and, for the files that must be written, a second old tree.
class LinkUnchangedTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell(cd() + "mkdir -p v1/bin v1/lib v1/etc && printf 'echo hello\\n' > v1/bin/tool && printf keep > v1/etc/c");
        velktest::writeFile(dir / "v1/lib/same.so", velktest::seededBytes(300000, 1));
        velktest::writeFile(dir / "v1/lib/hard", velktest::seededBytes(5000, 3));
        velktest::writeFile(dir / "v1/lib/mode", velktest::seededBytes(6000, 4));
        for (const char* name : {"first", "middle", "last", "resized", "removed"}) {
            velktest::writeFile(dir / (std::string("v1/lib/") + name), velktest::seededBytes(200000, 2));
        }
        shell(cd() + "cp -a v1 v2 && rm v2/lib/removed && printf new > v2/lib/added && printf x >> v2/lib/resized &&"
              " ln v2/lib/same.so v2/lib/twin.so");  // a hard link of the package to a file kept as it was
        flip("v2/lib/first", 0);
        flip("v2/lib/middle", 100000);
        flip("v2/lib/last", 199999);
        for (const char* tree : {"v1", "v2"}) pack(tree);
        newTree = describeTree(dir / "v2");
    }
    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    void flip(const std::string& file, size_t at) {
        std::string bytes = readFile(dir / file);
        bytes[at] = char(bytes[at] ^ 0x55);
        velktest::writeFile(dir / file, bytes);
    }
    void pack(const std::string& tree, const std::string& flags = "") {
        shell(cd() + "tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 " + flags + " -C " + tree +
              " -cf " + tree + ".tar . && " + velktest::refPacker() + " --label L --info '{\"PLVS\":\"" + tree +
              "\"}' --tar " + tree + ".tar -o " + tree + ".velk");
    }
    // DEST installed from v1, as a plain --atomic run leaves it.
    void installOld(const std::string& flags = "") {
        shell(cd() + "rm -rf dest .dest.velk-staging");
        ASSERT_EQ(run("--atomic " + flags + " v1.velk dest version"), 0) << readFile(dir / "log");
    }
    int run(const std::string& args, const std::string& tool = "") {
        return velktest::shellStatus(cd() + tool + " " + VELK_UNPACK + " " + args + " > log 2>&1");
    }

    velktest::TempDir dir;
    std::string newTree;
};

// Unchanged files keep their inode; the changed ones get the old bytes before the change copied
// (strace shows copy_file_range of exactly the length of the same prefix) and the rest written.
// DEST ends byte for byte as a plain install leaves it, each of its files with one link.
TEST_F(LinkUnchangedTest, OnlyWhatChangedIsWritten) {
    installOld();
    const ino_t same = inodeOf(dir / "dest/lib/same.so"), tool = inodeOf(dir / "dest/bin/tool");
    const std::string trace = dir / "trace";
    const std::string strace = kEmulated ? "" : velktest::commandLine(velktest::straceCommand(trace,
                                   {"-e", "trace=copy_file_range,linkat"}));
    ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version", strace), 0) << readFile(dir / "log");
    EXPECT_EQ(describeTree(dir / "dest"), newTree);
    EXPECT_EQ(readFile(dir / "version"), "v2");
    EXPECT_EQ(inodeOf(dir / "dest/lib/same.so"), same);
    EXPECT_EQ(inodeOf(dir / "dest/lib/twin.so"), same);
    EXPECT_EQ(inodeOf(dir / "dest/bin/tool"), tool);
    for (const char* name : {"lib/first", "lib/middle", "lib/last", "bin/tool"}) {
        EXPECT_EQ(linksOf(dir / ("dest/" + std::string(name))), 1u) << name;
    }
    EXPECT_EQ(linksOf(dir / "dest/lib/same.so"), 2u);  // and lib/twin.so
    if (kEmulated) return;
    const std::string calls = readFile(trace);
    auto copied = [&](const std::string& length) {
        return std::regex_search(calls, std::regex("copy_file_range\\(\\d+, \\[0\\], \\d+, NULL, " + length + ", 0\\)"));
    };
    EXPECT_TRUE(copied("100000") && copied("199999")) << calls;  // the middle and the last byte
    EXPECT_FALSE(copied("0")) << calls;                         // the first byte: nothing to copy
    const std::regex link("linkat\\(");
    EXPECT_EQ(std::distance(std::sregex_iterator(calls.begin(), calls.end(), link), std::sregex_iterator()), 6)
        << calls;  // the five unchanged files, and the package's own hard link
}

// A file is written, never linked, where linking would not give what a plain run makes: another
// size, no regular file at the path (a link, a folder, a FIFO), a second link to the old file
// (writing through it would show elsewhere), or with -p another mode. The old tree's own
// files are never changed.
TEST_F(LinkUnchangedTest, FilesThatDoNotQualifyAreWritten) {
    installOld();
    shell(cd() + "rm dest/lib/same.so && ln -s ../bin/tool dest/lib/same.so && rm dest/etc/c && mkdir dest/etc/c &&"
          " rm dest/bin/tool && mkfifo dest/bin/tool && ln dest/lib/hard hardlink && chmod 640 dest/lib/mode");
    const ino_t hard = inodeOf(dir / "dest/lib/hard"), mode = inodeOf(dir / "dest/lib/mode");
    const std::string outside = readFile(dir / "hardlink");
    ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version"), 0) << readFile(dir / "log");
    EXPECT_EQ(describeTree(dir / "dest"), newTree);
    EXPECT_NE(inodeOf(dir / "dest/lib/hard"), hard);
    EXPECT_NE(inodeOf(dir / "dest/lib/mode"), mode);
    EXPECT_EQ(readFile(dir / "hardlink"), outside);
    // With -p a file's mode is the entry's: the old 0640 file is not the 0644 one a run makes.
    installOld("-p");
    shell(cd() + "chmod 640 dest/lib/same.so");
    const ino_t same = inodeOf(dir / "dest/lib/same.so"), tool = inodeOf(dir / "dest/bin/tool");
    ASSERT_EQ(run("--atomic -p --link-unchanged v2.velk dest version"), 0) << readFile(dir / "log");
    EXPECT_NE(inodeOf(dir / "dest/lib/same.so"), same);
    EXPECT_EQ(inodeOf(dir / "dest/bin/tool"), tool);
    EXPECT_EQ(shell("stat -c %a " + quote(dir / "dest/lib/same.so")), "644\n");
    EXPECT_EQ(run("--link-unchanged v2.velk dest version"), kUsage);  // only with --atomic
}

// The staged name of an unchanged file is a hard link to the old file itself, made before the
// swap (strace -y names both ends). A package that fails after some files were linked leaves
// DEST the old tree, each file with its one link again.
TEST_F(LinkUnchangedTest, LinkedBeforeTheSwapAndGoneWithAFailure) {
    installOld();
    const std::string oldTree = describeTree(dir / "dest");
    if (!kEmulated) {
        const std::string trace = dir / "trace";
        ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version",
                      velktest::commandLine(velktest::straceCommand(trace, {"-y", "-e", "trace=linkat,renameat2"}))), 0);
        const std::string calls = readFile(trace);
        const size_t linked = calls.find("linkat(" ), swapped = calls.find("RENAME_EXCHANGE", calls.find("\"dest\""));
        ASSERT_NE(linked, std::string::npos) << calls;
        EXPECT_NE(calls.find("<" + dir / "dest/lib/same.so>, \"\", "), std::string::npos) << calls;
        EXPECT_NE(calls.find("<" + dir / ".dest.velk-staging/lib>, \"same.so\", AT_EMPTY_PATH"), std::string::npos) << calls;
        EXPECT_LT(linked, swapped) << calls;
        installOld();
    }
    // v2's gzip trailer made wrong: every file is written or linked before the failure shows.
    std::string gz = shell(cd() + "gzip -n -c v2.tar");
    gz[gz.size() - 8] = char(gz[gz.size() - 8] ^ 0x40);
    velktest::writeFile(dir / "bad.gz", gz);
    shell(cd() + velktest::refPacker() + " --label L --info '{\"PLVS\":\"bad\"}' --gzip bad.gz -o bad.velk");
    EXPECT_EQ(run("--atomic --link-unchanged bad.velk dest version"), kIncomplete);
    EXPECT_EQ(describeTree(dir / "dest"), oldTree);
    EXPECT_EQ(readFile(dir / "version"), "v1");
    EXPECT_EQ(linksOf(dir / "dest/lib/same.so"), 1u);
    EXPECT_FALSE(velktest::exists(dir / ".dest.velk-staging"));
}

// The running system may replace a file of DEST by rename while the run goes: what is linked is
// the file that was compared, through its descriptor, never whatever its path names by then.
TEST_F(LinkUnchangedTest, AFileReplacedByRenameMeanwhileIsNotTheOneLinked) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    installOld();
    Launch how;
    how.argv = {VELK_UNPACK, "--atomic", "--link-unchanged", dir / "v2.velk", dir / "dest", dir / "version"};
    how.out = dir / "log";
    velktest::HeldRun held(how, "linkat", dir.path() + "/.dest.velk-staging/bin");  // bin/tool comes first
    ASSERT_TRUE(held.waitHeld(SYS_linkat, [] { return true; }));
    shell(cd() + "printf 'echo WRONG\\n' > other && chmod 600 other && mv other dest/bin/tool");
    held.resume();
    EXPECT_EQ(held.finish().status, 0) << readFile(dir / "log");
    EXPECT_EQ(describeTree(dir / "dest"), newTree);
}

// Killed at a spread of calls while the tree is staged and at every call from the sync on:
// DEST is wholly the old tree or wholly the new one, and the old tree's files are byte for byte
// what they were whenever DEST is the old tree.
TEST_F(LinkUnchangedTest, KilledAtAnyCallDestIsWhollyOldOrNew) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    installOld();
    const std::string oldTree = describeTree(dir / "dest");
    const std::string args = "--atomic --link-unchanged v2.velk dest version";
    ASSERT_EQ(run(args, velktest::commandLine(velktest::straceRecording(dir / "trace"))), 0);
    const velktest::SyscallTrace trace = velktest::readSyscallTrace(readFile(dir / "trace"), "syncfs");
    ASSERT_TRUE(trace.markerSeen);
    size_t killed = 0, tried = 0;
    for (const velktest::CallPoint& point : velktest::killPoints(trace, 15)) {
        SCOPED_TRACE(point.shown());
        installOld();
        ++tried;
        Launch how;
        how.argv = velktest::straceInjecting(point.call, "signal=SIGKILL", point.when);
        how.argv.insert(how.argv.end(), {"--", VELK_UNPACK, "--atomic", "--link-unchanged", dir / "v2.velk",
                                         dir / "dest", dir / "version"});
        killed += velktest::run(how).signal == SIGKILL;
        const std::string now = describeTree(dir / "dest");
        EXPECT_TRUE(now == oldTree || now == newTree) << now;
    }
    EXPECT_EQ(killed, tried);
}

}  // namespace
