// What wakes the receive loop and what it counts: the stream thread's
// scheduling, the keyer's PTT signal, and the counters of the loop and the
// stream's overflow check.
#include <gtest/gtest.h>

#include <ostream>

#include "control/counters.h"
#include "net/tx_sink.h"
#include "net_harness.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using namespace net_test;

struct priority_row {
  const char* name;
  bool refuse;
  int refusals;
  int policy;
  int priority;
};
class stream_scheduling : public testing::TestWithParam<priority_row> {};

TEST_P(stream_scheduling, stream_runs_real_time_below_the_keyer_or_normally_where_refused) {
  const priority_row& row = GetParam();
  running_server server;
  stub.refuse_realtime = row.refuse;
  client c(server.port);
  const int restarts = server.model.rx_fifo_restarts;
  c.start();
  ASSERT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == restarts + 1; }));
  server.model.add_rx_words(static_cast<uint32_t>(ep6_geometry_for(1).fill_threshold));
  for (int f = 0; f < 4; ++f) ASSERT_TRUE(c.receive()) << "frame " << f;
  EXPECT_EQ(stub.realtime_refusals, row.refusals);
  EXPECT_EQ(stub.stream_threads_created, 1);
  const test_platform::thread_call& stream = test_platform::calls.threads.back();
  EXPECT_EQ(stream.policy, row.policy);
  EXPECT_EQ(stream.priority, row.priority);
  EXPECT_LT(row.priority, keyer_priority);
}

INSTANTIATE_TEST_SUITE_P(rows, stream_scheduling,
                         testing::Values(priority_row{"granted", false, 0, SCHED_FIFO,
                                                      stream_priority},
                                         // Without attributes: normal scheduling.
                                         priority_row{"refused", true, 1, -1, -1}),
                         test_rows::row_name);

TEST(ptt_signal, a_cw_ptt_change_reaches_the_accessory_pass_through_the_event_descriptor) {
  int event = -1;
  {
    running_server server;
    event = ld(ptt_event_fd);
    ASSERT_GE(event, 0);
    stub.no_idle_wake = true;  // no time-out runs the pass: only the signal can
    ASSERT_TRUE(eventually([] { return stub.waiting_without_timeout.load(); }));
    st(cw_ptt, 1);
    ASSERT_EQ(eventfd_write(event, 1), 0);
    EXPECT_TRUE(eventually([] { return (ld(filter_settings) & 1) && (ld(nucleo_settings) & 1); }));
  }
  ::close(event);
}

// The loop drains the signal after it woke: an undrained event descriptor
// stays readable and ends every later wait at once (the main thread would
// spin).
TEST(ptt_signal, is_drained_so_that_the_next_wait_waits) {
  int event = -1;
  {
    running_server server;
    event = ld(ptt_event_fd);
    ASSERT_GE(event, 0);
    stub.no_idle_wake = true;
    ASSERT_TRUE(eventually([] { return stub.waiting_without_timeout.load(); }));
    const int polls = stub.polls;
    ASSERT_EQ(eventfd_write(event, 1), 0);
    // Woken, through its pass and waiting again.
    ASSERT_TRUE(
        eventually([&] { return stub.polls > polls && stub.waiting_without_timeout.load(); }));
    eventfd_t left = 0;
    EXPECT_NE(eventfd_read(event, &left), 0) << "the signal was left in the descriptor: " << left;
    EXPECT_EQ(errno, EAGAIN);
  }
  ::close(event);
}

TEST(loop_counters, short_ep2_datagrams_are_counted_and_whole_frames_are_not) {
  running_server server;
  client c(server.port);
  auto short_frame = ep2_frame();
  short_frame.resize(frame_size - 1);
  c.send(short_frame);
  c.send(ep2_frame());
  c.send(short_frame);
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(ld(count_ep2_short), 2u);
  EXPECT_EQ(server.model.tx().size(), 252u);
}

// Datagrams the kernel dropped while the loop did not receive (a full
// receive queue) are counted from the drop count that later datagrams carry.
TEST(loop_counters, datagrams_the_kernel_dropped_are_counted) {
  running_server server;
  int counting = 0;
  socklen_t length = sizeof counting;
  if (getsockopt(ld(sock_ep2), SOL_SOCKET, SO_RXQ_OVFL, &counting, &length) != 0 || !counting)
    GTEST_SKIP() << "this system does not count the socket's drops (an emulator may not pass "
                    "SO_RXQ_OVFL on)";
  client c(server.port);
  ASSERT_EQ(running_server::sync(c), 2);
  stub.hold_receive = true;
  const int polls = stub.polls;
  ASSERT_TRUE(eventually([&] { return stub.polls > polls + 1; }));  // inside a held wait
  const int small = 4096;  // the kernel doubles it; a few frames fit
  ASSERT_EQ(setsockopt(ld(sock_ep2), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  constexpr int sent = 200;
  for (int i = 0; i < sent; ++i) c.send(ep2_frame(static_cast<uint32_t>(i)));
  stub.hold_receive = false;
  EXPECT_EQ(running_server::sync(c), 2);  // its request carries the count
  const auto used = static_cast<uint32_t>(server.model.tx().size() / tx_words_per_frame);
  EXPECT_GT(ld(count_kernel_drops), 0u);
  EXPECT_EQ(ld(count_kernel_drops) + used, static_cast<uint32_t>(sent));
}

struct empty_row {
  uint16_t tx_cntr;
  uint32_t empties;
};
std::ostream& operator<<(std::ostream& os, const empty_row& r) {
  return os << "tx_cntr " << r.tx_cntr;
}
class tx_fifo_empty : public testing::TestWithParam<empty_row> {};

TEST_P(tx_fifo_empty, the_sink_counts_every_frame_that_finds_the_transmit_fifo_empty) {
  running_server server;
  server.model.tx_level = GetParam().tx_cntr;
  client c(server.port);
  c.send(ep2_frame(0));
  c.send(ep2_frame(1));
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(ld(count_tx_fifo_empty), GetParam().empties);
}

INSTANTIATE_TEST_SUITE_P(rows, tx_fifo_empty, testing::Values(empty_row{0, 2}, empty_row{1, 0}));

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
class overflow_counts : public testing::TestWithParam<overflow_row> {};

TEST_P(overflow_counts, restarts_and_the_samples_they_discard_are_counted) {
  const overflow_row& row = GetParam();
  sim_board board;
  fake_fpga model;
  model.attach();
  model.rx_words = row.rx_cntr;
  model.adc_level = row.adc_cntr;
  ep6_overflow_check(row.codec);
  EXPECT_EQ(model.rx_fifo_restarts, static_cast<int>(row.rx_resets));
  EXPECT_EQ(ld(count_rx_fifo_resets), row.rx_resets);
  EXPECT_EQ(ld(count_codec_fifo_resets), row.codec_resets);
  EXPECT_EQ(ld(count_rx_samples_discarded), row.discarded);
}

INSTANTIATE_TEST_SUITE_P(rows, overflow_counts,
                         testing::Values(overflow_row{false, 8192, 0, 1, 0, 1024},
                                         overflow_row{false, 8191, 5000, 0, 0, 0},
                                         overflow_row{true, 8192, 0, 1, 1, 1024},
                                         overflow_row{true, 100, 1024, 1, 1, 12},
                                         overflow_row{true, 8191, 1023, 0, 0, 0}));

}  // namespace
