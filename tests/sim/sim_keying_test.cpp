// The keyer end to end: a straight key held on the key input heard as a
// carrier on receiver 4, and the paddles' elements and PTT with hang in the
// trace's tx_rst stores.
#include <cmath>

#include "support/e2e_test.h"

namespace {

TEST_F(e2e, a_key_held_on_the_straight_key_input_is_heard_as_a_carrier_on_receiver_four) {
  // Straight key (the dash input in mode 0) held from 1000 ms to 1400 ms.
  const std::string script = sim.dir.file("key.txt", "0 0\n1000 2\n1400 0\n");
  launch({"--scene", sim.dir.file("quiet.txt", "noise -120\n"), "--gpio", script});
  udp_client client(sim.port);
  // 4 receivers; mode 0 at 25 wpm; keyer on, no RF delay.
  client.send(ep2_frame({{0x00, 0, 0, 0, 3 << 3}}, {{0x16, 0, 0, 25, 50}}));
  client.send(ep2_frame({{0x1E, 1, 0, 0, 0}}, {{0x1E, 1, 0, 0, 0}}));
  client.start();
  const auto r4 = collect(client, 4, 4, 48000 * 2, true);  // 2 s from about the start
  ASSERT_EQ(r4.size(), 96000u);
  double peak = 0;
  size_t keyed = 0;
  for (const auto& x : r4) {
    peak = std::max(peak, std::abs(x));
    keyed += 20 * std::log10(std::abs(x) / 8388607.0 + 1e-12) > -46;
  }
  // The keyer's carrier at full drive, 40 dB down, for about 400 ms.
  EXPECT_NEAR(20 * std::log10(peak / 8388607.0), -40, 0.5);
  EXPECT_GT(keyed, 48u * 200);  // (fewer if the client lost datagrams)
  EXPECT_LT(keyed, 48u * 600);
  client.stop();
  client.drain(300);
}

TEST_F(e2e, a_paddle_script_keys_a_dot_and_a_dash_under_one_ptt_with_hang) {
  // Dot paddle pressed at 1000 ms for 30 ms, dash paddle at 1100 ms for 30 ms:
  // each released before its element ends, so each gives one element.
  const std::string script = sim.dir.file("paddles.txt", "0 0\n1000 4\n1030 0\n1100 2\n1130 0\n");
  launch({"--accessories", "codec", "--gpio", script});
  udp_client client(sim.port);
  // Mode 1 at 25 wpm (dot 48 ms, dash 144 ms), weight 50, no spacing; hang
  // 300 ms; keyer on, sidetone level 77, no RF delay.
  client.send(ep2_frame({{0x16, 0, 0, 0x40 | 25, 50}}, {{0x20, 75, 0, 0x25, 0x08}}));
  client.send(ep2_frame({{0x1E, 1, 77, 0, 0}}, {{0x1E, 1, 77, 0, 0}}));
  ASSERT_TRUE(sim.wait_for({{"ev", "reg"}, {"name", "dac_level"}, {"value", "4928"}}));
  int64_t setup_us = -1;
  for (const event& e : sim.trace())
    if (is_reg(e, "dac_level") && value(e) == 4928) setup_us = t_us(e);
  if (setup_us > 900000) GTEST_SKIP() << "the keyer settings arrived after the script began";

  // PTT drops 300 ms after the dash: after about 1100 + 144 + 300 ms.
  ASSERT_TRUE(sim.wait_for_event(
      [](const event& e) { return is_reg(e, "tx_rst") && value(e) == 3 && t_us(e) > 1000000; }));

  struct store {
    int64_t t;
    uint32_t v;
  };
  std::vector<store> tx;
  for (const event& e : sim.trace())
    if (is_reg(e, "tx_rst") && t_us(e) > 900000) tx.push_back({t_us(e), value(e)});
  ASSERT_FALSE(tx.empty());

  // Key-down intervals (bit 2) and PTT (bit 5) transitions.
  std::vector<std::pair<int64_t, int64_t>> keyed;
  std::vector<int64_t> ptt_up, ptt_down;
  uint32_t prev = 3;
  for (const store& s : tx) {
    if ((s.v & 0x04) && !(prev & 0x04)) keyed.push_back({s.t, -1});
    if (!(s.v & 0x04) && (prev & 0x04)) keyed.back().second = s.t;
    if ((s.v & 0x20) && !(prev & 0x20)) ptt_up.push_back(s.t);
    if (!(s.v & 0x20) && (prev & 0x20)) ptt_down.push_back(s.t);
    prev = s.v;
  }
  ASSERT_EQ(keyed.size(), 2u) << "a dot and a dash";
  const int64_t dot = keyed[0].second - keyed[0].first, dash = keyed[1].second - keyed[1].first;
  // The keyer ticks on absolute 1 ms deadlines: a store that wakes late is
  // late by the wake-up delay, and the ticks after it catch up, so each
  // measured length is the nominal one give or take that delay.
  constexpr int64_t slack = 25000;
  EXPECT_GE(dot, 48000 - slack);
  EXPECT_LT(dot, 3 * 48000);
  EXPECT_GE(dash, 144000 - slack);
  EXPECT_LT(dash, 3 * 144000);
  EXPECT_GT(dash - dot, 96000 - 2 * slack);
  EXPECT_GE(keyed[0].first, 1000000);
  EXPECT_GE(keyed[1].first, 1100000);
  ASSERT_EQ(ptt_up.size(), 1u) << "the hang holds PTT between the elements";
  ASSERT_EQ(ptt_down.size(), 1u);
  EXPECT_GE(ptt_down[0] - keyed[1].second, 300000 - slack);
  // The drop: PTT off, the transmit path restarted, the keyer source off.
  const auto drop = std::find_if(
      tx.begin(), tx.end(), [&](const store& s) { return s.t == ptt_down[0] && !(s.v & 0x20); });
  ASSERT_GE(tx.end() - drop, 4);
  EXPECT_EQ(drop[0].v, 0x13u);
  EXPECT_EQ(drop[1].v, 0x12u);
  EXPECT_EQ(drop[2].v, 0x13u);
  EXPECT_EQ(drop[3].v, 0x03u);
}

}  // namespace
