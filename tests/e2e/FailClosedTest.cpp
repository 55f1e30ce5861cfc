// Every option and path is input, and each fails closed. An empty value, an option given twice or
// placed after SOURCE, a descriptor the caller never opened, closed standard descriptors, a working
// folder inside DEST, a version file that cannot be written, a DEST name of 255 bytes and SOURCE
// inside DEST with --pubkey: each either installs exactly what was asked or is refused before
// anything changes, never a wrong or unauthenticated install with status 0.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <regex>

#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::Outcome;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

namespace {

constexpr int kUsage = 255, kVersionFailed = 250, kInspectUsage = 1;
#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // strace would trace the emulator, and a chroot lacks it
#else
constexpr bool kEmulated = false;
#endif

class FailClosedTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell(cd() + "mkdir -p tree/etc && printf 'a=1\\n' > tree/etc/a.conf && tar --format=ustar --sort=name"
              " --mtime=@0 --owner=0 --group=0 -C tree -cf t.tar . && " + velktest::refPacker() +
              " --label L --info '{\"PLVS\":\"new\"}' --tar t.tar -o p.velk && " + quote(VELK_MINISIGN) +
              " -G -W -p k.pub -s k.sec > /dev/null");
        newTree = velktest::describeTree(dir / "tree");
        restore();
    }
    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    // DEST holds one old file, the version file says "old".
    void restore() {
        shell(cd() + "rm -rf dest && mkdir dest && printf old > dest/old && printf old > version");
        before = state();
    }
    std::string state() const { return velktest::describeTree(dir / "dest") + "version: " + readFile(dir / "version"); }
    std::string installed() const { return newTree + "version: new"; }

    // `program` with `args` in the test folder, through /bin/sh, with `redirections` (the logs
    // go to out.log unless they say otherwise).
    int run(const std::string& program, const std::string& args, const std::string& redirections = "> out.log 2>&1") {
        return velktest::shellStatus(cd() + program + " " + args + " " + redirections);
    }
    std::string log() const { return readFile(dir / "out.log"); }

    velktest::TempDir dir;
    std::string newTree, before;
};

// On main each row but the last installed, most of them without checking the signature.
TEST_F(FailClosedTest, EveryArgumentIsInput) {
    const struct {
        const char* why;
        std::string args;
        std::string said;  // the hint after the usage line
    } refused[] = {
        {"an empty key from an unset variable", "--pubkey '' p.velk dest version", "--pubkey needs a value that is"},
        {"an empty signature", "--pubkey k.pub --signature '' p.velk dest version", "--signature needs a value that"},
        {"an empty descriptor", "--progress-fd '' p.velk dest version", "--progress-fd needs a value that is"},
        {"a key given twice, the second empty", "--pubkey k.pub --pubkey '' p.velk dest version", "given twice"},
        {"a flag given twice", "--atomic --atomic p.velk dest version", "--atomic is given twice"},
        {"one option under both its names", "-p --preserve-permissions p.velk dest version", "-p is given twice"},
        {"a key after VERSION-FILE", "p.velk dest version --pubkey k.pub", "options come before SOURCE"},
        {"an option in DEST's place", "p.velk --atomic dest version", "options come before SOURCE"},
        {"-p after SOURCE", "p.velk dest version -p", "options come before SOURCE"},
        {"a descriptor never opened", "--progress-fd 9 p.velk dest version",
         "--progress-fd 9: descriptor 9 is not open for writing"},
        {"a descriptor open only for reading", "--progress-fd 3 p.velk dest version 3< p.velk",
         "descriptor 3 is not open for writing"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.why);
        EXPECT_EQ(run(VELK_UNPACK, r.args), kUsage) << log();
        EXPECT_EQ(log().rfind("params: source path; dest path; version\nvelk-unpack: ", 0), 0u) << log();
        EXPECT_NE(log().find(r.said), std::string::npos) << log();
        EXPECT_EQ(state(), before);
    }
    for (const std::string args : {"--pubkey '' p.velk", "--json --json p.velk", "--pubkey k.pub --pubkey '' p.velk",
                                   "--signature '' p.velk"}) {
        EXPECT_EQ(run(VELK_INSPECT, args), kInspectUsage) << args << "\n" << log();
    }
    // A DEST really named like an option is reached as ./--atomic; other arguments after
    // VERSION-FILE are still ignored.
    ASSERT_EQ(run(VELK_UNPACK, "p.velk ./--atomic version ignored"), 0) << log();
    EXPECT_EQ(velktest::describeTree(dir / "--atomic"), newTree);
}

// With standard input, output and error closed, the files the program opens first would take
// numbers 0, 1 and 2, and its messages would be written into them (into DEST's parent folder, the
// lock file): each of them gets /dev/null first. strace shows where the messages went.
TEST_F(FailClosedTest, ClosedStandardDescriptorsTakeNoFileOfTheRun) {
    if (kEmulated || !velktest::onPath("strace")) GTEST_SKIP() << "strace must trace the program itself";
    const std::string trace = dir / "trace";
    const std::string strace = velktest::commandLine(velktest::straceCommand(trace, {"-y", "-e", "trace=write"}));
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        ASSERT_EQ(run(strace + " " + VELK_UNPACK, mode + "p.velk dest version", "<&- >&- 2>&-"), 0);
        EXPECT_EQ(state(), installed());
        EXPECT_EQ(readFile(dir / ".dest.velk-lock"), "");
        const std::string writes = readFile(trace);
        const std::regex toStandard(R"(write\([012]<([^>]*)>)");
        int messages = 0;
        for (std::sregex_iterator at(writes.begin(), writes.end(), toStandard), end; at != end; ++at, ++messages) {
            EXPECT_EQ((*at)[1], "/dev/null") << writes;
        }
        EXPECT_GT(messages, 0) << writes;
    }
    // The feed's descriptor may not be one of them either: it would be /dev/null.
    EXPECT_EQ(run(VELK_UNPACK, "--progress-fd 2 p.velk dest version", "2>&- > out.log"), kUsage);
}

