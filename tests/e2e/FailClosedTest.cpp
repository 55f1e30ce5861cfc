// Every option and path is input, and each fails closed. An empty value, an option given twice or
// placed after SOURCE, a descriptor the caller never opened, closed standard descriptors, a working
// folder inside DEST or one already gone, a version file that cannot be written or is reached
// through a link the package planted, a DEST name of 255 bytes and SOURCE inside DEST with
// --pubkey: each either installs exactly what was asked or is refused before anything changes,
// never a wrong or unauthenticated install with status 0.

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <regex>

#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

constexpr int kInspectUsage = 1;

class FailClosedTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p tree/etc outside && printf 'a=1\\n' > tree/etc/a.conf && printf keep > outside/file && " +
             quote(VELK_MINISIGN) + " -G -W -p k.pub -s k.sec > /dev/null");
        s.pack("tree", "p.velk");
        newTree = describeTree(s / "tree");
        restore();
    }
    // DEST holds one old file, the version file says "old".
    void restore() {
        s.sh("rm -rf dest && mkdir dest && printf old > dest/old && printf old > version");
        before = s.state();
    }
    // `program` with `args` in the test folder, through /bin/sh, with `redirections`.
    int run(const std::string& program, const std::string& args, const std::string& redirections = "> log 2>&1") {
        return shellStatus(s.cd() + program + " " + args + " " + redirections);
    }

    Scene s;
    std::string newTree, before;
};

// Refused: each option's misuse and every misplaced or missing operand, before anything is made,
// the lock included. Taken: "--" ends the options, "./-" is a file and "./--atomic" a folder,
// arguments after VERSION-FILE are ignored; a package that fails after every file was written
// shows whether the run was staged (DEST kept) or not (its files stand).
TEST_F(FailClosedTest, EveryArgumentIsInput) {
    const struct {
        const char* why;
        std::string args;
        std::string said;  // the start of the hint after the usage line, if there is one
    } refused[] = {
        {"no arguments", "", ""},
        {"no VERSION-FILE", "p.velk dest", ""},
        {"an empty DEST", "p.velk '' version", ""},
        {"an empty key from an unset variable", "--pubkey '' p.velk dest version", "--pubkey needs a value that is"},
        {"an empty signature", "--pubkey k.pub --signature '' p.velk dest version", "--signature needs a value that"},
        {"an empty descriptor", "--progress-fd '' p.velk dest version", "--progress-fd needs a value that is"},
        {"a word for a descriptor", "--progress-fd x p.velk dest version", "--progress-fd needs a descriptor number"},
        {"a key given twice, the second empty", "--pubkey k.pub --pubkey '' p.velk dest version", "--pubkey is given"},
        {"a flag given twice", "--atomic --atomic p.velk dest version", "--atomic is given twice"},
        {"one option under both its names", "-p --preserve-permissions p.velk dest version", "-p is given twice"},
        {"an unknown option after a known one", "--atomic -x p.velk dest version", "unknown option -x"},
        {"two operands after the options", "--atomic -p p.velk dest", ""},
        {"a key after VERSION-FILE", "p.velk dest version --pubkey k.pub", "options come before SOURCE"},
        {"an option in DEST's place", "p.velk --atomic dest version", "options come before SOURCE"},
        {"-p after SOURCE", "p.velk dest version -p", "options come before SOURCE"},
        {"a descriptor never opened", "--progress-fd 9 p.velk dest version",
         "--progress-fd 9: descriptor 9 is not open for writing"},
        {"a descriptor open only for reading", "--progress-fd 3 p.velk dest version 3< p.velk",
         "--progress-fd 3: descriptor 3 is not open for writing"},
        {"an empty thread count", "--threads '' p.velk dest version", "--threads needs a value that is"},
        {"no thread", "--threads 0 p.velk dest version", "--threads needs a number of threads"},
        {"a word for a thread count", "--threads two p.velk dest version", "--threads needs a number of threads"},
        {"a negative thread count", "--threads -1 p.velk dest version", "--threads needs a number of threads"},
        {"a thread count past any int", "--threads 99999999999 p.velk dest version", "--threads needs a number of"},
        {"a thread count given twice", "--threads 2 --threads 2 p.velk dest version", "--threads is given twice"},
        {"a thread count after SOURCE", "p.velk dest version --threads 2", "options come before SOURCE"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.why);
        // The program alone: the options the suite may add to every run would muddle these.
        EXPECT_EQ(run(VELK_UNPACK_PROGRAM, r.args), kUsage) << s.log();
        const std::string usage = "params: source path; dest path; version\n";
        EXPECT_EQ(s.log().substr(0, usage.size() + 13 + r.said.size()),
                  usage + (r.said.empty() ? "" : "velk-unpack: " + r.said)) << s.log();
        EXPECT_EQ(s.state(), before);
        EXPECT_FALSE(exists(s / ".dest.velk-lock"));
    }
    for (const std::string args : {"--pubkey '' p.velk", "--json --json p.velk", "--pubkey k.pub --pubkey '' p.velk",
                                   "--signature '' p.velk"}) {
        EXPECT_EQ(run(VELK_INSPECT, args), kInspectUsage) << args << "\n" << s.log();
    }
    s.packBadTrailer("tree", "bad.velk");
    s.sh("cp bad.velk ./-bad.velk && cp bad.velk ./-");
    const struct { std::string args, folder; bool staged; } taken[] = {
        {"--atomic -- -bad.velk dest version", "dest", true},
        {"./- dest version", "dest", false},
        {"bad.velk ./--atomic version", "--atomic", false},
        {"bad.velk dest version ignored", "dest", false},
    };
    for (const auto& t : taken) {
        SCOPED_TRACE(t.args);
        restore();
        const std::string old = describeTree(s / t.folder);
        EXPECT_EQ(run(VELK_UNPACK, t.args), kIncomplete) << s.log();
        EXPECT_EQ(describeTree(s / t.folder), t.staged ? old : newTree);
    }
}

