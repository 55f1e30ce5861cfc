#include "app/ProgressLine.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "fs/Message.h"

namespace velk {

namespace {

constexpr int64_t kLineInterval = 250000000;  // ns between two rewrites of the terminal line
constexpr int64_t kFeedInterval = 100000000;  // ns between two feed lines: about ten a second
constexpr double kBytesPerMegabyte = 1e6;
constexpr double kNanosecondsPerSecond = 1e9;

// Whole percent, rounded down, so it reaches 100 only with the last byte.
uint64_t percentOf(uint64_t done, uint64_t total) { return total == 0 ? 100 : done * 100 / total; }

}  // namespace

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

CProgressLine::CProgressLine(bool on, uint64_t size)
    : enabled(on), total(size), started(monotonicNanoseconds()), last(started) {
    if (enabled) brn::setBeforeMessage([this] { clear(); });
}

CProgressLine::~CProgressLine() {
    if (enabled) brn::setBeforeMessage(nullptr);
}

void CProgressLine::update(uint64_t done) {
    if (!enabled) return;
    const int64_t now = monotonicNanoseconds();
    if (now - last < kLineInterval && done < total) return;
    last = now;
    const double seconds = double(now - started) / kNanosecondsPerSecond;
    const double rate = seconds > 0 ? double(done) / seconds : 0.0;
    const double left = rate > 0 ? double(total - done) / rate : 0.0;
    const int written = fprintf(stderr, "\rread %.1f of %.1f MB, %.1f MB/s, %.0f s left", double(done) / kBytesPerMegabyte,
                                double(total) / kBytesPerMegabyte, rate / kBytesPerMegabyte, left);
    if (written > width) width = written;
    shown = true;
}

void CProgressLine::clear() {
    if (!shown) return;
    fprintf(stderr, "\r%*s\r", width, "");
    shown = false;
}

CProgressFeed::CProgressFeed(int descriptor, uint64_t size) : fd(descriptor), total(size) {}

void CProgressFeed::update(uint64_t done) {
    if (fd < 0 || broken || done >= total) return;  // the full count is succeed()'s to write
    const int64_t now = monotonicNanoseconds();
    if (last != 0 && now - last < kFeedInterval) return;
    last = now;
    writeLine(done);
}

void CProgressFeed::succeed() {
    if (fd >= 0 && !broken) writeLine(total);
}

// One whole line per write, so a reader never sees half of one; a failed write (a closed
// descriptor, a reader gone) ends the feed quietly.
void CProgressFeed::writeLine(uint64_t done) {
    if (done < lastDone) done = lastDone;
    lastDone = done;
    char line[80];
    const int length = snprintf(line, sizeof line, "%" PRIu64 " %" PRIu64 " %" PRIu64 "\n", percentOf(done, total),
                                done, total);
    ssize_t written = -1;
    do {
        written = write(fd, line, size_t(length));
    } while (written < 0 && errno == EINTR);
    if (written != length) broken = true;
}

}  // namespace velk
