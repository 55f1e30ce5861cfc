#include "fs/Clock.h"

#include <time.h>

#include <cerrno>

namespace velk {

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

void pauseFor(int64_t nanoseconds) {
    timespec left{time_t(nanoseconds / kNanosecondsPerSecond), long(nanoseconds % kNanosecondsPerSecond)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace velk
