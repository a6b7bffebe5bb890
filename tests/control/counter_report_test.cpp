// The counter report: one line on standard error at most once per period,
// and only when a count changed, on a virtual clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "control/counters.h"
#include "hardware/platform.h"
#include "sim/sim_platform.h"
#include "support/board.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

std::vector<std::string> lines;  // what went to standard error

// At `at_ms`, bump counts, then run one report pass; `line` is what that pass
// writes ("" for nothing).
struct step {
  int64_t at_ms;
  std::function<void()> bump;
  std::string line;
};

class counter_report : public board_fixture {
 protected:
  counter_report() : board_fixture({.map = false, .settings = {.virtual_clock = true}}) {
    test_platform::ops.write = [](int fd, const void* buf, size_t len) {
      if (fd == STDERR_FILENO) lines.emplace_back(static_cast<const char*>(buf), len);
      return static_cast<ssize_t>(len);
    };
    lines.clear();
  }

  void play(const std::vector<step>& steps) {
    for (const step& s : steps) {
      test_platform::now_ns = (1'000'000 + s.at_ms) * 1'000'000;  // from 1000 s on
      if (s.bump) s.bump();
      const size_t before = lines.size();
      counters_report();
      const std::string got = lines.size() > before ? lines.back() : "";
      EXPECT_EQ(got, s.line) << "at " << s.at_ms << " ms";
    }
  }
};

TEST_F(counter_report, one_line_per_period_and_only_when_a_count_changed) {
  play({
      {0, nullptr, ""},  // the first period begins
      {4000,
       [] {
         tally(count_rx_fifo_resets, 3);
         tally(count_rx_samples_discarded, 3072);
       },
       ""},
      {9999, [] { tally(count_tx_fifo_empty); }, ""},
      {10000, nullptr,
       "varnholt: last 10 s: receive FIFO reset 3 times (3072 samples lost), transmit FIFO ran "
       "empty once\n"},
      {15000, nullptr, ""},
      {20050, nullptr, ""},  // a period without changes says nothing
      {25000, [] { tally(count_ep2_short, 2); }, ""},
      {30049, nullptr, ""},  // 9.999 s into the period that began at 20.05 s
      {30050, nullptr, "varnholt: last 10 s: short EP2 datagram dropped 2 times\n"},
      // A loop held up for longer reports the time that really passed.
      {47000, [] { tally(count_send_failures); }, "varnholt: last 16 s: stream send failed once\n"},
  });
}

TEST_F(counter_report, every_count_has_its_words_in_a_fixed_order) {
  play({{0, nullptr, ""},
        {10000,
         [] {
           tally(count_codec_samples_dropped, 126);
           tally(count_tx_samples_dropped, 252);
           tally(count_tx_released);
           tally(count_tx_fifo_empty, 4);
           tally(count_ep2_short);
           tally(count_send_failures, 2);
           tally(count_codec_fifo_resets);
           tally(count_rx_fifo_full, 7);
           tally(count_rx_fifo_resets);
           tally(count_rx_samples_discarded, 1024);
           tally(count_long_datagrams);
           tally(count_kernel_drops, 17);
           tally(count_stream_timeouts, 2);
         },
         "varnholt: last 10 s: receive FIFO reset once (1024 samples lost), receive FIFO found "
         "full 7 times, microphone FIFO reset once, stream send failed 2 times, short EP2 "
         "datagram dropped once, transmit FIFO ran empty 4 times, transmit request released "
         "once, 252 transmit samples dropped, 126 audio samples dropped, long datagram "
         "dropped once, 17 datagrams dropped by the kernel, stream of a silent client stopped 2 "
         "times\n"}});
}

// At the end of the process the period in progress is reported too, when a
// count changed in it; the status keeps the last whole period's counts.
struct final_row {
  const char* name;
  bool count;
  std::string line;
};
class final_report : public counter_report, public testing::WithParamInterface<final_row> {};

TEST_P(final_report, the_last_partial_period_is_reported_when_a_count_changed) {
  const final_row& r = GetParam();
  play({{0, nullptr, ""},
        {10000, [] { tally(count_ep2_short); },
         "varnholt: last 10 s: short EP2 datagram dropped once\n"}});
  EXPECT_STREQ(counters_last_summary, "short EP2 datagram dropped once");
  EXPECT_EQ(counters_last_seconds, 10);
  if (r.count) tally(count_stream_timeouts);
  test_platform::now_ns = (int64_t{1'000'000} + 13500) * 1'000'000;
  const size_t before = lines.size();
  counters_report_final();
  EXPECT_EQ(lines.size() > before ? lines.back() : "", r.line);
}

INSTANTIATE_TEST_SUITE_P(
    rows, final_report,
    testing::Values(final_row{"count_changed", true,
                              "varnholt: last 3 s: stream of a silent client stopped once\n"},
                    final_row{"nothing_changed", false, ""}),
    test_rows::row_name);

TEST_F(counter_report, a_process_that_ends_before_its_first_pass_reports_every_count) {
  tally(count_kernel_drops, 5);
  counters_report_final();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "varnholt: last 0 s: 5 datagrams dropped by the kernel\n");
}

TEST(counter_format, a_line_too_long_for_the_buffer_is_cut_and_still_ends_the_line) {
  uint32_t before[counter_count] = {};
  uint32_t after[counter_count];
  for (uint32_t& a : after) a = 4000000000u;
  char out[36];
  const size_t n = counters_format(before, after, 10, out, sizeof out);
  EXPECT_EQ(std::string(out, n), "varnholt: last 10 s: receive FIFO r\n");
}

}  // namespace
