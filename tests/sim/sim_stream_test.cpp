// The stream end to end: discovery, start and stop over UDP; the counter
// mode's records, consecutive and at the rate asked for, for every rate and
// receiver count; a second client, and a process stopped and continued.
#include <algorithm>
#include <cstdio>

#include "support/e2e_test.h"

namespace {

// ---- discovery, start, stop ----------------------------------------------

TEST_F(e2e, discovery_is_answered_with_the_board_identity_and_the_stream_status) {
  launch({});
  udp_client client(sim.port);
  uint8_t reply[128];
  client.discover();
  ASSERT_EQ(client.receive(reply, sizeof reply, 5000), 60);
  const uint8_t head[11] = {0xEF, 0xFE, 0x02, 0x02, 0x00, 0x5E, 0x10, 0x00, 0x01, 0x20, 0x01};
  EXPECT_EQ(std::memcmp(reply, head, 11), 0);

  client.start();
  ASSERT_TRUE(next_ep6(client));
  EXPECT_EQ(discovery_status(client), 3);
  client.stop();
  ASSERT_GE(client.drain(300), 0);
  EXPECT_EQ(discovery_status(client), 2);
}

// ---- streaming for every rate and receiver count --------------------------

struct stream_row {
  uint8_t rate_code;
  int receivers;
};
std::ostream& operator<<(std::ostream& os, const stream_row& r) {
  return os << "rate code " << int(r.rate_code) << ", " << r.receivers << " receivers";
}

class e2e_stream : public e2e, public ::testing::WithParamInterface<stream_row> {};

// Every FIFO event of the trace so far, as "fifo what; ".
std::string fifo_events(const sim_process& sim) {
  std::string out;
  for (const event& e : sim.trace())
    if (e.at("ev") == "fifo") out += e.at("fifo") + " " + e.at("what") + "; ";
  return out;
}

TEST_P(e2e_stream, frames_carry_consecutive_records_at_the_rate_of_the_rate_code) {
  const stream_row row = GetParam();
  launch({"--counter"});
  udp_client client(sim.port);
  const control_word word{
      {0x00, row.rate_code, 0, 0, static_cast<uint8_t>((row.receivers - 1) << 3)}};
  client.send(ep2_frame(word, word));
  client.start();
  const double expected_rate = 48000.0 * (1 << row.rate_code);

  counter_check check(row.receivers);
  int64_t last_ns = 0;  // arrival of the last frame
  // At 48 kHz a batch takes 10.5 ms and the receive FIFO holds 21 ms, so the
  // stream thread loses records when one of its 1 ms sleeps overshoots by
  // about 10 ms; at 384 kHz the FIFO holds 2.7 ms and every such loss is a
  // restart, after which the counter starts again from 0. A
  // virtual machine overshoots that far now and then even when idle
  // (BM_sleep_overshoot), so a window of 600 ms that lost records at 48 kHz
  // or missed the rate is measured again, in the same stream, up to
  // max_windows times; one must pass. Whatever the machine does, every loss
  // must show as a receive FIFO overflow or restart in the trace: records
  // lost any other way are a fault.
  constexpr int max_windows = 3;
  int windows = 0;
  bool loss_free = false, rate_ok = false;
  double rate = 0;
  do {
    ++windows;
    // Records the FPGA produced between the last sample before the window
    // and the last one in it, over the time between their frames' arrival;
    // lost samples do not lower it. A restart hides what the FIFO held and
    // lost, so the time from the last frame before it to the first frame
    // after it counts neither.
    const long steps = check.steps;
    const int64_t produced = check.produced;
    int64_t start_ns = last_ns, restart_ns = 0;
    const int64_t until = e2e_now_ms() + 600;
    while (e2e_now_ms() < until) {
      uint8_t d[2048];
      int64_t now = 0;  // ns: a client fallen behind does not lower the rate
      const ssize_t n = client.receive_stamped(d, sizeof d, 2000, &now);
      const auto f = read_ep6(d, n, row.receivers);
      ASSERT_TRUE(f) << "no EP6 frame: " << n << " bytes";
      if (check.frames == 0) {
        EXPECT_EQ(f->sequence, 0u) << "the first frame of a stream is number 0";
        start_ns = now;
      }
      const long restarts = check.restarts;
      check.add(*f);
      ASSERT_EQ(check.out_of_order, 0) << "frame " << f->sequence;
      ASSERT_EQ(check.bad, 0) << check.first_bad;
      if (check.restarts > restarts) restart_ns += now - last_ns;
      last_ns = now;
    }
    rate = static_cast<double>(check.produced - produced) * 1e9 /
           static_cast<double>(std::max<int64_t>(1, last_ns - start_ns - restart_ns));
    rate_ok = rate > expected_rate * 0.8 && rate < expected_rate * 1.2;
    loss_free = check.steps == steps;
  } while ((!rate_ok || (row.rate_code == 0 && !loss_free)) && windows < max_windows);

  // Read before the stop: a stopped stream leaves the FIFO to overflow.
  const long rx_full = rx_fifo_losses(sim.trace());
  const std::string fifo = fifo_events(sim);
  client.stop();
  ASSERT_GE(client.drain(300), 0);

  std::printf("[ windows  ] %d of 600 ms measured; %ld run(s) of records lost, %ld restart(s)\n",
              windows, check.steps, check.restarts);
  RecordProperty("windows", windows);
  EXPECT_GT(rate, expected_rate * 0.8)
      << check.frames << " frames, " << check.restarts << " restarts";
  EXPECT_LT(rate, expected_rate * 1.2)
      << check.frames << " frames, " << check.restarts << " restarts";
  // The client's own receive could lose a datagram on a loaded machine;
  // only at 48 kHz is a loss-free stream asserted.
  if (row.rate_code == 0) {
    EXPECT_EQ(check.sequence_gaps, 0) << "datagrams lost on the way to the client";
    // Each overflow, and each restart of a full FIFO, loses one run of
    // records: one step in the counter.
    EXPECT_LE(check.steps, rx_full)
        << "samples lost in the server without a receive FIFO overflow: " << fifo;
    EXPECT_TRUE(loss_free) << "samples lost in the server in each of " << windows
                           << " windows: " << fifo;
  }
}

INSTANTIATE_TEST_SUITE_P(rows, e2e_stream,
                         ::testing::Values(stream_row{0, 1}, stream_row{1, 1}, stream_row{2, 1},
                                           stream_row{3, 1}, stream_row{0, 2}, stream_row{0, 4},
                                           stream_row{0, 8}, stream_row{3, 8}));

// ---- several clients, a stopped process ----------------------------------

TEST_F(e2e, a_second_client_takes_the_stream_over) {
  launch({});
  udp_client a(sim.port), b(sim.port);
  a.start();
  ASSERT_TRUE(next_ep6(a));
  b.start();
  auto f = next_ep6(b);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->sequence, 0u) << "a new stream numbers its frames from 0";
  // A gets what was already under way, then nothing; B goes on receiving.
  EXPECT_GE(a.drain(300), 0);
  f = next_ep6(b);
  ASSERT_TRUE(f);
  EXPECT_GT(f->sequence, 0u);
  b.stop();
  b.drain(300);
}

TEST_F(e2e, a_process_stopped_and_continued_goes_on_streaming_and_answering) {
  launch({});
  udp_client client(sim.port);
  client.start();
  ASSERT_TRUE(next_ep6(client));
  ASSERT_EQ(kill(sim.pid, SIGSTOP), 0);
  client.drain(300);  // what was sent before the stop, then 300 ms of silence
  ASSERT_EQ(kill(sim.pid, SIGCONT), 0);
  const auto first = next_ep6(client), second = next_ep6(client);
  ASSERT_TRUE(first && second);
  EXPECT_GT(second->sequence, first->sequence);
  // The receive FIFO filled up while the process stood still. (Whether the
  // stream then restarts it depends on where the stream thread stopped: a
  // batch read right after the pause takes the count below the overflow
  // mark.)
  EXPECT_TRUE(sim.wait_for({{"ev", "fifo"}, {"fifo", "rx"}, {"what", "overflow"}}));
  EXPECT_EQ(discovery_status(udp_client(sim.port)), 3);
  client.stop();
  client.drain(300);
}

}  // namespace
