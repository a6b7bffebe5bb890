// The record counter of a radio in counter mode: the I word of every record
// carries a 24-bit count that starts at 0 with the stream and again at 0 each
// time the radio restarts its receive FIFO. A reader tells a restart from
// lost records by the count alone.
//
// A leaf header shared by the host tools and the tests.
#pragma once

#include <cstdint>

// The receive FIFO holds 1024 records, so a forward jump is never larger than
// that plus what a stalled reader missed; 2^20 records (2.7 s at 384 kHz) is
// far beyond both.
inline constexpr uint32_t counter_mask = 0xFFFFFF;
inline constexpr uint32_t counter_fifo_records = 1024;
inline constexpr uint32_t counter_largest_jump = 1u << 20;

// True when `count` following `last` means the radio restarted its FIFO: the
// count went back to the first records of a fresh FIFO, or moved further than
// any loss could take it. The count wrapping past 2^24 is a step forward.
constexpr bool counter_restarted(uint32_t last, uint32_t count) {
  const uint32_t step = (count - last) & counter_mask;
  if (step >= counter_largest_jump) return true;
  return count < last && count < counter_fifo_records && step > counter_fifo_records;
}

static_assert(!counter_restarted(0xFFFFFF, 0), "the count wraps forward");
static_assert(counter_restarted(0xA00000, 5), "a restart past half the range");
static_assert(counter_restarted(500, 3), "a restart soon after a restart");
static_assert(!counter_restarted(100, 700), "records lost, no restart");
