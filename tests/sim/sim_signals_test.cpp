// Signals end to end: the scene's carriers in the I/Q each receiver sends,
// at their offsets from its frequency and at their levels, and a
// transmitting client's own signal on receiver 4.
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

#include "support/e2e_test.h"

namespace {

// collect() on a stream the server delivered without loss: a receive FIFO
// overflow or restart in the trace during the collection, or during the
// 100 ms discarded before it, throws the samples away (a gap in a carrier
// lowers its level) and collects again; up to three times (six in a
// sanitizer build), because a virtual machine may stall the stream thread
// past the FIFO's 21 ms now and then. The last collection is returned
// either way; `*lost` tells whether every collection lost samples, which
// fails the test except in a sanitizer build, where the caller skips.
std::vector<std::complex<double>> collect_loss_free(const sim_process& sim,
                                                    const udp_client& client, int receivers, int r,
                                                    size_t count, bool* lost) {
  const int attempts = sanitized ? 6 : 3;
  std::vector<std::complex<double>> x;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    const long before = rx_fifo_losses(sim.trace());
    client.discard_for(100);
    x = collect(client, receivers, r, count);
    if (rx_fifo_losses(sim.trace()) == before) {
      *lost = false;
      return x;
    }
    std::printf("[ retry    ] samples lost in the server during collection %d\n", attempt);
  }
  *lost = true;
  if (!sanitized) ADD_FAILURE() << "samples lost in the server during each of 3 collections";
  return x;
}

double level_dbfs(const std::vector<std::complex<double>>& x, double hz, double fs) {
  std::complex<double> acc = 0;
  for (size_t n = 0; n < x.size(); ++n)
    acc += x[n] * std::polar(1.0, -2 * std::numbers::pi * hz * static_cast<double>(n) / fs);
  return 20 * std::log10(std::abs(acc) / static_cast<double>(x.size()) / 8388607.0);
}

TEST_F(e2e, scene_carriers_appear_at_their_offsets_from_each_receivers_frequency) {
  const std::string scene =
      sim.dir.file("scene.txt", "noise -110\n601500 -40\n7102000 -50\n7099000 -60\n");
  launch({"--scene", scene});
  udp_client client(sim.port);
  client.send(ep2_frame({{0x00, 0, 0, 0, 1 << 3}}, {{0x00, 0, 0, 0, 1 << 3}}));  // 2 receivers
  client.start();

  // Power-on tuning: both receivers at 600 kHz.
  bool lost = false;
  const char* const behind = "the sanitized stream thread fell behind in every collection";
  const auto before = collect_loss_free(sim, client, 2, 1, 4800, &lost);
  if (lost) GTEST_SKIP() << behind;
  ASSERT_EQ(before.size(), 4800u);
  EXPECT_NEAR(level_dbfs(before, 1500, 48000), -40, 1);
  EXPECT_LT(level_dbfs(before, -1500, 48000), -90);  // no image: the analytic sense

  // Tune receiver 1 to 7.1 MHz and receiver 2 to 7.098 MHz.
  client.send(ep2_frame(frequency_word(0x04, 7100000), frequency_word(0x06, 7098000)));
  ASSERT_TRUE(sim.wait_for({{"ev", "reg"}, {"name", "rx_freq[1]"}, {"value", "62023270"}}));
  // The collection discards samples from before the tuning first.
  const auto r1 = collect_loss_free(sim, client, 2, 1, 4800, &lost);
  if (lost) GTEST_SKIP() << behind;
  ASSERT_EQ(r1.size(), 4800u);
  EXPECT_NEAR(level_dbfs(r1, 2000, 48000), -50, 1);
  EXPECT_NEAR(level_dbfs(r1, -1000, 48000), -60, 1);
  const auto r2 = collect_loss_free(sim, client, 2, 2, 4800, &lost);
  if (lost) GTEST_SKIP() << behind;
  ASSERT_EQ(r2.size(), 4800u);
  EXPECT_NEAR(level_dbfs(r2, 4000, 48000), -50, 1);
  EXPECT_NEAR(level_dbfs(r2, 1000, 48000), -60, 1);
  client.stop();
  client.drain(300);
}

// Transmit FIFO underruns in the trace so far.
long tx_underruns(const sim_process& sim) {
  long n = 0;
  for (const event& e : sim.trace())
    n += e.at("ev") == "fifo" && e.at("fifo") == "tx" && e.at("what") == "underrun";
  return n;
}

TEST_F(e2e, a_transmitting_client_hears_itself_on_receiver_four) {
  launch({"--scene", sim.dir.file("quiet.txt", "noise -120\n")});
  udp_client client(sim.port);
  // Word 0x00 with MOX and 4 receivers; every sample I = 0x4000, Q = 0: a
  // carrier at half scale right on the transmit frequency.
  const std::vector<uint8_t> frame =
      ep2_frame({{0x01, 0, 0, 0, 3 << 3}}, {{0x01, 0, 0, 0, 3 << 3}}, 0,
                [](unsigned, unsigned j) -> uint8_t { return j == 4 ? 0x40 : 0; });
  client.send(frame);
  client.start();

  // Keeps the transmit FIFO fed at 48 kHz (126 samples a frame), a few
  // frames ahead (the sink holds back what does not fit yet), for `ms`,
  // while reading receiver 4; returns its samples from frames that arrived
  // after the first `skip_ms`.
  long sent = 1;
  const int64_t t0 = e2e_now_ms();
  auto transmit = [&](int64_t ms, int64_t skip_ms) {
    std::vector<std::complex<double>> heard;
    const int64_t begin = e2e_now_ms();
    while (e2e_now_ms() - begin < ms) {
      while (sent < 10 + (e2e_now_ms() - t0) * 48 / 126) {  // ~25 ms ahead
        client.send(frame);
        ++sent;
      }
      const auto f = next_ep6(client, 4, 5);
      if (!f || e2e_now_ms() - begin < skip_ms) continue;
      for (int n = 0; n < f->samples; ++n) heard.push_back(f->at(n, 3).analytic());
    }
    return heard;
  };
  transmit(300, 300);  // the transmitter starts up

  // A client kept off the CPU for longer than its lead lets the transmit
  // FIFO run empty, and the silence lowers the level: a window with an
  // underrun in the trace (or just before the samples it keeps) is measured
  // again, up to three times (six in a sanitizer build).
  const int windows = sanitized ? 6 : 3;
  std::vector<std::complex<double>> heard;
  bool fed = false;
  for (int window = 1; window <= windows && !fed; ++window) {
    const long before = tx_underruns(sim);
    heard = transmit(350, 50);
    fed = tx_underruns(sim) == before;
    if (!fed) std::printf("[ retry    ] the transmit FIFO ran empty in window %d\n", window);
  }
  client.stop();
  client.drain(300);
  if (!fed) GTEST_SKIP() << "the client could not keep the transmit FIFO fed in any window";
  ASSERT_GT(heard.size(), 1000u);
  // Half scale at full drive, 40 dB down: -46 dBFS at 0 Hz.
  EXPECT_NEAR(level_dbfs(heard, 0, 48000), -46, 1.5);
}

}  // namespace
