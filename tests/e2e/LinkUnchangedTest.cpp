// --atomic --link-unchanged writes only what changed: a staged file whose bytes equal the old
// tree's file at its path becomes a hard link to it, a file that differs gets the old file's
// matching prefix copied and the rest written, and a file that does not qualify is written.
// The result is always the tree a plain install makes, and nothing of the old tree changes.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <sstream>

#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

nlink_t linksOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

// Whether `signal` is queued to the process `pid` (/proc/PID/status, SigPnd or ShdPnd).
bool signalPending(pid_t pid, int signal) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigPnd:", 0) != 0 && line.rfind("ShdPnd:", 0) != 0) continue;
        if ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1) return true;
    }
    return false;
}

// Version 1 and version 2 of a tree: same, first, middle and last byte changed, resized,
// added and removed files; and, for the files that must be written, a second old tree.
class LinkUnchangedTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p v1/bin v1/lib v1/etc && printf 'echo hello\\n' > v1/bin/tool && printf keep > v1/etc/c");
        writeFile(s / "v1/lib/same.so", seededBytes(1300000, 1));  // over a MiB: never held whole
        writeFile(s / "v1/lib/hard", seededBytes(5000, 3));
        writeFile(s / "v1/lib/mode", seededBytes(6000, 4));
        for (const char* name : {"first", "middle", "last", "resized", "removed"}) {
            writeFile(s / (std::string("v1/lib/") + name), seededBytes(200000, 2));
        }
        s.sh("cp -a v1 v2 && rm v2/lib/removed && printf new > v2/lib/added && printf x >> v2/lib/resized &&"
             " ln v2/lib/same.so v2/lib/twin.so");  // a hard link of the package to a file kept as it was
        writeFile(s / "v1/lib/last", seededBytes(1300000, 2));  // over the MiB held: its start is copied
        s.sh("cp v1/lib/last v2/lib/last");
        flip("v2/lib/first", 0);
        flip("v2/lib/middle", 100000);
        flip("v2/lib/last", 1299999);
        for (const char* tree : {"v1", "v2"}) s.pack(tree, std::string(tree) + ".velk", tree);
        newTree = describeTree(s / "v2");
    }
    void flip(const std::string& file, size_t at) {
        std::string bytes = readFile(s / file);
        bytes[at] = char(bytes[at] ^ 0x55);
        writeFile(s / file, bytes);
    }
    // DEST installed from v1, as a plain --atomic run leaves it.
    void installOld(const std::string& flags = "") {
        s.sh("rm -rf dest .dest.*velk-staging");
        ASSERT_EQ(run("--atomic " + flags + " v1.velk dest version"), 0) << s.log();
    }
    int run(const std::string& args, const std::string& tool = "") {
        return shellStatus(s.cd() + tool + " " + VELK_UNPACK + " " + args + " > log 2>&1");
    }

    Scene s;
    std::string newTree;
};

