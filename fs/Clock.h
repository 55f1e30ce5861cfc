#pragma once
// The monotonic clock the programs time things by (progress lines, a download's stalls and
// the pauses between its tries), and a pause that sleeps out its whole length. Stateless.

#include <cstdint>

namespace velk {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

// Nanoseconds of the monotonic clock.
int64_t monotonicNanoseconds();
// Sleeps `nanoseconds`, on through interrupted sleeps.
void pauseFor(int64_t nanoseconds);

}  // namespace velk
