// What the keyer tells the rest of the server, with the settings of
// keyer_test.cpp (speed 25: dot 48, dash 144; hang 10 ticks; codec).
//
// Its answer to cw_release (the server's way out after a stop signal):
// whatever it is doing, within the tick the request comes, the sidetone goes
// off, then the key, then PTT drops in its usual order; then it says so and
// keys nothing more, whatever the paddles do.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>

#include "keyer_harness.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

struct release_row {
  const char* name;
  uint8_t mode;
  uint8_t delay;
  std::vector<press> presses;
  int32_t release_at;              // tick in which cw_release is set
  std::vector<std::string> after;  // tx_rst events from that tick on
};
class keyer_release : public keyer_test_base, public ::testing::WithParamInterface<release_row> {};

TEST_P(keyer_release, ends_keying_in_drop_order_within_the_tick_and_then_keys_nothing) {
  const release_row& row = GetParam();
  st(cw_mode, row.mode);
  st(cw_delay, row.delay);
  int32_t released_at = -1;
  // The paddles are pressed again long after the release: nothing follows.
  std::vector<press> presses = row.presses;
  presses.push_back({400, 600, dot_in | dash_in});
  const keyer_run r = run_keyer(700, presses, [&](int32_t t) {
    if (t == row.release_at) st(cw_release, 1);
    if (released_at < 0 && ld(cw_released)) released_at = t - 1;  // set during tick t-1
  });
  std::vector<std::string> after;
  for (size_t i = 0; i < r.events.size(); ++i)
    if (r.stores[i].tick >= row.release_at) after.push_back(r.events[i]);
  EXPECT_EQ(after, row.after);
  EXPECT_EQ(released_at, row.release_at);
  EXPECT_EQ(ld(cw_ptt), 0);
  EXPECT_EQ(ld(keyer_owns_tx), 0);
}

std::vector<std::string> at(int32_t t, std::initializer_list<const char*> events) {
  std::vector<std::string> v;
  for (const char* e : events) v.push_back(std::to_string(t) + " " + e);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_release,
    ::testing::Values(release_row{"idle", 1, 0, {}, 50, {}},
                      release_row{"straight_key_held",
                                  0,
                                  0,
                                  {{1, 1000, dash_in}},
                                  100,
                                  cat({at(100, {"-tone", "-key"}), drop_at(100)})},
                      // RF delay 20: the mark is slept from tick 21 to 49 in 1 ms steps.
                      release_row{"in_the_mark_of_a_timed_dot",
                                  0,
                                  20,
                                  {{1, 3, dot_in}},
                                  30,
                                  cat({at(30, {"-tone", "-key"}), drop_at(30)})},
                      release_row{"in_the_rf_delay_before_the_key",
                                  0,
                                  20,
                                  {{1, 3, dot_in}},
                                  10,
                                  cat({at(10, {"-tone"}), drop_at(10)})},
                      release_row{"in_the_tail_after_the_sidetone",
                                  0,
                                  20,
                                  {{1, 3, dot_in}},
                                  60,
                                  cat({at(60, {"-key"}), drop_at(60)})},
                      release_row{
                          "in_the_hang_after_a_dot", 1, 0, {{1, 3, dot_in}}, 52, drop_at(52)},
                      release_row{"in_a_dash_of_held_paddles",
                                  1,
                                  0,
                                  {{1, 1000, dot_in | dash_in}},
                                  120,
                                  cat({at(120, {"-tone", "-key"}), drop_at(120)})},
                      release_row{"after_the_hang_ran_out", 1, 0, {{1, 3, dot_in}}, 80, {}}),
    test_rows::row_name);

