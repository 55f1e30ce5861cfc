// SOURCE "-": a package read from standard input as it arrives, from a pipe, a socket, a
// producer that writes a byte at a time or a pipe its parent made non-blocking, with the same
// guarantees as a file: a stream cut short or followed by garbage is not an install, --atomic
// keeps the old tree through every failure and every kill, and a signature is checked before
// the swap; a pipe widened to 1 MiB. And the progress feed, of a file and of a stream.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <sstream>

#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

// Writes the file argv[1] to standard output `argv[2]` bytes at a time, flushing each piece;
// with argv[3], dies by SIGKILL once that many bytes are out.
const char* const kProducer = R"(import os, sys
data, piece = open(sys.argv[1], "rb").read(), int(sys.argv[2])
stop = int(sys.argv[3]) if len(sys.argv) > 3 else len(data)
for at in range(0, stop, piece):
    os.write(1, data[at:min(at + piece, stop)])
if stop < len(data):
    os.kill(os.getpid(), 9)
)";

// Runs argv[2:] with standard input one end of a socket pair; writes the file argv[1] into
// the other end, closes it, and exits with the program's status.
const char* const kSocket = R"(import socket, subprocess, sys
ours, theirs = socket.socketpair()
program = subprocess.Popen(sys.argv[2:], stdin=theirs)
theirs.close()
ours.sendall(open(sys.argv[1], "rb").read())
ours.close()
sys.exit(program.wait())
)";

// Runs argv[3:] with standard input a pipe the harness made non-blocking, as a parent may, holding
// the first half of the file argv[1]. Once the program found the pipe empty (EAGAIN in the strace
// log argv[2]), made it blocking or ended, the harness says whether the pipe is still
// non-blocking, lets go of its own read end, writes the rest, closes the pipe, and exits with
// the program's status.
const char* const kNonBlocking = R"(import fcntl, os, subprocess, sys, time
data, log = open(sys.argv[1], "rb").read(), sys.argv[2]
theirs, ours = os.pipe()
fcntl.fcntl(theirs, fcntl.F_SETFL, fcntl.fcntl(theirs, fcntl.F_GETFL) | os.O_NONBLOCK)
program = subprocess.Popen(sys.argv[3:], stdin=theirs)
pipe = os.fdopen(ours, "wb")
pipe.write(data[:len(data) // 2]); pipe.flush()
kept = lambda: fcntl.fcntl(theirs, fcntl.F_GETFL) & os.O_NONBLOCK
while program.poll() is None and kept() and b"EAGAIN" not in open(log, "rb").read():
    time.sleep(0.001)
print("the pipe stayed non-blocking" if kept() else "the pipe was made blocking", flush=True)
os.close(theirs)
try:
    pipe.write(data[len(data) // 2:]); pipe.close()
except BrokenPipeError:
    pass
sys.exit(program.wait())
)";

// Runs argv[2:] with "FD" replaced by the write end of a pipe the harness made non-blocking
// and filled, as a parent may hand over a feed it reads slowly. Once the program found the
// pipe full (EAGAIN in the strace log argv[1]) or ended, the harness reads the pipe to its end,
// prints what came after its own filling, and exits with the program's status.
const char* const kFullFeed = R"(import fcntl, os, subprocess, sys, time
log = sys.argv[1]
ours, theirs = os.pipe()
fcntl.fcntl(theirs, fcntl.F_SETFL, fcntl.fcntl(theirs, fcntl.F_GETFL) | os.O_NONBLOCK)
filled = 0
try:
    while True:
        filled += os.write(theirs, b"x" * 4096)
except BlockingIOError:
    pass
program = subprocess.Popen([a.replace("FD", str(theirs)) for a in sys.argv[2:]], pass_fds=(theirs,))
os.close(theirs)
while program.poll() is None and b"EAGAIN" not in open(log, "rb").read():
    time.sleep(0.001)
feed = b""
while True:
    got = os.read(ours, 65536)
    if not got:
        break
    feed += got
sys.stdout.write(feed[filled:].decode())
sys.exit(program.wait())
)";

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p tree/etc && printf 'a=1\\n' > tree/etc/a.conf && " + quote(VELK_MINISIGN) +
             " -G -W -p k.pub -s k.sec > /dev/null");
        s.pack("tree", "p.velk", "new", 3);
        s.sh(quote(VELK_MINISIGN) + " -S -s k.sec -m p.velk > /dev/null");
        newTree = describeTree(s / "tree");
        writeFile(s / "tree/big.bin", seededBytes(700000, 12));  // several chunks
        s.pack("tree", "big.velk", "big", 4);
        bigTree = describeTree(s / "tree");
        restore();
    }
    void restore() {
        s.sh("rm -rf dest .dest.*velk-staging && mkdir dest && printf old > dest/old && printf old > version");
        before = s.state();
    }
    // `producer | velk-unpack OPTIONS - dest version`, in the test folder.
    int unpack(const std::string& producer, const std::string& options = "") {
        return shellStatus(s.cd() + producer + " | " + VELK_UNPACK + " " + options + " - dest version > log 2>&1");
    }
    std::string producer(const std::string& file, size_t piece, long stop = -1) const {
        return quote(python()) + " -c " + quote(kProducer) + " " + file + " " + std::to_string(piece) +
               (stop < 0 ? "" : " " + std::to_string(stop));
    }

    Scene s;
    std::string newTree, bigTree, before;
};

