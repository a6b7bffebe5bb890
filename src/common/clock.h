// Time in nanoseconds: the units, and the conversions from and to the
// timespec of the clock and sleep calls.
//
// A leaf header shared by the server, the simulated board and the host tools.
#pragma once

#include <time.h>

#include <cstdint>

inline constexpr int64_t ns_per_us = 1000;
inline constexpr int64_t ns_per_ms = 1000 * ns_per_us;
inline constexpr int64_t ns_per_s = 1000 * ns_per_ms;

constexpr int64_t timespec_ns(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

// `ns` is not negative.
constexpr timespec ns_timespec(int64_t ns) {
  return {static_cast<time_t>(ns / ns_per_s), static_cast<long>(ns % ns_per_s)};
}
