// The keyer's clock: absolute 1 ms deadlines, the timed dot's mark,
// and what happens when the thread falls behind. Settings as in
// keyer_test.cpp (speed 25, dot 48, delay 0, mode 1).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "keyer_harness.h"

using ::testing::ElementsAre;
using interval = std::pair<int32_t, int32_t>;

namespace {

class keyer_clock : public keyer_test_base {};

TEST_F(keyer_clock, late_wake_ups_do_not_stretch_elements_because_deadlines_stay_on_the_grid) {
  const keyer_run on_time = run_keyer(300, {{1, 3, dot_in}, {100, 1000, dot_in | dash_in}});
  // Every wake-up 0.9 ms late: a sleep of 1 ms from the wake-up would drift
  // by almost a tick per tick.
  const keyer_run late =
      run_keyer(300, {{1, 3, dot_in}, {100, 1000, dot_in | dash_in}}, {}, 900000);
  EXPECT_EQ(late.events, on_time.events);
  ASSERT_FALSE(late.deadlines.empty());
  for (size_t i = 0; i < late.deadlines.size(); ++i)
    ASSERT_EQ(late.deadlines[i], static_cast<int64_t>(i + 1) * ms_ns) << "sleep " << i;
  EXPECT_EQ(late.late_sleeps, 0);
}

TEST_F(keyer_clock, timed_dot_mark_sleeps_to_its_deadline_in_1_ms_steps) {
  st(cw_mode, 0);
  st(cw_delay, 20);
  const keyer_run r = run_keyer(120, {{1, 3, dot_in}}, {}, 300000);
  // Ticks 1..21 (idle tick and RF delay), then the mark of 48 - 20 ms slept
  // in steps on the grid (so a release request is seen within a tick), then
  // the tail.
  ASSERT_GE(r.deadlines.size(), 51u);
  for (size_t i = 20; i <= 50; ++i)
    EXPECT_EQ(r.deadlines[i], static_cast<int64_t>(i + 1) * ms_ns) << "sleep " << i;
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{21, 69}));
}

// The clock jumps forward by `jump` ms at tick 10, in the mark of a dot
// keyed at tick 1, as when the thread is stopped or starved. The deadline
// that follows is then jump - 1 ms in the past.
struct lag_row {
  int64_t jump;
  int late_sleeps;
  int32_t key_up;
};
std::ostream& operator<<(std::ostream& os, const lag_row& r) {
  return os << "jump " << r.jump;
}

class keyer_lag : public keyer_test_base, public ::testing::WithParamInterface<lag_row> {};

TEST_P(keyer_lag, short_lags_are_caught_up_and_long_ones_restart_the_tick_grid) {
  const lag_row& row = GetParam();
  const keyer_run r = run_keyer(1200, {{1, 3, dot_in}}, [&](int32_t t) {
    if (t == 10) keyer_harness::now_ns += row.jump * ms_ns;
  });
  EXPECT_EQ(r.late_sleeps, row.late_sleeps);
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, row.key_up}));
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_lag,
    ::testing::Values(lag_row{5, 5, 49},                          // caught up: still 48 ms
                      lag_row{keyer_max_lag_ms + 1, 21, 49},      // lag of exactly the limit
                      lag_row{keyer_max_lag_ms + 2, 1, 49 + 21},  // one beyond: resynchronised
                      lag_row{1000, 1, 49 + 999}),
    [](const auto& info) { return "jump_" + std::to_string(info.param.jump); });

}  // namespace
