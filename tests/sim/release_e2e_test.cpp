// End to end against varnholt-sim: the transmitter is released when the
// server is stopped by a signal and when its client falls silent with MOX
// set, and a second server on the same port gives way. Checked in the trace.
#include <string>
#include <vector>

#include "support/e2e_test.h"

namespace {

class release_e2e : public e2e {};

// The last stores and messages at or after `from_us`, -1 when none.
struct last_state {
  int64_t gpio_out = -1, alex_rx = -1, alex_tx = -1, nucleo_byte0 = -1, tx_rst = -1;
};
last_state last_after(const std::vector<event>& trace, int64_t from_us) {
  last_state s;
  for (const event& e : trace) {
    if (t_us(e) < from_us) continue;
    if (is_reg(e, "gpio_out")) s.gpio_out = value(e);
    if (is_reg(e, "tx_rst")) s.tx_rst = value(e);
    if (is_reg(e, "alex")) (value(e) & 0x10000 ? s.alex_rx : s.alex_tx) = value(e) & 0xFFFF;
    if (e.at("ev") == "i2c" && e.at("addr") == "85")
      s.nucleo_byte0 = std::stol(e.at("bytes").substr(0, 2), nullptr, 16);
  }
  return s;
}

// The general word with MOX set (outputs, antennas as the golden session).
const control_word mox_word{{0x01, 0x01, 0x0A, 0x25, 0x1A}};
const control_word keyer_on{{0x1E, 0x01, 0x00, 0x00, 0x00}};  // internal keyer, no delay

constexpr uint32_t alex_rx_mox = 1u << 15, alex_tx_mox = 1u << 12;
constexpr uint32_t nucleo_mox = 0x02;  // nucleo_settings bit 0, shifted up one in the word
constexpr uint32_t keyer_bits = 0x20 | 0x10 | 0x08 | 0x04;  // PTT, source, sidetone, key

class stop_signal : public release_e2e, public ::testing::WithParamInterface<int> {};

TEST_P(stop_signal, releases_mox_and_the_keyers_ptt_in_order_and_exits_0) {
  // The dash paddle held from the start: in mode 0 a straight key, keyed for
  // as long as it is held.
  const std::string script = sim.dir.file("paddles.txt", "0 2\n");
  launch({"--accessories", "nucleo", "--gpio", script});
  udp_client client(sim.port);
  client.start();
  client.send(ep2_frame(mox_word, keyer_on, 1));
  ASSERT_TRUE(sim.wait_for_event([](const event& e) {
    return is_reg(e, "tx_rst") && (value(e) & 0x24) == 0x24;  // PTT and key
  })) << "the keyer did not key";
  ASSERT_TRUE(
      sim.wait_for_event([](const event& e) { return is_reg(e, "gpio_out") && (value(e) & 1); }));
  const int64_t keyed_until = t_us(sim.trace().back());

  const int64_t sent = e2e_now_ms();
  const int status = sim.stop(GetParam());
  const int64_t took_ms = e2e_now_ms() - sent;
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::printf("exit %lld ms after %s\n", static_cast<long long>(took_ms), strsignal(GetParam()));

  const auto trace = sim.trace();
  const last_state s = last_after(trace, keyed_until + 1);
  EXPECT_EQ(s.gpio_out & 1, 0);
  ASSERT_GE(s.alex_rx, 0);
  EXPECT_EQ(s.alex_rx & alex_rx_mox, 0u);
  EXPECT_EQ(s.alex_tx & alex_tx_mox, 0u);
  ASSERT_GE(s.nucleo_byte0, 0);
  EXPECT_EQ(s.nucleo_byte0 & nucleo_mox, 0u);
  // The keyer's drop: key, then PTT, the restart pulse, then the source.
  std::vector<uint32_t> tx_rst;
  for (const event& e : trace)
    if (t_us(e) > keyed_until && is_reg(e, "tx_rst")) tx_rst.push_back(value(e));
  EXPECT_EQ(tx_rst, (std::vector<uint32_t>{0x33, 0x13, 0x12, 0x13, 0x03}));
  EXPECT_EQ(s.tx_rst & keyer_bits, 0);
}

INSTANTIATE_TEST_SUITE_P(signals, stop_signal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                           return std::string(info.param == SIGTERM ? "sigterm" : "sigint");
                         });

TEST_F(release_e2e, a_silent_mox_client_is_released_after_a_second_and_the_paddles_still_key) {
  // The dot paddle at 2.5 s, after the release.
  const std::string script = sim.dir.file("paddles.txt", "0 0\n2500 4\n2530 0\n");
  launch({"--accessories", "nucleo", "--gpio", script});
  udp_client client(sim.port);
  client.start();
  client.send(ep2_frame(mox_word, keyer_on, 1));  // then nothing more
  // The MOX store and the first store after it that clears the bit.
  int64_t keyed = -1, released = -1;
  sim.wait_for_event([&](const event& e) {
    if (!is_reg(e, "gpio_out")) return false;
    if (keyed < 0 && (value(e) & 1)) keyed = t_us(e);
    if (keyed >= 0 && t_us(e) > keyed && !(value(e) & 1)) released = t_us(e);
    return released >= 0;
  });
  ASSERT_GE(keyed, 0) << "MOX never set";
  ASSERT_GE(released, 0) << "not released";
  if (released > 2500000) GTEST_SKIP() << "the frame came too late for the paddle script";
  // Exactly one second is pinned against a virtual clock in test_net; here
  // the release comes on the server's own clock, at its first wake-up after
  // the second.
  std::printf("released %lld ms after the MOX word\n",
              static_cast<long long>((released - keyed) / 1000));
  EXPECT_GE(released - keyed, 1000000);
  EXPECT_LT(released - keyed, 3000000);
  const last_state s = last_after(sim.trace(), released);
  ASSERT_GE(s.alex_rx, 0) << "Alex writer not called";
  EXPECT_EQ(s.alex_rx & alex_rx_mox, 0u);
  EXPECT_EQ(s.alex_tx & alex_tx_mox, 0u);
  ASSERT_GE(s.nucleo_byte0, 0) << "nucleo writer not called";
  EXPECT_EQ(s.nucleo_byte0 & nucleo_mox, 0u);

  // The keyer still keys from the paddles.
  EXPECT_TRUE(sim.wait_for_event([](const event& e) {
    return is_reg(e, "tx_rst") && (value(e) & 0x20) && t_us(e) >= 2500000;
  }));
}

TEST_F(release_e2e, a_second_server_on_a_taken_port_exits_1_and_the_first_keeps_streaming) {
  launch({});
  udp_client client(sim.port);
  client.start();
  ASSERT_TRUE(next_ep6(client));

  temp_dir dir;
  const std::string second_trace = dir.file("second.jsonl");
  std::string out, err;
  const int status = run_to_end({"--port", std::to_string(sim.port), "--bind", "127.0.0.1",
                                 "--trace", second_trace, "1", "1", "1", "1", "1", "1"},
                                &out, &err);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(err.find("varnholt-sim: another server is running on port " + std::to_string(sim.port)),
            std::string::npos)
      << err;
  EXPECT_EQ(out.find("serving"), std::string::npos);

  // The first: one start-up in its trace, and still streaming and answering.
  int startups = 0;
  for (const event& e : sim.trace()) startups += is_reg(e, "arg_bits_lo");
  EXPECT_EQ(startups, 1);
  client.discard_for(50);
  EXPECT_TRUE(next_ep6(client));
  EXPECT_EQ(discovery_status(client), 3);
}

}  // namespace
