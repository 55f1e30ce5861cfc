// SOURCE "-": a package read from standard input as it arrives, from a pipe, a socket or a
// producer that writes a byte at a time, with the same guarantees as a file: a stream cut
// short or followed by garbage is not an install, --atomic keeps the old tree through every
// failure and every kill, a signature is checked before the swap, and progress is reported
// in bytes.

#include <gtest/gtest.h>

#include <signal.h>

#include <sstream>

#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::describeTree;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

namespace {

constexpr int kUsage = 255, kReadFailed = 251, kIncomplete = 249, kSignature = 248;  // -1, -5, -7, -8
#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // strace would trace the emulator
#else
constexpr bool kEmulated = false;
#endif

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

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell(cd() + "mkdir -p tree/etc && printf 'a=1\\n' > tree/etc/a.conf && tar --format=ustar --sort=name"
              " --mtime=@0 --owner=0 --group=0 -C tree -cf t.tar . && " + velktest::refPacker() +
              " --label L --info '{\"PLVS\":\"new\"}' --seed 3 --tar t.tar -o p.velk && " + quote(VELK_MINISIGN) +
              " -G -W -p k.pub -s k.sec > /dev/null && " + quote(VELK_MINISIGN) + " -S -s k.sec -m p.velk > /dev/null");
        velktest::writeFile(dir / "tree/big.bin", velktest::seededBytes(700000, 12));  // several chunks
        shell(cd() + "tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C tree -cf big.tar . && " +
              velktest::refPacker() + " --label L --info '{\"PLVS\":\"big\"}' --seed 4 --tar big.tar -o big.velk");
        bigTree = describeTree(dir / "tree");
        shell(cd() + "rm tree/big.bin");
        newTree = describeTree(dir / "tree");
        restore();
    }
    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    void restore() {
        shell(cd() + "rm -rf dest .dest.velk-staging && mkdir dest && printf old > dest/old && printf old > version");
        before = state();
    }
    std::string state() const { return describeTree(dir / "dest") + "version: " + readFile(dir / "version"); }
    // `producer | velk-unpack OPTIONS - dest version`, in the test folder.
    int unpack(const std::string& producer, const std::string& options = "") {
        return velktest::shellStatus(cd() + producer + " | " + VELK_UNPACK + " " + options + " - dest version > log 2>&1");
    }
    std::string producer(const std::string& file, size_t piece, long stop = -1) const {
        return quote(velktest::python()) + " -c " + quote(kProducer) + " " + file + " " + std::to_string(piece) +
               (stop < 0 ? "" : " " + std::to_string(stop));
    }
    std::string log() const { return readFile(dir / "log"); }

    velktest::TempDir dir;
    std::string newTree, bigTree, before;
};

// A pipe, a socket and a producer of one byte at a time give the tree a file gives.
TEST_F(StreamTest, AnyStreamInstallsTheTreeAFileGives) {
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        restore();
        ASSERT_EQ(unpack("cat big.velk", mode), 0) << log();
        EXPECT_EQ(describeTree(dir / "dest"), bigTree);
        EXPECT_EQ(readFile(dir / "version"), "big");
        restore();
        ASSERT_EQ(velktest::shellStatus(cd() + quote(velktest::python()) + " -c " + quote(kSocket) + " big.velk " +
                                        VELK_UNPACK + " " + mode + "- dest version > log 2>&1"), 0) << log();
        EXPECT_EQ(describeTree(dir / "dest"), bigTree);
        restore();
        ASSERT_EQ(unpack(producer("p.velk", 1), mode), 0) << log();
        EXPECT_EQ(describeTree(dir / "dest"), newTree);
    }
    // velk-inspect lists a stream as it lists the file.
    EXPECT_EQ(shell(cd() + "cat big.velk | " + VELK_INSPECT + " --verify -"), shell(cd() + VELK_INSPECT + " --verify big.velk"));
}

// A producer that dies inside a package, or garbage after the last one, is not an install: -7.
// With --atomic DEST and the version file stay byte for byte and no staging folder is left.
// A read that fails is -5; standard input closed is an empty stream; a terminal is refused.
TEST_F(StreamTest, AStreamThatIsNotWholeIsNotAnInstall) {
    const long half = long(readFile(dir / "big.velk").size() / 2);
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
        EXPECT_EQ(unpack(row.producer, "--atomic"), row.status) << log();
        EXPECT_NE(log().find(row.said), std::string::npos) << log();
        EXPECT_EQ(state(), before);
        EXPECT_FALSE(velktest::exists(dir / ".dest.velk-staging"));
    }
    EXPECT_EQ(velktest::shellStatus(cd() + VELK_UNPACK + " --atomic - dest version < . > log 2>&1"), kReadFailed);
    EXPECT_NE(log().find("source -: read failed(21,Is a directory)"), std::string::npos) << log();
    EXPECT_EQ(velktest::shellStatus(cd() + VELK_UNPACK + " --atomic - dest version <&- > log 2>&1"), kIncomplete);
    EXPECT_EQ(state(), before);
    const std::string onTerminal = shell(cd() + "script -qec " + quote(std::string(VELK_UNPACK) + " - dest version; echo "
                                                                      "status $?") + " /dev/null < /dev/null");
    EXPECT_NE(onTerminal.find("which is a terminal"), std::string::npos) << onTerminal;
    EXPECT_NE(onTerminal.find("status 255"), std::string::npos) << onTerminal;
    EXPECT_EQ(state(), before);
}

