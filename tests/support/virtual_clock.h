// A virtual CLOCK_MONOTONIC for the platform fakes of the tests, the fuzz
// targets and the benchmarks: a count of nanoseconds that only the fake moves
// (its sleeps, its sends). One process-wide clock; one run at a time uses it.
#pragma once

#include <cstdint>
#include <ctime>

#include "hardware/platform.h"

namespace virtual_clock {

inline int64_t now_ns = 0;

inline timespec to_timespec(int64_t ns) {
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}
inline int64_t to_ns(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// platform_ops::clock_now reading now_ns.
inline int clock_now(timespec* t) {
  *t = to_timespec(now_ns);
  return 0;
}

// `ops` with its clock replaced by the virtual one.
inline platform_ops with_virtual_clock(platform_ops ops) {
  ops.clock_now = clock_now;
  return ops;
}

}  // namespace virtual_clock
