#include "app/ProgressLine.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "fs/Clock.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr int64_t kLineInterval = 250000000;  // ns between two rewrites of the terminal line
constexpr int64_t kFeedInterval = 100000000;  // ns between two feed lines: about ten a second
constexpr double kBytesPerMegabyte = 1e6;

constexpr uint64_t kRunningPercent = 99;  // the most a line says before the install is complete

// Whole percent, rounded down, at most 99: 100 is for the line that says the install is complete.
uint64_t percentOf(uint64_t done, uint64_t total) { return std::min(done * 100 / total, kRunningPercent); }

}  // namespace

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
    const double seconds = double(now - started) / double(kNanosecondsPerSecond);
    const double rate = seconds > 0 ? double(done) / seconds : 0.0;
    const double left = rate > 0 && total > done ? double(total - done) / rate : 0.0;
    const double megabytes = double(done) / kBytesPerMegabyte;
    const int written = total == 0
        ? fprintf(stderr, "\rread %.1f MB, %.1f MB/s", megabytes, rate / kBytesPerMegabyte)
        : fprintf(stderr, "\rread %.1f of %.1f MB, %.1f MB/s, %.0f s left", megabytes,
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
    read = done;
    if (fd < 0 || broken || (total != 0 && done == total)) return;  // the full count is succeed()'s
    const int64_t now = monotonicNanoseconds();
    if (last != 0 && now - last < kFeedInterval) return;
    last = now;
    writeLine(done);
}

void CProgressFeed::succeed() {
    if (fd < 0 || broken) return;
    char line[80];
    const int length = snprintf(line, sizeof line, "100 %" PRIu64 " %" PRIu64 "\n", read, read);
    writeText(line, length);
}

void CProgressFeed::writeLine(uint64_t done) {
    if (done < lastDone) done = lastDone;
    lastDone = done;
    char line[80];
    const int length = total == 0 ? snprintf(line, sizeof line, "- %" PRIu64 " -\n", done)
                                  : snprintf(line, sizeof line, "%" PRIu64 " %" PRIu64 " %" PRIu64 "\n",
                                             percentOf(done, total), done, total);
    writeText(line, length);
}

// One whole line per write, so a reader never sees half of one. A full pipe is waited for,
// even where its owner made it non-blocking: a reader that is only slow loses no line. A
// failed write (a closed descriptor, a reader gone) ends the feed quietly.
void CProgressFeed::writeText(const char* line, int length) {
    if (writeWaiting(fd, line, size_t(length)) != length) broken = true;
}

}  // namespace velk
