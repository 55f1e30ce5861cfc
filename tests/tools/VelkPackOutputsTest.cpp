// What velk-pack does to the files at OUT and OUT.minisig: they change whole or not at all,
// whatever stops the run (a signal, a kill at any system call, a full disk); no -o replaces a
// key or SOURCE; links at those names, or at the name of an older temporary, are not followed.
// minisign checks every signature that is left.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/PrivateMounts.h"
#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

namespace {

using velktest::Launch;
using velktest::Outcome;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // strace would trace the emulator
#else
constexpr bool kEmulated = false;
#endif

constexpr int kUsage = 2;
using Pair = std::pair<std::string, std::string>;  // the package and its signature

struct VelkPackOutputsTest : ::testing::Test {
    void SetUp() override {
        shell("cd " + quote(dir.path()) + " && " + quote(VELK_MINISIGN) + " -G -W -p k.pub -s k.sec > /dev/null"
              " && mkdir -p site tree/d && seq 1000 > tree/a && ln -s a tree/d/l");
    }

    // velk-pack signing `source` into `out`, the signature dated by SOURCE_DATE_EPOCH.
    Launch packing(const std::string& source, const std::vector<std::string>& more = {}) const {
        Launch how;
        how.argv = {VELK_PACK, "--label", "L", "--info", "{}", "--sign", dir / "k.sec", "-o", out};
        how.argv.insert(how.argv.end(), more.begin(), more.end());
        how.argv.push_back(source);
        how.env = {"SOURCE_DATE_EPOCH=1700000000"};
        how.out = dir / "log";
        return how;
    }

    Pair outputs() const {
        const auto content = [](const std::string& path) { return velktest::exists(path) ? readFile(path) : "(none)"; };
        return {content(out), content(out + ".minisig")};
    }
    void putOutputs(const Pair& files) const {
        velktest::writeFile(out, files.first);
        velktest::writeFile(out + ".minisig", files.second);
    }
    // An older pair, and the pair packing(tree) makes once `noise` was added to the tree as a
    // file; site/ holds the older one afterwards.
    void makeBothPairs(const std::string& noise = "") {
        ASSERT_EQ(velktest::run(packing(tree, {"--seed", "2"})).status, 0);
        older = outputs();
        if (!noise.empty()) velktest::writeFile(tree + "/noise", noise);
        ASSERT_EQ(velktest::run(packing(tree)).status, 0);
        newer = outputs();
        putOutputs(older);
    }
    // The temporary files left in site/, one name a line.
    std::string temporaries() const { return shell("cd " + quote(dir / "site") + " && find . -name '.*.velk-pack'"); }
    bool verifies() const {
        return velktest::shellStatus(quote(VELK_MINISIGN) + " -Vq -p " + quote(dir / "k.pub") + " -m " + quote(out)) == 0;
    }

