// The stream thread's batch wait on a virtual clock: every wake-up late by a
// fixed amount, the receive FIFO filling at the sample rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "net_harness.h"
#include "support/stream_clock.h"

namespace {

using stream_clock::run_config;
using stream_clock::run_result;

struct wait_row {
  int rate_code;
  int receivers;
  int64_t lateness_us;
  bool keeps_up;  // every record read, no restart, no look at the reset mark
};
std::ostream& operator<<(std::ostream& os, const wait_row& r) {
  return os << "rate " << r.rate_code << ", " << r.receivers << " rx, late " << r.lateness_us
            << " us";
}

class stream_wait : public board_fixture, public testing::WithParamInterface<wait_row> {};

TEST_P(stream_wait, reads_every_batch_without_overflow_up_to_its_latency_tolerance) {
  const wait_row& row = GetParam();
  run_config c;
  c.rate_code = row.rate_code;
  c.receivers = row.receivers;
  c.lateness_ns = row.lateness_us * 1000;
  c.duration_ns = 500000000;  // 0.5 s: hundreds of batches at 384 kHz, every phase
  const run_result r = stream_clock::run(c);

  const ep6_geometry g = ep6_geometry_for(row.receivers);
  const auto& calls = test_platform::calls;
  EXPECT_EQ(calls.thread_names, std::vector<std::string>{"stream"});
  EXPECT_EQ(r.reads_ahead, 0) << "read a batch the FIFO did not hold";
  EXPECT_EQ(calls.usleeps, 0);
  EXPECT_GE(calls.shortest_sleep_ns, ep6_wait_min_ns);
  EXPECT_LE(calls.longest_sleep_ns, ep6_wait_max_ns);
  EXPECT_EQ(r.records_read, r.batches * g.samples);
  if (row.keeps_up) {
    EXPECT_EQ(r.records_lost, 0);
    EXPECT_EQ(r.overflows, 0);
    EXPECT_EQ(r.restarts, 0);
    EXPECT_EQ(ld(count_rx_fifo_full), 0u);
    // All that was made in the run, less at most a batch and the lateness.
    const int64_t made = (int64_t{48000} << row.rate_code) / 2;
    EXPECT_GT(r.records_read, made - 2 * g.samples - (int64_t{48} << row.rate_code) * 2);
  } else {
    // Too late: samples are lost, and every look that found the FIFO full
    // is counted even though the wait then reads the batch at once.
    EXPECT_GT(r.records_lost, 0);
    EXPECT_GT(ld(count_rx_fifo_full), 0u);
  }
  EXPECT_EQ(ld(count_rx_fifo_resets), static_cast<uint32_t>(r.restarts));
}

INSTANTIATE_TEST_SUITE_P(rows, stream_wait,
                         testing::Values(wait_row{3, 1, 0, true},  //
                                         wait_row{3, 1, 1200, true}, wait_row{3, 4, 1200, true},
                                         wait_row{3, 8, 1200, true},
                                         wait_row{3, 8, 60, true},  // typical, not worst
                                         wait_row{0, 8, 1200, true}, wait_row{3, 8, 1500, false}),
                         [](const auto& info) {
                           const wait_row& r = info.param;
                           return "rate" + std::to_string(r.rate_code) + "_rx" +
                                  std::to_string(r.receivers) + "_late" +
                                  std::to_string(r.lateness_us) + "us";
                         });

// A network that does not take the frames at 384 kHz: the sends that find the
// send buffer full are counted, and the stream does not wait for the network
// while the receive FIFO fills.
TEST(stream_send, a_full_send_buffer_costs_frames_not_the_fifo) {
  sim_board board;
  run_config c;
  c.duration_ns = 100000000;
  c.full_buffer_every = 3;
  const run_result r = stream_clock::run(c);
  ASSERT_GE(r.batches, 6);
  EXPECT_EQ(ld(count_send_failures), static_cast<uint32_t>(r.batches / 3));
  EXPECT_EQ(r.restarts, 0);
}

// The sleep for the missing words as the wait works it out (in 32 bits, by a
// constant division and a shift) equals the missing words' time at the FIFO's
// word rate, rounded up to whole nanoseconds, held within its bounds.
TEST(stream_wait_time, equals_the_missing_words_time_rounded_up) {
  for (int rate_code = 0; rate_code < 4; ++rate_code)
    for (int missing = -100; missing <= 20000; ++missing) {
      const int64_t per_s = ep6_words_per_second(rate_code);
      const int64_t ns = (int64_t{missing} * 1000000000 + per_s - 1) / per_s;
      const int64_t want = std::clamp(ns, ep6_wait_min_ns, ep6_wait_max_ns);
      ASSERT_EQ(ep6_wait_ns(missing, rate_code), want)
          << "rate " << rate_code << ", " << missing << " words missing";
    }
}

}  // namespace