// A pipe, a socket and a producer of one byte at a time give the tree a file gives.
TEST_F(StreamTest, AnyStreamInstallsTheTreeAFileGives) {
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        ASSERT_EQ(unpack("cat big.velk", mode), 0) << s.log();
        EXPECT_EQ(s.state(), Scene::installed(bigTree, "big"));
        restore();
        ASSERT_EQ(shellStatus(s.cd() + quote(python()) + " -c " + quote(kSocket) + " big.velk " + VELK_UNPACK + " " +
                              mode + "- dest version > log 2>&1"), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), bigTree);
        restore();
        ASSERT_EQ(unpack(producer("p.velk", 1), mode), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), newTree);
    }
    // velk-inspect lists a stream as it lists the file.
    EXPECT_EQ(s.sh("cat big.velk | " VELK_INSPECT " --verify -"), s.sh(VELK_INSPECT " --verify big.velk"));
}

// A pipe on standard input is widened to 1 MiB before it is read, so the producer runs ahead by
// whole chunks; a file given as standard input is left alone.
TEST_F(StreamTest, APipeIsWidenedToOneMebibyte) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    const std::string strace = commandLine(straceCommand(s / "trace", {"-e", "trace=fcntl"}));
    ASSERT_EQ(shellStatus(s.cd() + "cat big.velk | " + strace + " " + VELK_UNPACK + " --atomic - dest version > log 2>&1"),
              0) << s.log();
    EXPECT_TRUE(std::regex_search(readFile(s / "trace"), std::regex(R"(F_SETPIPE_SZ, 1048576\)\s+= 1048576)")))
        << readFile(s / "trace");
    EXPECT_EQ(describeTree(s / "dest"), bigTree);
    ASSERT_EQ(shellStatus(s.cd() + strace + " " + VELK_UNPACK + " --atomic - dest version < big.velk > log 2>&1"), 0)
        << s.log();
    EXPECT_EQ(readFile(s / "trace").find("F_SETPIPE_SZ"), std::string::npos) << readFile(s / "trace");
}