// With standard input, output and error closed, the files the program opens first would take
// numbers 0, 1 and 2, and its messages would be written into them (into DEST's parent folder, the
// lock file): each of them gets /dev/null first. strace shows where the messages went.
TEST_F(FailClosedTest, ClosedStandardDescriptorsTakeNoFileOfTheRun) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
#ifdef VELK_TSAN_BUILD
    GTEST_SKIP() << "ThreadSanitizer's runtime opens files of its own before the program starts";
#endif
    const std::string trace = s / "trace";
    const std::string strace = commandLine(straceCommand(trace, {"-y", "-e", "trace=write"}));
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        ASSERT_EQ(run(strace + " " + VELK_UNPACK, mode + "p.velk dest version", "<&- >&- 2>&-"), 0);
        EXPECT_EQ(s.state(), Scene::installed(newTree, "new"));
        EXPECT_EQ(readFile(s / ".dest.velk-lock"), "");
        const std::string writes = readFile(trace);
        const std::regex toStandard(R"(write\([012]<([^>]*)>)");
        int messages = 0;
        for (std::sregex_iterator at(writes.begin(), writes.end(), toStandard), end; at != end; ++at, ++messages) {
            EXPECT_EQ((*at)[1], "/dev/null") << writes;
        }
        EXPECT_GT(messages, 0) << writes;
    }
    // The feed's descriptor may not be one of them either: it would be /dev/null.
    EXPECT_EQ(run(VELK_UNPACK, "--progress-fd 2 p.velk dest version", "2>&- > log"), kUsage);
}

// The updater runs from a folder inside the tree it updates, naming everything relatively. The
// folder is gone once DEST is emptied or swapped; every path was resolved before, so the version
// file the caller named is the one written, and nothing appears at the root.
TEST_F(FailClosedTest, AWorkingFolderInsideDestChangesNothing) {
    const std::string name = "velk-test-version-" + std::to_string(getpid());
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        s.sh("mkdir -p dest/work versions && cp p.velk dest/work/ && printf old > versions/" + name);
        const int status = shellStatus("cd " + quote(s / "dest/work") + " && " + VELK_UNPACK + " " + mode +
                                       "p.velk .. ../../versions/" + name + " > ../../log 2>&1");
        EXPECT_EQ(status, 0) << s.log();
        EXPECT_EQ(readFile(s / ("versions/" + name)), "new");
        EXPECT_FALSE(exists("/" + name));
        (void)unlink(("/" + name).c_str());
    }
}

