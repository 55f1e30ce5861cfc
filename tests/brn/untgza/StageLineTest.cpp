// CStageLine with two and three threads against the same stages run in one thread: the blocks
// the second stage gets, the messages of both stages, the marks, and where a refusal or a
// throw stops the line, all in the one-thread order.

#include "brn/untgza/StageLine.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "fs/Message.h"
#include "tests/support/TestSupport.h"

namespace {

using brn::CStageLine;
using brn::StageOutput;

constexpr int kBlocks = 300;
constexpr int kNever = -2;  // no block has this number

// Refusal tags the caller gives with its blocks: -100 - i for block i.
int tagOf(int block) { return -100 - block; }

// The messages of one run, the stages' and the marks' alike, in the order they were printed.
class Printed {
public:
    Printed() : file(tmpfile()) { brn::setMessageStream(file); }
    ~Printed() {
        brn::setMessageStream(nullptr);
        fclose(file);
    }
    std::string text() const {
        fflush(file);
        std::string all(size_t(ftell(file)), '\0');
        rewind(file);
        all.resize(fread(all.data(), 1, all.size(), file));
        return all;
    }

private:
    FILE* file;
};

// The first stage says something about every seventh block and hands each down in two halves;
// it refuses block `firstRefuses`. The second refuses the block that starts "5-" of block
// `secondRefuses`, and throws at `secondThrows`. Blocks are "<number>-<filler>".
struct Stages {
    int firstRefuses = kNever, secondRefuses = kNever, secondThrows = kNever;

    StageOutput first(const StageOutput& down) const {
        return [this, down](const char* data, int length) {
            const int number = std::stoi(std::string(data, size_t(length)));
            if (number % 7 == 0) brn::message("first saw %d\n", number);
            if (number == firstRefuses) return -1;
            if (down(data, length / 2) < 0) return -1;
            return down(data + length / 2, length - length / 2);
        };
    }
    StageOutput second() const {
        return [this](const char* data, int length) {
            const std::string piece(data, size_t(length));
            const int number = std::isdigit(static_cast<unsigned char>(piece[0])) ? std::stoi(piece) : -1;
            if (number == secondThrows) throw std::runtime_error("second");
            if (number == secondRefuses) return -1;
            brn::message("second took %zu bytes\n", piece.size());
            return 0;
        };
    }
};

std::string block(int number) { return std::to_string(number) + "-" + std::string(size_t(number % 50) * 40, 'x'); }

// One thread: each block through both stages at once; a mark after every tenth block. The
// printed text, and the tag of the block refused (0 when none was).
std::string oneThread(const Stages& stages, int& refused) {
    const Printed printed;
    const StageOutput second = stages.second();
    const StageOutput first = stages.first(second);
    refused = 0;
    for (int i = 0; i < kBlocks && refused == 0; ++i) {
        const std::string b = block(i);
        if (first(b.data(), int(b.size())) < 0) refused = tagOf(i);
        if (refused == 0 && i % 10 == 9) brn::message("mark %d\n", i);
    }
    return printed.text();
}

std::string onLine(int threads, const Stages& stages, int& refused) {
    const Printed printed;
    CStageLine line(threads);
    EXPECT_TRUE(line.start());
    line.observeMarks([](uint64_t done) { brn::message("mark %d\n", int(done)); });
    line.begin(stages.first([&line](const char* data, int length) { return line.handDown(data, length); }),
               stages.second());
    for (int i = 0; i < kBlocks && !line.stopped(); ++i) {
        const std::string b = block(i);
        if (line.hand(b.data(), int(b.size()), tagOf(i)) < 0) break;
        if (i % 10 == 9) line.mark(uint64_t(i));
    }
    refused = line.settle();
    return printed.text();
}

TEST(StageLineTest, BlocksMessagesMarksAndRefusalsKeepTheOneThreadOrder) {
    const struct { const char* why; Stages stages; } rows[] = {
        {"nothing refused", {}},
        {"the second stage refuses a block", {kNever, 123, kNever}},
        {"the first stage refuses a block it spoke of", {140, kNever, kNever}},
        {"both refuse, the second first", {140, 99, kNever}},
        {"both refuse, the first first", {98, 140, kNever}},
    };
    for (const auto& row : rows) {
        int wantRefused = 0;
        const std::string want = oneThread(row.stages, wantRefused);
        for (const int threads : {2, 3}) {
            SCOPED_TRACE(std::string(row.why) + ", threads " + std::to_string(threads));
            int refused = 0;
            EXPECT_EQ(onLine(threads, row.stages, refused), want);
            EXPECT_EQ(refused, wantRefused);
        }
    }
}

// What a stage throws reaches the caller from settle; every worker is joined all the same.
TEST(StageLineTest, AThrowIsRethrownBySettleAndStopsTheLine) {
    for (const int threads : {2, 3}) {
        SCOPED_TRACE(threads);
        Stages stages;
        stages.secondThrows = 17;
        int refused = 0;
        EXPECT_THROW(onLine(threads, stages, refused), std::runtime_error);
    }
}

// Abandoned with blocks in flight, the line takes no more of them and serves the next payload.
TEST(StageLineTest, AbandonDropsWhatIsInFlight) {
    for (const int threads : {2, 3}) {
        SCOPED_TRACE(threads);
        CStageLine line(threads);
        ASSERT_TRUE(line.start());
        bool abandoned = false;
        int taken = 0;
        line.begin([&line](const char* data, int length) { return line.handDown(data, length); },
                   [&](const char*, int) { return abandoned ? -1 : (++taken, 0); });
        const std::string payload(64, 'p');
        for (int i = 0; i < kBlocks; ++i) ASSERT_EQ(line.hand(payload.data(), int(payload.size()), -1), 0);
        line.abandon();
        abandoned = true;
        line.begin([&line](const char* data, int length) { return line.handDown(data, length); },
                   [&taken](const char*, int) { return ++taken, 0; });
        taken = 0;
        ASSERT_EQ(line.hand("again", 5, -1), 0);
        EXPECT_EQ(line.settle(), 0);
        EXPECT_EQ(taken, 1);
    }
}

}  // namespace