// A producer that dies inside a package, or garbage after the last one, is not an install: -7.
// With --atomic DEST and the version file stay byte for byte and no staging folder is left.
// A read that fails is -5; standard input closed is an empty stream; a terminal is refused.
TEST_F(StreamTest, AStreamThatIsNotWholeIsNotAnInstall) {
    const long half = long(readFile(s / "big.velk").size() / 2);
    const struct {
        const char* name;
        std::string producer;
        int status;
        std::string said;
    } rows[] = {
        {"the producer dies inside a package", producer("big.velk", 4096, half), kIncomplete, "tgz: unpack incomplete"},
        {"garbage after the last package", "{ cat p.velk; printf 'garbage after it'; }", kIncomplete, ""},
        {"an empty stream", "true", kIncomplete, "tgz: no package"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        EXPECT_EQ(unpack(row.producer, "--atomic"), row.status) << s.log();
        EXPECT_NE(s.log().find(row.said), std::string::npos) << s.log();
        EXPECT_EQ(s.state(), before);
        EXPECT_EQ(namesWith(s.path(), ".velk-staging"), "");
    }
    EXPECT_EQ(s.unpackSh("--atomic - dest version < ."), kReadFailed);
    EXPECT_NE(s.log().find("source -: read failed(21,Is a directory)"), std::string::npos) << s.log();
    EXPECT_EQ(s.unpackSh("--atomic - dest version <&-"), kIncomplete);
    EXPECT_EQ(s.state(), before);
    const std::string onTerminal = s.sh("script -qec " + quote(std::string(VELK_UNPACK) + " - dest version; echo "
                                                               "status $?") + " /dev/null < /dev/null");
    EXPECT_NE(onTerminal.find("which is a terminal"), std::string::npos) << onTerminal;
    EXPECT_NE(onTerminal.find("status 255"), std::string::npos) << onTerminal;
    EXPECT_EQ(s.state(), before);
}

// A stream is read once: --pubkey needs --atomic, which hashes it as it is staged and checks it
// before the swap, and --signature, since there is no file name to add ".minisig" to.
TEST_F(StreamTest, ASignedStreamIsCheckedBeforeTheSwap) {
    const std::string signedBy = "--atomic --pubkey k.pub --signature ";
    EXPECT_EQ(unpack("cat p.velk", signedBy + "p.velk.minisig"), 0) << s.log();
    EXPECT_EQ(describeTree(s / "dest"), newTree);
    EXPECT_NE(s.log().find("Signature and comment signature verified"), std::string::npos) << s.log();
    restore();
    EXPECT_EQ(unpack("{ cat p.velk; printf x; }", signedBy + "p.velk.minisig"), kSignatureFailed);
    EXPECT_EQ(s.state(), before);
    // A signed file that fails to decode is -7, not -8: the chunk the decoder refused is hashed too.
    s.packBadTrailer("tree", "bad.velk", "bad");
    s.sh(quote(VELK_MINISIGN) + " -S -s k.sec -m bad.velk > /dev/null");
    EXPECT_EQ(unpack("cat bad.velk", signedBy + "bad.velk.minisig"), kIncomplete) << s.log();
    EXPECT_EQ(s.state(), before);
    // A stream the decoder refuses is not read on to hash a rest that may never end: at once -7
    // (velk-inspect: 3, damaged), long before the producer stops.
    EXPECT_EQ(unpack("timeout 20 yes", signedBy + "p.velk.minisig"), kIncomplete) << s.log();
    EXPECT_EQ(s.state(), before);
    EXPECT_EQ(shellStatus(s.cd() + "timeout 20 yes | " VELK_INSPECT " --pubkey k.pub --signature p.velk.minisig"
                                   " - > log 2>&1"), 3) << s.log();
    EXPECT_EQ(unpack("cat p.velk", "--atomic --pubkey k.pub"), kUsage);
    EXPECT_EQ(unpack("cat p.velk", "--pubkey k.pub --signature p.velk.minisig"), kUsage);
    EXPECT_EQ(unpack("cat p.velk", "--source-size 100 ./p.velk"), kUsage);  // not a stream
    EXPECT_EQ(s.state(), before);
    EXPECT_EQ(shellStatus(s.cd() + "cat p.velk | " VELK_INSPECT " --pubkey k.pub - > log 2>&1"), 1);
    EXPECT_EQ(shellStatus(s.cd() + "cat p.velk | " VELK_INSPECT " --verify --pubkey k.pub --signature p.velk.minisig"
                                   " - > log 2>&1"), 0) << s.log();
}

// A parent made standard input non-blocking and the package is still arriving: EAGAIN is no end
// and no failure. velk-unpack installs and velk-inspect lists the whole package, waiting for the
// rest, and the pipe's flags, which the parent shares, stay as it set them.
TEST_F(StreamTest, ANonBlockingStandardInputIsWaitedFor) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
    const std::string trace = s / "trace";
    const std::string traced = commandLine(straceCommand(trace, {"-e", "trace=read,poll,ppoll"}));
    const struct { const char* name; std::string program, said, state; } rows[] = {
        {"velk-unpack", VELK_UNPACK + " --atomic - dest version", "tgz: unpack success", Scene::installed(bigTree, "big")},
        {"velk-inspect", VELK_INSPECT " --verify -", "\nfile: OK\n", before},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        writeFile(trace, "");
        EXPECT_EQ(shellStatus(s.cd() + quote(python()) + " -c " + quote(kNonBlocking) + " big.velk " + quote(trace) +
                              " " + traced + " " + row.program + " > log 2>&1"), 0) << s.log();
        EXPECT_NE(readFile(trace).find("= -1 EAGAIN"), std::string::npos) << "the pipe was never found empty";
        EXPECT_NE(s.log().find("the pipe stayed non-blocking\n"), std::string::npos) << s.log();
        EXPECT_NE(s.log().find(row.said), std::string::npos) << s.log();
        EXPECT_EQ(s.state(), row.state);
    }
}