// A stream is read once: --pubkey needs --atomic, which hashes it as it is staged and checks it
// before the swap, and --signature, since there is no file name to add ".minisig" to.
TEST_F(StreamTest, ASignedStreamIsCheckedBeforeTheSwap) {
    EXPECT_EQ(unpack("cat p.velk", "--atomic --pubkey k.pub --signature p.velk.minisig"), 0) << log();
    EXPECT_EQ(describeTree(dir / "dest"), newTree);
    EXPECT_NE(log().find("Signature and comment signature verified"), std::string::npos) << log();
    restore();
    EXPECT_EQ(unpack("{ cat p.velk; printf x; }", "--atomic --pubkey k.pub --signature p.velk.minisig"), kSignature);
    EXPECT_EQ(state(), before);
    // A signed file that fails to decode is -7, not -8: the chunk the decoder refused is hashed too.
    std::string gz = shell(cd() + "gzip -n -c big.tar");
    gz[gz.size() - 8] = char(gz[gz.size() - 8] ^ 0x40);
    velktest::writeFile(dir / "bad.gz", gz);
    shell(cd() + velktest::refPacker() + " --label L --info '{\"PLVS\":\"bad\"}' --gzip bad.gz -o bad.velk && " +
          quote(VELK_MINISIGN) + " -S -s k.sec -m bad.velk > /dev/null");
    EXPECT_EQ(unpack("cat bad.velk", "--atomic --pubkey k.pub --signature bad.velk.minisig"), kIncomplete) << log();
    EXPECT_EQ(state(), before);
    EXPECT_EQ(unpack("cat p.velk", "--atomic --pubkey k.pub"), kUsage);
    EXPECT_EQ(unpack("cat p.velk", "--pubkey k.pub --signature p.velk.minisig"), kUsage);
    EXPECT_EQ(unpack("cat p.velk", "--source-size 100 ./p.velk"), kUsage);  // not a stream
    EXPECT_EQ(state(), before);
    EXPECT_EQ(velktest::shellStatus(cd() + "cat p.velk | " + VELK_INSPECT + " --pubkey k.pub - > log 2>&1"), 1);
    EXPECT_EQ(velktest::shellStatus(cd() + "cat p.velk | " + VELK_INSPECT +
                                    " --verify --pubkey k.pub --signature p.velk.minisig - > log 2>&1"), 0) << log();
}

// The feed of a stream says "- BYTES -" while its size is unknown; --source-size N brings the
// percent back, at most 99 until the end; the last line, on success only, is "100 BYTES BYTES".
TEST_F(StreamTest, TheFeedOfAStreamCountsBytes) {
    const std::string size = std::to_string(readFile(dir / "big.velk").size());
    for (const std::string& given : {std::string(), size}) {
        SCOPED_TRACE(given.empty() ? "size unknown" : "--source-size");
        restore();
        ASSERT_EQ(unpack(producer("big.velk", 50000), (given.empty() ? "" : "--source-size " + given + " ") +
                         "--progress-fd 3 3> feed"), 0) << log();
        std::istringstream feed(readFile(dir / "feed"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(feed, line);) lines.push_back(line);
        ASSERT_GE(lines.size(), 1u);
        EXPECT_EQ(lines.back(), "100 " + size + " " + size);
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            std::istringstream words(lines[i]);
            std::string percent, bytes, total;
            words >> percent >> bytes >> total;
            if (given.empty()) {
                EXPECT_TRUE(percent == "-" && total == "-") << lines[i];
            } else {
                EXPECT_TRUE(total == size && std::stoul(percent) <= 99) << lines[i];
            }
        }
    }
}

// Killed at a spread of calls while a stream is staged and at every call from the sync on:
// DEST is wholly old or wholly new, the version file names the new tree only once it is in
// place, and the next run installs.
TEST_F(StreamTest, KilledAtAnyCallAStagedStreamLeavesTheOldTreeOrTheNew) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    const std::string stream = "cat p.velk | ";
    const std::string command = std::string(VELK_UNPACK) + " --atomic - dest version";
    const std::string trace = dir / "trace";
    // Every run below finds the lock file an earlier one left, which changes its calls: so does the recorded one.
    ASSERT_EQ(velktest::shellStatus(cd() + stream + command + " > log 2>&1"), 0) << log();
    restore();
    ASSERT_EQ(velktest::shellStatus(cd() + stream + velktest::commandLine(velktest::straceRecording(trace)) + " " +
                                    command + " > log 2>&1"), 0) << log();
    const velktest::SyscallTrace calls = velktest::readSyscallTrace(readFile(trace), "syncfs");
    ASSERT_TRUE(calls.markerSeen);
    size_t killed = 0, tried = 0;
    for (const velktest::CallPoint& point : velktest::killPoints(calls, 10)) {
        SCOPED_TRACE(point.shown());
        restore();
        ++tried;
        const std::string strace = velktest::commandLine(velktest::straceInjecting(point.call, "signal=SIGKILL", point.when));
        // The subshell tells of the kill on its own standard error.
        const int status = velktest::shellStatus("(" + cd() + stream + strace + " " + command + " > log 2>&1) 2> /dev/null");
        killed += status == 128 + SIGKILL;  // the shell's word for a kill
        // Between the swap and the version file's rename, the new tree stands with the old version.
        const std::string now = state();
        EXPECT_TRUE(now == before || now == newTree + "version: old" || now == newTree + "version: new") << now;
    }
    EXPECT_EQ(killed, tried) << "a run that was to be killed ended otherwise";
    restore();
    EXPECT_EQ(velktest::shellStatus(cd() + stream + command + " > log 2>&1"), 0) << log();
    EXPECT_FALSE(velktest::exists(dir / ".dest.velk-staging"));
}

}  // namespace