    velktest::TempDir dir;
    const std::string tree = dir / "tree", out = dir / "site/out.velk";
    Pair older, newer;
};

// Refused by the same device and inode (the secret key under its own name or a hard link's,
// SOURCE as OUT or as OUT.minisig) or by a key's format (a public key, its base64 line alone,
// another secret key): status 2 before a password is asked for or anything is written.
TEST_F(VelkPackOutputsTest, NeverReplacesAKeyOrTheSource) {
    const std::string f = dir / "files/";
    shell("cd " + quote(dir.path()) + " && mkdir files && cp k.sec k.pub files/ && cd files && ln k.sec hard.sec"
          " && sed -n 2p k.pub > bare.pub && cp k.pub pub.minisig && cp k.sec other.sec && tar -cf src.tar -C ../tree ."
          " && cp src.tar src.minisig");
    const std::string before = velktest::describeTree(f);
    const struct { std::string out, source; bool sign; std::string message; } cases[] = {
        {"k.sec", tree, true, "the package would overwrite the secret key " + f + "k.sec\n"},
        {"hard.sec", tree, true, "the package would overwrite the secret key " + f + "k.sec\n"},
        {"src.tar", f + "src.tar", false, "the package would overwrite its source " + f + "src.tar\n"},
        {"src", f + "src.minisig", true, "the signature would overwrite its source " + f + "src.minisig\n"},
        {"k.pub", tree, false, f + "k.pub: a minisign key: the package never replaces one\n"},
        {"bare.pub", tree, false, f + "bare.pub: a minisign key: the package never replaces one\n"},
        {"other.sec", tree, false, f + "other.sec: a minisign key: the package never replaces one\n"},
        {"pub", tree, true, f + "pub.minisig: a minisign key: the signature never replaces one\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        Launch how = packing(c.source);
        how.argv[8] = f + c.out;
        if (!c.sign) how.argv.erase(how.argv.begin() + 5, how.argv.begin() + 7);
        if (c.sign) how.argv[6] = f + "k.sec";
        const Outcome run = velktest::run(how);
        EXPECT_EQ(run.status, kUsage) << run.all();
        EXPECT_EQ(run.all().find("velk-pack: " + c.message), 0u) << run.all();
        EXPECT_EQ(velktest::describeTree(f), before);
    }
}

// A link at OUT or OUT.minisig is replaced, whatever it leads to; so is nothing at a link
// planted at a fixed temporary name such as OUT.minisig.tmp.
TEST_F(VelkPackOutputsTest, LinksAtTheOutputNamesAreNeverFollowed) {
    shell("cd " + quote(dir / "site") + " && for n in sig tmp; do echo $n > victim-$n; done"
          " && ln -s ../k.sec out.velk && ln -s victim-sig out.velk.minisig && ln -s victim-tmp out.velk.minisig.tmp");
    const std::string key = readFile(dir / "k.sec");
    const Outcome run = velktest::run(packing(tree));
    ASSERT_EQ(run.status, 0) << run.all();
    EXPECT_TRUE(verifies());
    EXPECT_EQ(readFile(dir / "k.sec"), key);
    EXPECT_EQ(shell("cd " + quote(dir / "site") + " && cat victim-* && find . -type l"),
              "sig\ntmp\n./out.velk.minisig.tmp\n");
}

// A tar SOURCE that is a FIFO the test feeds: once velk-pack has read a good part of it, a
// signal comes. SIGINT, SIGTERM and SIGHUP end the run by that very signal and leave the older
// package and signature as they were, and no temporary; a SIGHUP ignored from the start (nohup)
// stays ignored and the run completes.
TEST_F(VelkPackOutputsTest, InterruptedMidwayLeavesTheOlderFiles) {
    signal(SIGPIPE, SIG_IGN);  // a FIFO whose reader died answers EPIPE
    makeBothPairs();
    const std::string fifo = dir / "fifo", content = velktest::seededBytes(8 << 20, 4);
    constexpr size_t kMidway = 2 << 20;  // the FIFO holds 64 KiB: the rest was read
    shell("mkfifo " + quote(fifo));
    const struct { int signal; bool ignored; } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false},
                                                          {SIGHUP, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.ignored ? ", ignored" : ""));
        Launch how = packing(fifo);
        how.argv.insert(how.argv.begin(), {"/bin/sh", "-c", c.ignored ? "trap '' HUP; exec \"$@\"" : "exec \"$@\"",
                                           "sh"});
        const pid_t pid = velktest::launch(how);
        int writer = -1;
        size_t sent = 0;
        ASSERT_TRUE(velktest::waitUntil([&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
        const auto feedUntil = [&](size_t total) {
            const ssize_t n = write(writer, content.data() + sent, std::min<size_t>(65536, total - sent));
            sent += n > 0 ? size_t(n) : 0;
            return sent == total;
        };
        ASSERT_TRUE(velktest::waitUntil([&] { return feedUntil(kMidway); }));
        kill(pid, c.signal);
        if (c.ignored) {
            ASSERT_TRUE(velktest::waitUntil([&] { return feedUntil(content.size()); }));
        }
        close(writer);
        const Outcome run = velktest::await(pid, how);
        EXPECT_EQ(run.signal, c.ignored ? 0 : c.signal) << run.all();
        EXPECT_EQ(temporaries(), "");
        if (c.ignored) {
            EXPECT_EQ(run.status, 0) << run.all();
            EXPECT_TRUE(verifies());
        } else {
            EXPECT_TRUE(outputs() == older) << "the older package or signature changed";
        }
        putOutputs(older);
    }
}

// A signal at each system call once velk-pack installed its handler (at a spread of calls before):
// the run ends by it, leaving the older pair or (once the renames began, which the signal waits
// for) the newer, and no temporary. A kill at each: the older pair, the newer, or between the
// renames the newer package beside the older signature, which does not verify it; never the
// older package beside the newer signature. Then a run succeeds.
TEST_F(VelkPackOutputsTest, SignalOrKillAtAnySystemCallLeavesAWholePair) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    makeBothPairs();
    size_t betweenRenames = 0;
    for (const char* signal : {"SIGINT", "SIGKILL"}) {
        const bool kill = std::string(signal) == "SIGKILL";
        velktest::sweep({dir / "trace", "rt_sigaction", signal, 12, [&] { putOutputs(older); },
                         [&](const std::vector<std::string>& tool) {
                             Launch how = packing(tree);
                             how.argv.insert(how.argv.begin(), tool.begin(), tool.end());
                             return velktest::run(how);
                         },
                         [&](const Outcome&) {
                             const Pair now = outputs();
                             const bool between = now == Pair{newer.first, older.second};
                             betweenRenames += between;
                             EXPECT_TRUE(now == older || now == newer || (between && kill)) << "a mixed pair";
                             if (!kill) {
                                 EXPECT_EQ(temporaries(), "");
                             }
                             shell("cd " + quote(dir / "site") + " && find . -name '.*.velk-pack' -delete");
                         }});
    }
    EXPECT_GE(betweenRenames, 1u) << "no kill fell between the two renames";
    putOutputs(older);
    EXPECT_EQ(velktest::run(packing(tree)).status, 0);
    EXPECT_TRUE(outputs() == newer);
}

// The messages' reader went away before a run that fails (a FIFO in the tree cannot be archived):
// the failed write of the message must not kill the run before it cleans up. Status 1, the older
// pair as it was, and no temporary.
TEST_F(VelkPackOutputsTest, AReaderThatWentAwayLeavesNoTemporary) {
    makeBothPairs();
    shell("mkdir " + quote(dir / "bad") + " && mkfifo " + quote(dir / "bad/fifo"));
    const char* const deadReader = "import os, subprocess, sys\nr, w = os.pipe()\nos.close(r)\n"
                                   "print(subprocess.run(sys.argv[1:], stdout=w, stderr=w).returncode)";
    EXPECT_EQ(shell(quote(velktest::python()) + " -c " + quote(deadReader) + " " +
                    velktest::commandLine(packing(dir / "bad").argv)), "1\n");
    EXPECT_TRUE(outputs() == older) << "the older package or signature changed";
    EXPECT_EQ(temporaries(), "");
}

// A small file system (a tmpfs in a private mount namespace) that fills up at every point of
// the run, page by page: the run fails with status 1 and leaves the older pair and no
// temporary, or succeeds with the newer pair. The disk fills while the package is written, and
// while its signature is.
TEST_F(VelkPackOutputsTest, FullDiskLeavesTheOlderFiles) {
    velktest::PrivateMounts mounts;
    if (!mounts.entered()) GTEST_SKIP() << "no private mounts here: " << mounts.problem();
    makeBothPairs(velktest::seededBytes(120000, 6));  // the newer package needs more room than the older
    const auto pages = [](const std::string& file) { return file.size() / 4096 + 1; };
    const size_t olderPages = pages(older.first) + 1, allPages = olderPages + pages(newer.first) + 1;
    std::string said;
    for (size_t size = 4 * (olderPages + 1); size <= 4 * (allPages + 1); size += 4) {
        SCOPED_TRACE(std::to_string(size) + "k");
        ASSERT_TRUE(mounts.mountTmpfs(dir / "site", "size=" + std::to_string(size) + "k")) << mounts.problem();
        putOutputs(older);
        const Outcome run = velktest::run(packing(tree));
        EXPECT_TRUE(run.status == 0 ? outputs() == newer : run.status == 1 && outputs() == older) << run.all();
        EXPECT_EQ(temporaries(), "");
        said += run.all();
        mounts.unmountAll();
    }
    EXPECT_NE(said.find(out + ": cannot write: No space left on device\n"), std::string::npos) << said;
    EXPECT_NE(said.find(out + ".minisig: cannot write: No space left on device\n"), std::string::npos) << said;
}

}  // namespace