// A signed run on a DEST another run holds. A stream ends at once with DEST's status: it is not
// read on to judge its signature, since its rest may never come (this producer's bytes run for
// 20 s, and read whole they would be -8). A file keeps its order: its signature is judged first,
// so a file that is not the one signed is -8.
TEST_F(StreamTest, ASignedRunOnABusyDestReadsNoStreamAndJudgesAFileFirst) {
    s.sh(": > .dest.velk-lock && { cat p.velk; printf x; } > changed.velk");
    const int held = holdWriteLock(s / ".dest.velk-lock");
    ASSERT_GE(held, 0);
    const std::string busy = "dest dest is busy: another update is running\n";
    const struct { const char* name; std::string producer, source; int status; std::string said; } rows[] = {
        {"a stream still arriving", "timeout 20 yes", "-", kIncomplete, busy},
        {"the signed file", "true", "p.velk", kIncomplete, "Signature and comment signature verified\n"},
        {"a file that is not the one signed", "true", "changed.velk", kSignatureFailed, "signature check failed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(shellStatus(s.cd() + row.producer + " | " + VELK_UNPACK + " --atomic --pubkey k.pub --signature "
                              "p.velk.minisig " + row.source + " dest version > log 2>&1"), row.status) << s.log();
        EXPECT_NE(s.log().find(busy), std::string::npos) << s.log();
        EXPECT_NE(s.log().find(row.said), std::string::npos) << s.log();
        EXPECT_EQ(s.state(), before);
        EXPECT_FALSE(exists(s / ".dest.velk-staging"));
    }
    close(held);
}

