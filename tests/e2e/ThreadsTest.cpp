// Threads change nothing a user can see: on packages damaged around every 102400-byte chunk
// boundary (where the reading thread hands a chunk on while the others still work on the last
// one), the run on threads ends with the status, the messages byte for byte, the files and the
// version file of the one-thread run; one processor, or --threads 1, is one thread.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

constexpr size_t kChunk = 102400;  // what velk-unpack reads at a time

class ThreadsTest : public ::testing::Test {
protected:
    // Two packages of several chunks each, the second starting inside a chunk: random files
    // (which deflate cannot shrink) between text, a folder and a link.
    void SetUp() override {
        s.sh("mkdir -p one/d two/e && ln -s d/r1.bin one/l && seq 1 40000 > one/d/count.txt && seq 7 90000 > two/e/t");
        writeFile(s / "one/d/r1.bin", seededBytes(3 * kChunk + 500, 41));
        writeFile(s / "one/r2.bin", seededBytes(kChunk / 2, 42));
        writeFile(s / "two/e/r3.bin", seededBytes(2 * kChunk + 77, 43));
        intact = readFile(s.pack("one", "p1.velk", "1.0", 1)) + readFile(s.pack("two", "p2.velk", "2.0", 2));
    }

    // Status, messages, DEST and the version file after unpacking `bytes` with `threads`.
    std::string outcome(const std::string& bytes, const std::string& threads) {
        writeFile(s / "in.velk", bytes);
        s.sh("rm -rf dest && mkdir dest && printf old > version");
        Launch how;
        how.argv = {VELK_UNPACK_PROGRAM, "--threads", threads, "in.velk", "dest", "version"};
        how.out = s / "log";
        how.workDir = s.path();
        const Outcome run = velktest::run(how);
        return "status " + std::to_string(run.status) + "\n" + s.log() + "\n" + s.state();
    }

    Scene s;
    std::string intact;
};

// Near each boundary: a flipped bit, a cut, and a garbled span that crosses it; the files and
// the version file too, whether the damage falls in a head, a payload or between packages.
TEST_F(ThreadsTest, DamageAtEveryChunkBoundaryEndsAsInOneThread) {
    ASSERT_GT(intact.size(), 5 * kChunk);
    EXPECT_EQ(outcome(intact, "3"), outcome(intact, "1"));
    for (size_t boundary = kChunk; boundary < intact.size(); boundary += kChunk) {
        for (const size_t at : {boundary - 40, boundary - 1, boundary, boundary + 1, boundary + 300}) {
            std::string flipped = intact, garbled = intact;
            flipped[at] = char(flipped[at] ^ (1 << (at % 8)));
            for (size_t i = at - 20; i < at + 20 && i < garbled.size(); ++i) garbled[i] = char(garbled[i] ^ 0x5A);
            for (const std::string& damaged : {flipped, garbled, intact.substr(0, at)}) {
                SCOPED_TRACE("damage at " + std::to_string(at));
                EXPECT_EQ(outcome(damaged, "3"), outcome(damaged, "1"));
            }
        }
    }
}

// Threads are made (clone) only where there are processors to run them and --threads allows.
TEST_F(ThreadsTest, OneProcessorOrOneThreadRunsInOneThread) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
    if (shell("nproc | tr -d '\\n'") == "1") GTEST_SKIP() << "one processor: no run here makes threads";
    const struct { const char* why; std::vector<std::string> front, options; bool threads; } rows[] = {
        {"by default", {}, {}, true},
        {"--threads 2", {}, {"--threads", "2"}, true},
        {"--threads 1", {}, {"--threads", "1"}, false},
        {"pinned to one processor", {"taskset", "-c", "0"}, {}, false},
        {"pinned to one processor, --threads 3", {"taskset", "-c", "0"}, {"--threads", "3"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        s.sh("rm -rf dest && mkdir dest");
        Launch how;
        how.argv = straceCommand(s / "trace", {"-e", "trace=clone,clone3"});
        how.argv.insert(how.argv.end(), row.front.begin(), row.front.end());
        how.argv.push_back(VELK_UNPACK_PROGRAM);
        how.argv.insert(how.argv.end(), row.options.begin(), row.options.end());
        how.argv.insert(how.argv.end(), {"p1.velk", "dest", "version"});
        how.out = s / "log";
        how.workDir = s.path();
        const Outcome run = velktest::run(how);
        ASSERT_EQ(run.status, 0) << s.log();
        const std::string trace = readFile(s / "trace");  // taskset makes no thread: it sets the mask and execs
        EXPECT_EQ(trace.find("clone") != std::string::npos, row.threads) << trace;
        EXPECT_EQ(s.state(), Scene::installed(describeTree(s / "one"), "1.0"));
    }
}

// Where the system makes no thread (here: no room in the address space for a thread's stack,
// which takes the size of the stack limit), the run goes on in one thread, as --threads 1.
TEST_F(ThreadsTest, WhereNoThreadCanBeMadeTheRunIsOneThread) {
    if (kEmulated) GTEST_SKIP() << "strace must trace the program itself";
#ifdef VELK_SANITIZE_BUILD
    GTEST_SKIP() << "a sanitizer's runtime needs more address space than the limit leaves";
#endif
    const std::string oneThread = outcome(intact, "1");
    Launch how;
    how.argv = straceCommand(s / "trace", {"-e", "trace=clone,clone3"});
    how.argv.insert(how.argv.end(), {VELK_UNPACK_PROGRAM, "--threads", "3", "in.velk", "dest", "version"});
    how.out = s / "log";
    how.workDir = s.path();
    how.limits = {{RLIMIT_STACK, rlim_t(512) << 20}, {RLIMIT_AS, rlim_t(256) << 20}};
    s.sh("rm -rf dest && mkdir dest && printf old > version");
    const Outcome run = velktest::run(how);
    EXPECT_EQ("status " + std::to_string(run.status) + "\n" + s.log() + "\n" + s.state(), oneThread);
    EXPECT_EQ(readFile(s / "trace").find("clone"), std::string::npos) << readFile(s / "trace");
}

}  // namespace