// Unchanged files keep their inode, and not a byte of them is written. Through the old tree's
// index no old file is compared by reading (strace -y shows no pread of a file of DEST, only
// of the index): a changed file within the first MiB is written from memory, and a longer one
// gets the old file's blocks before the one that differs copied (copy_file_range of whole
// 64 KiB blocks) and the rest written; without the index the changed ones get the old bytes
// before the change copied (exactly the length of the same prefix). DEST ends byte for byte as
// a plain install leaves it, each of its files with one link.
TEST_F(LinkUnchangedTest, OnlyWhatChangedIsWritten) {
    for (const bool indexed : {true, false}) {
        SCOPED_TRACE(indexed ? "with the old tree's index" : "without an index");
        installOld();
        if (!indexed) s.sh("rm .dest.velk-index");
        const ino_t same = inodeOf(s / "dest/lib/same.so"), tool = inodeOf(s / "dest/bin/tool");
        const std::string trace = s / "trace";
        const std::string strace = kEmulated ? "" : commandLine(straceCommand(trace,
                                       {"-y", "-e", "trace=copy_file_range,linkat,pread64,read,write"}));
        ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version", strace), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), newTree);
        EXPECT_EQ(readFile(s / "version"), "v2");
        EXPECT_EQ(inodeOf(s / "dest/lib/same.so"), same);
        EXPECT_EQ(inodeOf(s / "dest/lib/twin.so"), same);
        EXPECT_EQ(inodeOf(s / "dest/bin/tool"), tool);
        for (const char* name : {"lib/first", "lib/middle", "lib/last", "bin/tool"}) {
            EXPECT_EQ(linksOf(s / ("dest/" + std::string(name))), 1u) << name;
        }
        EXPECT_EQ(linksOf(s / "dest/lib/same.so"), 2u);  // and lib/twin.so
        if (kEmulated) continue;
        const std::string calls = readFile(trace);
        auto copied = [&](const std::string& length) {
            return std::regex_search(calls, std::regex("copy_file_range\\(\\d+<[^>]*>, \\[0\\], \\d+<[^>]*>, NULL, " + length +
                                                       ", 0\\)"));
        };
        const bool oldRead = std::regex_search(calls, std::regex("(pread64|read)\\(\\d+<" + s / "dest/"));
        EXPECT_EQ(oldRead, !indexed) << calls;
        EXPECT_EQ(copied("100000") && copied("1299999"), !indexed) << calls;  // the middle and the last byte
        EXPECT_EQ(copied("1245184"), indexed) << calls;                      // the last one's blocks before it
        const std::regex copy("copy_file_range\\(");
        const auto copies = std::distance(std::sregex_iterator(calls.begin(), calls.end(), copy), std::sregex_iterator());
        EXPECT_TRUE(!indexed || copies == 1) << calls;  // the shorter ones were written from memory
        EXPECT_FALSE(copied("0")) << calls;                                 // the first byte: nothing to copy
        EXPECT_FALSE(std::regex_search(calls, std::regex("write\\(\\d+<[^>]*/lib/(same\\.so|twin\\.so)>"))) << calls;
        const std::regex link("linkat\\(");
        EXPECT_EQ(std::distance(std::sregex_iterator(calls.begin(), calls.end(), link), std::sregex_iterator()), 6)
            << calls;  // the five unchanged files, and the package's own hard link
    }
}

// Root updating a tree that belongs to a service user makes every file that user's, and so a
// file of that user's old tree is what writing gives: the unchanged files are linked.
TEST_F(LinkUnchangedTest, RootInAServiceUsersTreeLinksTheUnchangedFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    s.sh("rm -rf dest && mkdir dest && chown nobody:nogroup dest");
    ASSERT_EQ(run("--atomic v1.velk dest version"), 0) << s.log();
    const ino_t same = inodeOf(s / "dest/lib/same.so");
    ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version"), 0) << s.log();
    EXPECT_EQ(describeTree(s / "dest"), newTree);
    EXPECT_EQ(inodeOf(s / "dest/lib/same.so"), same);
    EXPECT_EQ(shell("stat -c %U:%G " + quote(s / "dest/lib/same.so")), "nobody:nogroup\n");
}

// A file is written, never linked, where linking would not give what a plain run makes: another
// size, no regular file at the path (a link, a folder, a FIFO), a second link to the old file
// (writing through it would show elsewhere), or with -p another mode. The old tree's own
// files are never changed.
TEST_F(LinkUnchangedTest, FilesThatDoNotQualifyAreWritten) {
    installOld();
    s.sh("rm dest/lib/same.so && ln -s ../bin/tool dest/lib/same.so && rm dest/etc/c && mkdir dest/etc/c &&"
          " rm dest/bin/tool && mkfifo dest/bin/tool && ln dest/lib/hard hardlink && chmod 640 dest/lib/mode");
    const ino_t hard = inodeOf(s / "dest/lib/hard"), mode = inodeOf(s / "dest/lib/mode");
    const std::string outside = readFile(s / "hardlink");
    ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version"), 0) << s.log();
    EXPECT_EQ(describeTree(s / "dest"), newTree);
    EXPECT_NE(inodeOf(s / "dest/lib/hard"), hard);
    EXPECT_NE(inodeOf(s / "dest/lib/mode"), mode);
    EXPECT_EQ(readFile(s / "hardlink"), outside);
    // With -p a file's mode is the entry's: the old 0640 file is not the 0644 one a run makes.
    installOld("-p");
    s.sh("chmod 640 dest/lib/same.so");
    const ino_t same = inodeOf(s / "dest/lib/same.so"), tool = inodeOf(s / "dest/bin/tool");
    ASSERT_EQ(run("--atomic -p --link-unchanged v2.velk dest version"), 0) << s.log();
    EXPECT_NE(inodeOf(s / "dest/lib/same.so"), same);
    EXPECT_EQ(inodeOf(s / "dest/bin/tool"), tool);
    EXPECT_EQ(shell("stat -c %a " + quote(s / "dest/lib/same.so")), "644\n");
    EXPECT_EQ(run("--link-unchanged v2.velk dest version"), kUsage);  // only with --atomic
}