// The service manager's watchdog looks for the keyer's tick count to move
// (net/service.h): it moves at every millisecond of a running keyer, in a
// straight-key hold and in the timed dot's mark too, and at every idle
// sleep of a released one. `longest_still`: the most consecutive ticks of
// the harness in which it did not move.
struct progress_row {
  const char* name;
  uint8_t mode;
  std::vector<press> presses;
  int32_t release_at;  // -1: never
  int32_t longest_still;
};
class keyer_progress : public keyer_test_base,
                       public ::testing::WithParamInterface<progress_row> {};

TEST_P(keyer_progress, tick_count_moves_while_the_keyer_runs) {
  const progress_row& row = GetParam();
  st(cw_mode, row.mode);
  uint32_t last = ld(keyer_ticks);
  int32_t still = 0, longest = 0;
  run_keyer(600, row.presses, [&](int32_t t) {
    if (t == row.release_at) st(cw_release, 1);
    const uint32_t now = ld(keyer_ticks);
    still = now == last ? still + 1 : 0;
    if (t > 1) longest = std::max(longest, still);  // the first sleep ends in tick 1
    last = now;
  });
  EXPECT_EQ(longest, row.longest_still);
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_progress,
    ::testing::Values(progress_row{"idle", 1, {}, -1, 0},
                      progress_row{"straight_key_held", 0, {{10, 400, dash_in}}, -1, 0},
                      progress_row{"timed_dots", 0, {{10, 400, dot_in}}, -1, 0},
                      progress_row{"iambic", 1, {{10, 400, dot_in | dash_in}}, -1, 0},
                      progress_row{"released", 1, {{10, 400, dot_in}}, 50, 99}),
    test_rows::row_name);

// The keyer signals every change of cw_ptt on the event descriptor, in the
// tick that makes it, and nothing else (speed 25, dot 48, delay 0, mode 1,
// hang 10).
struct signal_row {
  const char* name;
  uint8_t mode;
  uint16_t hang;
  std::vector<press> presses;
  int32_t ticks;
  size_t elements;  // key-downs in the run
};
class keyer_signal : public keyer_test_base, public testing::WithParamInterface<signal_row> {};

TEST_P(keyer_signal, one_signal_per_cw_ptt_change_in_the_tick_that_made_it) {
  const signal_row& row = GetParam();
  st(cw_mode, row.mode);
  st(cw_hang, row.hang);
  const int event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ASSERT_GE(event, 0);
  st(ptt_event_fd, event);
  // The hook of tick t reads what tick t-1 signalled.
  std::vector<int32_t> signalled;
  const keyer_run r = run_keyer(row.ticks, row.presses, [&](int32_t t) {
    eventfd_t n = 0;
    if (eventfd_read(event, &n) == 0)
      for (eventfd_t i = 0; i < n; ++i) signalled.push_back(t - 1);
  });
  ::close(event);
  st(ptt_event_fd, -1);

  std::vector<int32_t> changed;
  int ptt = 0;
  for (const ptt_change& c : r.ptt)
    if (c.ptt != ptt) {
      changed.push_back(c.tick);
      ptt = c.ptt;
    }
  ASSERT_GE(changed.size(), 2u) << "the scenario keys and drops PTT";
  EXPECT_EQ(r.intervals(tx_rst_bits::key).size(), row.elements);
  EXPECT_THAT(signalled, ::testing::ElementsAreArray(changed));
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_signal,
    testing::Values(
        // A dot: PTT up at key-on, down 10 ticks into the space.
        signal_row{"dot", 1, 0, {{1, 3, dot_in}}, 200, 1},
        // Dot, dash, dot in one letter with a hang longer than a space:
        // key-on finds PTT up at the second and third element and signals
        // nothing.
        signal_row{
            "letter", 2, 100, {{1, 3, dot_in}, {40, 60, dash_in}, {170, 175, dot_in}}, 600, 3},
        // Straight key held for 30 ticks, then a second press after the hang.
        signal_row{"straight_key", 0, 0, {{1, 31, dash_in}, {60, 70, dash_in}}, 200, 2}),
    test_rows::row_name);

}  // namespace
