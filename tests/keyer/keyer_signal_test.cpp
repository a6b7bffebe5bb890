// The keyer signals every change of cw_ptt on the event descriptor, in the
// tick that makes it, and nothing else. Settings as in keyer_test.cpp (speed
// 25, dot 48, delay 0, mode 1, hang 10).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <ostream>

#include "keyer_harness.h"
#include "support/rows.h"

using ::testing::ElementsAreArray;

namespace {

using test_rows::operator<<;

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
  EXPECT_THAT(signalled, ElementsAreArray(changed));
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
        signal_row{"straight key", 0, 0, {{1, 31, dash_in}, {60, 70, dash_in}}, 200, 2}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (ch == ' ') ch = '_';
      return n;
    });

}  // namespace