// The staged name of an unchanged file is a hard link to the old file itself, made before the
// swap (strace -y names both ends). A package that fails after some files were linked leaves
// DEST the old tree, each file with its one link again.
TEST_F(LinkUnchangedTest, LinkedBeforeTheSwapAndGoneWithAFailure) {
    installOld();
    const std::string oldTree = describeTree(s / "dest");
    if (!kEmulated) {
        const std::string trace = s / "trace";
        ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version",
                      commandLine(straceCommand(trace, {"-y", "-e", "trace=linkat,renameat2"}))), 0);
        const std::string calls = readFile(trace);
        const size_t linked = calls.find("linkat(" ), swapped = calls.find("RENAME_EXCHANGE", calls.find("\"dest\""));
        ASSERT_NE(linked, std::string::npos) << calls;
        EXPECT_NE(calls.find("<" + s / "dest/lib/same.so>, \"\", "), std::string::npos) << calls;
        EXPECT_TRUE(std::regex_search(calls, std::regex("<" + s / "\\.dest\\.[0-9a-f]{16}\\.velk-staging/lib>, "
                                                                 "\"same\\.so\", AT_EMPTY_PATH"))) << calls;
        EXPECT_LT(linked, swapped) << calls;
        installOld();
    }
    // v2's gzip trailer made wrong: every file is written or linked before the failure shows.
    s.packBadTrailer("v2", "bad.velk", "bad");
    EXPECT_EQ(run("--atomic --link-unchanged bad.velk dest version"), kIncomplete);
    EXPECT_EQ(describeTree(s / "dest"), oldTree);
    EXPECT_EQ(readFile(s / "version"), "v1");
    EXPECT_EQ(linksOf(s / "dest/lib/same.so"), 1u);
    EXPECT_EQ(namesWith(s.path(), ".velk-staging"), "");
}

// The running system may replace a file of DEST by rename while the run goes: what is linked is
// the file that was compared, through its descriptor, never whatever its path names by then.
TEST_F(LinkUnchangedTest, AFileReplacedByRenameMeanwhileIsNotTheOneLinked) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    installOld();
    const std::vector<std::string> args = {"--atomic", "--link-unchanged", "v2.velk", "dest", "version"};
    HeldRun held(s.unpacking(args), "linkat");  // bin/tool is the first file linked
    ASSERT_TRUE(held.waitHeld());
    s.sh("printf 'echo WRONG\\n' > other && chmod 600 other && mv other dest/bin/tool");
    held.resume();
    EXPECT_EQ(held.finish().status, 0) << s.log();
    EXPECT_EQ(describeTree(s / "dest"), newTree);
}

// A file of the old tree made immutable: the old tree cannot be removed after the swap. The run
// installed the new tree and ends with 0, naming what is left and that no later run can remove
// it either; the next run says why it cannot; once the file may go, the next run removes it,
// and every reused file has one link again.
TEST_F(LinkUnchangedTest, AnOldTreeThatCannotBeRemovedIsNamedAndRemovedLater) {
    installOld();
    struct Mutable {
        std::string root;
        ~Mutable() { (void)shellStatus("chattr -R -i " + quote(root) + " 2>/dev/null"); }
    } guard{s.path()};
    if (shellStatus("chattr +i " + quote(s / "dest/lib/removed") + " 2>/dev/null") != 0) {
        GTEST_SKIP() << "no immutable files on this file system";
    }
    ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version"), 0) << s.log();
    const std::string left = namesWith(s.path(), ".velk-staging");
    ASSERT_EQ(std::count(left.begin(), left.end(), '\n'), 1) << left;
    const std::string leftover = s / left.substr(0, left.size() - 1);
    EXPECT_NE(s.log().find("the old tree is left in " + leftover + "(1,"), std::string::npos) << s.log();
    EXPECT_NE(s.log().find("no later run can remove it either"), std::string::npos) << s.log();
    EXPECT_EQ(s.log().find("the next run removes the old tree"), std::string::npos) << s.log();
    EXPECT_EQ(describeTree(s / "dest"), newTree);
    EXPECT_EQ(linksOf(s / "dest/bin/tool"), 2u);  // shared with the leftover

    ASSERT_EQ(run("--atomic v2.velk dest version"), 0) << s.log();
    EXPECT_NE(s.log().find(leftover + ": left by an earlier run, it cannot be removed(1,"), std::string::npos)
        << s.log();
    ASSERT_EQ(shellStatus("chattr -i " + quote(leftover + "/lib/removed")), 0);
    ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version"), 0) << s.log();
    EXPECT_EQ(namesWith(s.path(), ".velk-staging"), "");
    EXPECT_EQ(describeTree(s / "dest"), newTree);
    EXPECT_EQ(linksOf(s / "dest/bin/tool"), 1u);
}