// Run from a working folder that is gone (an updater inside the tree an earlier run replaced), a
// relative path has nothing to be resolved against: the usage line, why, and -1, nothing touched,
// the lock included. Never resolved against "/": the names from "/" below would land in the test
// folder, and "../" would reach it through the gone folder's parent. Absolute paths still install.
TEST_F(FailClosedTest, AWorkingFolderThatIsGoneResolvesNoRelativePath) {
    s.sh(quote(VELK_MINISIGN) + " -S -s k.sec -m p.velk > /dev/null");
    const std::string fromRoot = s.path().substr(1) + "/", here = s.path() + "/";
    const auto inGoneFolder = [&](const std::string& args) {
        return shellStatus(s.cd() + "mkdir gone && cd gone && rmdir ../gone && " + VELK_UNPACK + " " + args + " > " +
                           quote(here + "log") + " 2>&1");
    };
    const struct { const char* why; std::string args; } refused[] = {
        {"DEST and VERSION-FILE named from /", here + "p.velk " + fromRoot + "dest " + fromRoot + "version"},
        {"VERSION-FILE named from /", "--atomic " + here + "p.velk " + here + "dest " + fromRoot + "version"},
        {"SOURCE through ..", "../p.velk " + here + "dest " + here + "version"},
        {"the key through ..", "--pubkey ../k.pub " + here + "p.velk " + here + "dest " + here + "version"},
        {"the signature through ..", "--pubkey " + here + "k.pub --signature ../p.velk.minisig " + here + "p.velk " +
                                         here + "dest " + here + "version"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.why);
        EXPECT_EQ(inGoneFolder(r.args), kUsage) << s.log();
        EXPECT_EQ(s.log(), "params: source path; dest path; version\nvelk-unpack: the working folder is gone: "
                           "relative paths cannot be resolved\n");
        EXPECT_EQ(s.state(), before);
        EXPECT_FALSE(exists(s / ".dest.velk-lock"));
    }
    EXPECT_EQ(inGoneFolder("--pubkey " + here + "k.pub " + here + "p.velk " + here + "dest " + here + "version"), 0)
        << s.log();
    EXPECT_EQ(s.state(), Scene::installed(newTree, "new"));
}

// What can be known about the version file is known before DEST changes: a name too long for
// any folder is -6 with DEST as it was. A name of 250 bytes is legal and installs, its temporary
// name cut to fit; a device (/dev/null) is written in place, never cut.
TEST_F(FailClosedTest, TheVersionFileIsCheckedFirstAndAnyLegalNameWorks) {
    const std::string tooLong(NAME_MAX + 1, 'v'), legal(250, 'v');
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        EXPECT_EQ(run(VELK_UNPACK, mode + "p.velk dest " + tooLong), kVersionFailed) << s.log();
        EXPECT_NE(s.log().find("(36,File name too long)"), std::string::npos) << s.log();
        EXPECT_EQ(s.state(), before);
        ASSERT_EQ(run(VELK_UNPACK, mode + "p.velk dest " + legal), 0) << s.log();
        EXPECT_EQ(readFile(s / legal), "new");
        EXPECT_EQ(s.sh("ls -A | grep -c velk-new || true"), "0\n");
        restore();
        ASSERT_EQ(run(VELK_UNPACK, mode + "p.velk dest /dev/null"), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), newTree);
        EXPECT_EQ(shell("stat -c %F /dev/null"), "character special file\n");
    }
}