// The feed's lines "PERCENT BYTES TOTAL" climb, and say 100 once, last, on success only. A file
// gives its size, and the percent of it; a stream says "- BYTES -" until --source-size gives a
// total. When the second of two packages does not start with the magic, no line reports bytes
// past that point.
TEST_F(StreamTest, TheFeedCountsBytesAndSays100OnlyOnSuccess) {
    const std::string big = readFile(s / "big.velk"), size = std::to_string(big.size());
    std::string damaged = big + big;
    damaged[big.size()] = 'X';
    writeFile(s / "damaged.velk", damaged);
    const struct { std::string name, producer, options; int status; std::string total; } rows[] = {
        {"a file", "true", "big.velk", 0, size},
        {"a stream", producer("big.velk", 50000), "-", 0, "-"},
        {"a stream of a given size", producer("big.velk", 50000), "--source-size " + size + " -", 0, size},
        {"a file whose second package is damaged", "true", "damaged.velk", kIncomplete, std::to_string(damaged.size())},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        EXPECT_EQ(shellStatus(s.cd() + row.producer + " | " + VELK_UNPACK + " --progress-fd 3 " + row.options +
                              " dest version 3> feed > log 2>&1"), row.status) << s.log();
        std::istringstream feed(readFile(s / "feed"));
        std::vector<std::vector<std::string>> lines;
        for (std::string percent, bytes, total; feed >> percent >> bytes >> total;) lines.push_back({percent, bytes, total});
        ASSERT_FALSE(lines.empty());
        for (size_t i = 0; i < lines.size(); ++i) {
            const uint64_t done = std::stoull(lines[i][1]);
            const bool last = row.status == 0 && i + 1 == lines.size();
            const std::string percent = last ? "100" : row.total == "-" ? "-"
                                        : std::to_string(std::min<uint64_t>(done * 100 / std::stoull(row.total), 99));
            EXPECT_EQ(lines[i], (std::vector<std::string>{percent, last ? size : lines[i][1], last ? size : row.total}));
            EXPECT_TRUE(i == 0 || done >= std::stoull(lines[i - 1][1])) << i;
            EXPECT_LE(done, big.size());
        }
    }
}

// A parent hands over a feed it made non-blocking and reads slowly: the pipe is full when the
// run writes its first line. That line, and every one after it, waits for room: the last the
// parent reads is "100 SIZE SIZE".
TEST_F(StreamTest, AFullNonBlockingFeedLosesNoLine) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
    const std::string trace = s / "trace", size = std::to_string(readFile(s / "big.velk").size());
    writeFile(trace, "");
    const std::string traced = commandLine(straceCommand(trace, {"-e", "trace=write,poll,ppoll"}));
    EXPECT_EQ(shellStatus(s.cd() + quote(python()) + " -c " + quote(kFullFeed) + " " + quote(trace) + " " + traced +
                          " " + VELK_UNPACK + " --progress-fd FD big.velk dest version > feed 2> log"), 0) << s.log();
    EXPECT_NE(readFile(trace).find("= -1 EAGAIN"), std::string::npos) << "the feed was never found full";
    const std::string feed = readFile(s / "feed");
    const std::string last = "100 " + size + " " + size + "\n";
    EXPECT_TRUE(feed.size() >= last.size() && feed.compare(feed.size() - last.size(), last.size(), last) == 0) << feed;
    EXPECT_EQ(s.state(), Scene::installed(bigTree, "big"));
}

// Killed at a spread of calls while a stream is staged and at every call from the sync on:
// DEST is wholly old or wholly new, the version file names the new tree only once it is in
// place, and the next run installs.
TEST_F(StreamTest, KilledAtAnyCallAStagedStreamLeavesTheOldTreeOrTheNew) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    // Every run finds the lock file an earlier one left, which changes its calls: so does the recorded one.
    ASSERT_EQ(unpack("cat p.velk", "--atomic"), 0) << s.log();
    sweep({s / "trace", "syncfs", "SIGKILL", 10, [&] { restore(); },
           [&](const std::vector<std::string>& tool) {
               // The subshell tells of the kill on its own standard error; 128 + 9 is the shell's word for it.
               const int status = shellStatus("(" + s.cd() + "cat p.velk | " + commandLine(tool) + " " + VELK_UNPACK +
                                              " --atomic - dest version > log 2>&1) 2> /dev/null");
               Outcome outcome;
               if (status == 128 + SIGKILL) {
                   outcome.signal = SIGKILL;
               } else {
                   outcome.status = status;
               }
               return outcome;
           },
           [&](const Outcome&) {
               // Between the swap and the version file's rename, the new tree stands with the old version.
               const std::string now = s.state();
               EXPECT_TRUE(now == before || now == Scene::installed(newTree, "old") ||
                           now == Scene::installed(newTree, "new")) << now;
           }});
    restore();
    EXPECT_EQ(unpack("cat p.velk", "--atomic"), 0) << s.log();
    EXPECT_EQ(namesWith(s.path(), ".velk-staging"), "");
}

}  // namespace