// A writer that opens an old file while the run goes: one that opens it while it is compared
// (read, or through the index's digests) is seen before the link (the file is written anew, and
// what the writer writes later stays out of the new tree), and one that opens it while the run
// holds its read lease breaks the lease, whose SIGIO must not end the run (the writer's
// non-blocking open fails, the file is linked).
TEST_F(LinkUnchangedTest, AWriterOpeningDuringTheRun) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    const struct {
        const char* heldAt;  // bin/tool's first call of this name
        int openFlags;       // the writer's open
        bool indexed;        // the old tree's index is there: bin/tool is compared through it
        bool linked;
    } cases[] = {
        {"pread64", O_WRONLY, false, false},
        {"flistxattr", O_WRONLY, true, false},
        {"fcntl", O_WRONLY | O_NONBLOCK, true, true},
    };
    for (const auto& c : cases) {
        installOld();
        if (!c.indexed) s.sh("rm .dest.velk-index");
        const ino_t old = inodeOf(s / "dest/bin/tool");
        const std::vector<std::string> args = {"--atomic", "--link-unchanged", "v2.velk", "dest", "version"};
        HeldRun held(s.unpacking(args), c.heldAt, s / "dest/bin/tool");
        ASSERT_TRUE(held.waitHeld()) << c.heldAt;
        const int writer = open((s / "dest/bin/tool").c_str(), c.openFlags | O_CLOEXEC);
        // A broken lease's signal is queued to the stopped run (traced, even when it ignores it).
        if (c.linked) {
            EXPECT_TRUE(waitUntil([&] { return signalPending(held.program(), SIGIO); }));
        }
        held.resume();
        EXPECT_EQ(held.finish().status, 0) << c.heldAt << "\n" << s.log();
        EXPECT_EQ(writer >= 0, !c.linked) << c.heldAt;
        EXPECT_EQ(inodeOf(s / "dest/bin/tool") == old, c.linked) << c.heldAt;
        if (writer >= 0) {
            EXPECT_EQ(pwrite(writer, "intruder", 8, 0), 8);
            close(writer);
        }
        EXPECT_EQ(describeTree(s / "dest"), newTree) << c.heldAt;
    }
}

// Killed at a spread of calls while the tree is staged and at every call from the sync on:
// DEST is wholly the old tree or wholly the new one, and the old tree's files are byte for byte
// what they were whenever DEST is the old tree. The index beside it describes the tree in DEST
// or is recognised as stale (velk-inspect --check-tree never finds a difference), and the next
// run, which trusts what it may of it, gives the new tree.
TEST_F(LinkUnchangedTest, KilledAtAnyCallDestIsWhollyOldOrNew) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    installOld();
    const std::string oldTree = describeTree(s / "dest");
    const std::vector<std::string> args = {"--atomic", "--link-unchanged", "v2.velk", "dest", "version"};
    sweep({s / "trace", "syncfs", "SIGKILL", 15, [&] { installOld(); },
           [&](const std::vector<std::string>& tool) { return s.unpack(args, tool); },
           [&](const Outcome&) {
               const std::string now = describeTree(s / "dest");
               EXPECT_TRUE(now == oldTree || now == newTree) << now;
               // The index beside DEST describes the tree in it, or is recognised as stale.
               const int checked = shellStatus(std::string(VELK_INSPECT) + " --check-tree " + quote(s / "dest") +
                                               " > /dev/null 2>&1");
               EXPECT_TRUE(checked == 0 || checked == 5) << checked;
               ASSERT_EQ(run("--atomic --link-unchanged v2.velk dest version"), 0) << s.log();
               EXPECT_EQ(describeTree(s / "dest"), newTree);
               EXPECT_EQ(shellStatus(std::string(VELK_INSPECT) + " --check-tree " + quote(s / "dest")), 0);
           }});
}

}  // namespace