// The version file is reached under the entries' rules inside DEST. A link the package planted
// at its name is replaced by the file; one on the way, absolute or relative, is refused, also
// through DEST spelled with "..". An operator's link outside DEST leads to the file that
// receives the value, which keeps its permission bits; the link stays.
TEST_F(FailClosedTest, TheVersionFileFollowsNoLinkThePackagePlanted) {
    const std::string outside = s / "outside", outsideBefore = describeTree(outside);
    const auto plant = [&](const std::string& link, const std::string& target) {
        s.sh("rm -rf t && cp -a tree t && ln -s " + quote(target) + " t/" + link);
        return s.pack("t", "planted.velk");
    };
    ASSERT_EQ(s.unpack({plant(".version", outside + "/file"), "dest", "dest/.version"}).status, 0) << s.log();
    EXPECT_EQ(s.sh("stat -c '%F' dest/.version && cat dest/.version"), "regular file\nnew");
    for (const std::string& link : {outside, std::string("../outside")}) {
        SCOPED_TRACE(link);
        const std::string version = s / "dest/../dest/meta/v";
        EXPECT_EQ(s.unpack({plant("meta", link), s / "dest", version}).status, kVersionFailed) << s.log();
        EXPECT_NE(s.log().find("refusing to go through the symbolic link " + s / "dest/meta\n"), std::string::npos);
        EXPECT_NE(s.log().find("version file " + version + ": refusing to go through "), std::string::npos) << s.log();
    }
    EXPECT_EQ(describeTree(outside), outsideBefore);
    s.sh("ln -s outside/file op-link && chmod 640 outside/file");
    ASSERT_EQ(s.unpack({"p.velk", "dest", "op-link"}).status, 0) << s.log();
    EXPECT_EQ(s.sh("stat -c '%F' op-link && stat -c '%a' outside/file && cat outside/file"), "symbolic link\n640\nnew");
}

// A block device as the version file (a flash partition on a device) is written from its start,
// not cut, and synced: strace shows the fsync of the device itself.
TEST_F(FailClosedTest, ABlockDeviceVersionFileIsWrittenInPlaceAndSynced) {
    if (kEmulated || !onPath("losetup")) GTEST_SKIP() << "needs strace on the program, and losetup";
    writeFile(s / "partition", std::string(4096, 'x'));
    const std::string device = shellStatus("losetup -f > /dev/null 2>&1") == 0
                                   ? shell("losetup -f --show " + quote(s / "partition") + " 2>/dev/null | tr -d '\\n'")
                                   : "";
    if (device.empty()) GTEST_SKIP() << "no loop device here";
    struct Detach {
        std::string device;
        ~Detach() { (void)shellStatus("losetup -d " + device); }
    } detach{device};
    const std::string trace = s / "trace";
    ASSERT_EQ(run(commandLine(straceCommand(trace, {"-y", "-e", "trace=fsync,ftruncate"})) + " " + VELK_UNPACK,
                  "p.velk dest " + device), 0) << s.log();
    EXPECT_EQ(shell("head -c 6 " + device + " | od -An -c | tr -s ' '"), " n e w x x x\n");
    const std::string calls = readFile(trace);
    EXPECT_TRUE(std::regex_search(calls, std::regex("fsync\\(\\d+<" + device + ">\\) += 0"))) << calls;
    EXPECT_EQ(calls.find("ftruncate"), std::string::npos) << calls;
}

// Names of 255 bytes are legal: the lock, staging and probe names beside DEST are cut to fit, and
// a run installs them, in place and staged.
TEST_F(FailClosedTest, ADestNameOf255BytesInstalls) {
    const std::string longName(NAME_MAX, 'd');
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(run(VELK_UNPACK, mode + "p.velk " + longName + " version"), 0) << s.log();
        EXPECT_EQ(describeTree(s / longName), newTree);
        EXPECT_EQ(s.sh("ls -A | grep -c 'velk-lock$'"), "1\n");
    }
}

// In place, emptying DEST unlinks a SOURCE that lies inside it; with --pubkey, whose first pass
// noted SOURCE's state before, that is no change of SOURCE.
TEST_F(FailClosedTest, ASignedSourceInsideDestInstallsInPlace) {
    s.sh(quote(VELK_MINISIGN) + " -S -s k.sec -m p.velk > /dev/null");
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        s.sh("cp p.velk p.velk.minisig dest/");
        EXPECT_EQ(run(VELK_UNPACK, mode + "--pubkey k.pub dest/p.velk dest version"), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), newTree);
    }
}

}  // namespace
