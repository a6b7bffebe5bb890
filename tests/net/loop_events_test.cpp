// The stream thread's scheduling and the counts of its overflow check.
#include <gtest/gtest.h>

#include <ostream>

#include "control/counters.h"
#include "net_harness.h"

namespace {

using namespace net_test;

struct priority_row {
  const char* name;
  bool refuse;
  int refusals;
  int policy;
  int priority;
};
std::ostream& operator<<(std::ostream& os, const priority_row& r) {
  return os << r.name;
}

class stream_scheduling : public testing::TestWithParam<priority_row> {};

TEST_P(stream_scheduling, stream_runs_real_time_below_the_keyer_or_normally_where_refused) {
  const priority_row& row = GetParam();
  running_server server;
  control.refuse_realtime = row.refuse;
  client c(server.port);
  const int restarts = server.model.rx_fifo_restarts;
  c.start();
  ASSERT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == restarts + 1; }));
  server.model.add_rx_words(static_cast<uint32_t>(ep6_geometry_for(1).fill_threshold));
  for (int f = 0; f < 4; ++f) ASSERT_TRUE(c.receive()) << "frame " << f;
  EXPECT_EQ(control.realtime_refusals, row.refusals);
  EXPECT_EQ(control.stream_threads_created, 1);
  EXPECT_EQ(control.stream_policy, row.policy);
  EXPECT_EQ(control.stream_priority, row.priority);
  EXPECT_LT(row.priority, keyer_priority);
}

INSTANTIATE_TEST_SUITE_P(rows, stream_scheduling,
                         testing::Values(priority_row{"granted", false, 0, SCHED_FIFO,
                                                      stream_priority},
                                         priority_row{"refused", true, 1, SCHED_OTHER, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

class loop_counters : public testing::Test {
 protected:
  void SetUp() override { counters_reset(); }
};

// The overflow check before each batch's wait.
struct overflow_row {
  bool codec;
  uint16_t rx_cntr;
  uint16_t adc_cntr;
  uint32_t rx_resets;
  uint32_t codec_resets;
  uint32_t discarded;  // sample instants: rx_cntr / 8 at the restart
};
std::ostream& operator<<(std::ostream& os, const overflow_row& r) {
  return os << (r.codec ? "codec" : "no codec") << ", rx_cntr " << r.rx_cntr << ", adc_cntr "
            << r.adc_cntr;
}
class overflow_counts : public loop_counters, public testing::WithParamInterface<overflow_row> {};

TEST_P(overflow_counts, restarts_and_the_samples_they_discard_are_counted) {
  const overflow_row& row = GetParam();
  reset_control();
  sim_reset();
  control_state_reset();
  map_sim_blocks();
  fpga_model model;
  model.attach();
  model.rx_words = row.rx_cntr;
  model.adc_level = row.adc_cntr;
  ep6_overflow_check(row.codec);
  EXPECT_EQ(model.rx_fifo_restarts, static_cast<int>(row.rx_resets));
  EXPECT_EQ(ld(count_rx_fifo_resets), row.rx_resets);
  EXPECT_EQ(ld(count_codec_fifo_resets), row.codec_resets);
  EXPECT_EQ(ld(count_rx_samples_discarded), row.discarded);
  fpga_model::detach();
  fpga_clear_pointers();
}

INSTANTIATE_TEST_SUITE_P(rows, overflow_counts,
                         testing::Values(overflow_row{false, 8192, 0, 1, 0, 1024},
                                         overflow_row{false, 8191, 5000, 0, 0, 0},
                                         overflow_row{true, 8192, 0, 1, 1, 1024},
                                         overflow_row{true, 100, 1024, 1, 1, 12},
                                         overflow_row{true, 8191, 1023, 0, 0, 0}));

}  // namespace