// The updater runs from a folder inside the tree it updates, naming everything relatively. The
// folder is gone once DEST is emptied or swapped; every path was resolved before, so the version
// file the caller named is the one written, and nothing appears at the root.
TEST_F(FailClosedTest, AWorkingFolderInsideDestChangesNothing) {
    const std::string name = "velk-test-version-" + std::to_string(getpid());
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        shell(cd() + "mkdir -p dest/work && cp p.velk dest/work/ && cp k.pub dest/work/ && "
              "mkdir -p versions && printf old > versions/" + name);
        const int status = velktest::shellStatus("cd " + quote(dir / "dest/work") + " && " + VELK_UNPACK + " " + mode +
                                                 "p.velk .. ../../versions/" + name + " > ../../out.log 2>&1");
        EXPECT_EQ(status, 0) << log();
        EXPECT_EQ(readFile(dir / ("versions/" + name)), "new");
        EXPECT_FALSE(velktest::exists("/" + name));
        (void)unlink(("/" + name).c_str());
    }
}

// What can be known about the version file is known before DEST changes: a name too long for
// any folder is -6 with DEST as it was. A name of 250 bytes is legal and installs, its temporary
// name cut to fit; a device (/dev/null) is written in place, never cut.
TEST_F(FailClosedTest, TheVersionFileIsCheckedFirstAndAnyLegalNameWorks) {
    const std::string tooLong(NAME_MAX + 1, 'v'), legal(250, 'v');
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        EXPECT_EQ(run(VELK_UNPACK, mode + "p.velk dest " + tooLong), kVersionFailed) << log();
        EXPECT_NE(log().find("(36,File name too long)"), std::string::npos) << log();
        EXPECT_EQ(state(), before);
        ASSERT_EQ(run(VELK_UNPACK, mode + "p.velk dest " + legal), 0) << log();
        EXPECT_EQ(readFile(dir / legal), "new");
        EXPECT_EQ(shell(cd() + "ls -A | grep -c velk-new || true"), "0\n");
        restore();
        ASSERT_EQ(run(VELK_UNPACK, mode + "p.velk dest /dev/null"), 0) << log();
        EXPECT_EQ(velktest::describeTree(dir / "dest"), newTree);
        EXPECT_EQ(shell("stat -c %F /dev/null"), "character special file\n");
    }
}

// A block device as the version file (a flash partition on a device) is written from its start,
// not cut, and synced: strace shows the fsync of the device itself.
TEST_F(FailClosedTest, ABlockDeviceVersionFileIsWrittenInPlaceAndSynced) {
    if (kEmulated || !velktest::onPath("strace") || !velktest::onPath("losetup")) GTEST_SKIP() << "needs strace, losetup";
    velktest::writeFile(dir / "partition", std::string(4096, 'x'));
    const std::string device = velktest::shellStatus("losetup -f > /dev/null 2>&1") == 0
                                   ? shell("losetup -f --show " + quote(dir / "partition") + " 2>/dev/null | tr -d '\\n'")
                                   : "";
    if (device.empty()) GTEST_SKIP() << "no loop device here";
    struct Detach {
        std::string device;
        ~Detach() { (void)velktest::shellStatus("losetup -d " + device); }
    } detach{device};
    const std::string trace = dir / "trace";
    ASSERT_EQ(run(velktest::commandLine(velktest::straceCommand(trace, {"-y", "-e", "trace=fsync,ftruncate"})) + " " +
                  VELK_UNPACK, "p.velk dest " + device), 0) << log();
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
        ASSERT_EQ(run(VELK_UNPACK, mode + "p.velk " + longName + " version"), 0) << log();
        EXPECT_EQ(velktest::describeTree(dir / longName), newTree);
        EXPECT_EQ(shell(cd() + "ls -A | grep -c 'velk-lock$'"), "1\n");
    }
}

// In place, emptying DEST unlinks a SOURCE that lies inside it; with --pubkey, whose first pass
// noted SOURCE's state before, that is no change of SOURCE.
TEST_F(FailClosedTest, ASignedSourceInsideDestInstallsInPlace) {
    shell(cd() + quote(VELK_MINISIGN) + " -S -s k.sec -m p.velk > /dev/null && cp p.velk p.velk.minisig dest/");
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        shell(cd() + "cp p.velk p.velk.minisig dest/");
        EXPECT_EQ(run(VELK_UNPACK, mode + "--pubkey k.pub dest/p.velk dest version"), 0) << log();
        EXPECT_EQ(velktest::describeTree(dir / "dest"), newTree);
    }
}

}  // namespace
