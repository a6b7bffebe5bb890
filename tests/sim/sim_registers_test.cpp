// What varnholt-sim's trace shows of the server: the register stores of
// start-up in order, with and without a codec; the messages on the
// accessory bus; the transmit frequency's stores and its serial frames.
#include <algorithm>

#include "support/e2e_test.h"

namespace {

// "name=value" of every "reg" event and "name[index]=value" of every
// "table" event, in order, up to and including the first that is `last`.
std::vector<std::string> startup_stores(const std::vector<event>& trace, const std::string& last) {
  std::vector<std::string> out;
  for (const event& e : trace) {
    if (e.at("ev") == "reg") out.push_back(e.at("name") + "=" + e.at("value"));
    if (e.at("ev") == "table") {
      // Tables collapse to their first and last entry.
      const std::string name = e.at("name");
      const std::string item = name + "[" + e.at("index") + "]=" + e.at("value");
      if (e.at("index") == "0") out.push_back(item);
      if ((name == "tx_ramp" && e.at("index") == "1001") ||
          (name == "dac_ramp" && e.at("index") == "481"))
        out.push_back(item);
    }
    if (!out.empty() && out.back() == last) break;
  }
  return out;
}

struct startup_row {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> last_stores;  // after those every start-up makes
  long table_entries;
};
std::ostream& operator<<(std::ostream& os, const startup_row& r) {
  return os << r.name;
}
class e2e_startup : public e2e, public ::testing::WithParamInterface<startup_row> {};

TEST_P(e2e_startup, start_up_stores_the_registers_in_order) {
  const startup_row& row = GetParam();
  launch(row.options);
  const std::string last = row.last_stores.back();
  ASSERT_TRUE(sim.wait_for_event([&](const event& e) {
    return e.at("ev") == "reg" && e.at("name") + "=" + e.at("value") == last;
  }));
  std::vector<std::string> expected = {"arg_bits_lo=10",     "arg_bits_hi=2",
                                       "gpio_out=0",         "rx_freq[0]=5242880",
                                       "rx_freq[1]=5242880", "rx_freq[2]=5242880",
                                       "rx_rate=640",        "tx_freq=5242880",
                                       "tx_ramp[0]=0",       "tx_ramp[1001]=4100000",
                                       "tx_ramp_steps=1001", "tx_level=21910",
                                       "cfg_word_28=18716",  "tx_rst=0",
                                       "tx_rst=0",           "tx_rst=3",
                                       "lo_rst=0",           "lo_rst=4"};
  expected.insert(expected.end(), row.last_stores.begin(), row.last_stores.end());
  EXPECT_EQ(startup_stores(sim.trace(), last), expected);
  long table_entries = 0;
  for (const event& e : sim.trace()) table_entries += e.at("ev") == "table";
  EXPECT_EQ(table_entries, row.table_entries);
}

INSTANTIATE_TEST_SUITE_P(rows, e2e_startup,
                         ::testing::Values(startup_row{"without_a_codec", {}, {"rx_rst=4"}, 1002},
                                           startup_row{"with_a_codec",
                                                       {"--accessories", "codec"},
                                                       {"rx_rst=0", "rx_rst=2", "rx_rst=2",
                                                        "dac_freq=13421773", "dac_ramp[0]=0",
                                                        "dac_ramp[481]=32000", "dac_ramp_steps=481",
                                                        "dac_level=3200"},
                                                       1002 + 482}),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> i2c_transcript(const std::vector<event>& trace) {
  std::vector<std::string> out;
  for (const event& e : trace)
    if (e.at("ev") == "i2c")
      out.push_back(e.at("addr") + ":" + e.at("bytes") + (e.at("ok") == "true" ? "" : " nak"));
  return out;
}

TEST_F(e2e, the_accessory_bus_carries_the_probe_set_up_and_run_time_messages) {
  launch({"--accessories", "alex,dac0,codec"});
  ASSERT_TRUE(sim.wait_for({{"ev", "reg"}}));
  udp_client client(sim.port);
  // Word 0x12: filters C3 = 0x0A, C4 = 0xFF; word 0x00: attenuator code 1.
  client.send(ep2_frame({{0x12, 128, 0, 0x0A, 0xFF}}, {{0x00, 0, 0, 0x01, 0}}));
  ASSERT_TRUE(sim.wait_for({{"ev", "i2c"}, {"addr", "96"}, {"bytes", "0d42"}}));
  const std::vector<std::string> expected = {
      // The probe, in address order of the start-up table.
      "32:020000 nak", "33:020000", "33:060000", "34:020000 nak", "35:020000 nak", "40:a90000 nak",
      "96:0fff", "97:0fff nak", "64:010000 nak", "85:0000100200 nak", "26:1e00",
      // Codec set-up.
      "26:0c51", "26:1200", "26:046f", "26:066f", "26:0814", "26:0a00", "26:0e42", "26:1201",
      "26:0c41",
      // Run time: the I2C Alex board's filters, then DAC 0 for 10 dB.
      "33:020aff", "96:0d42"};
  EXPECT_EQ(i2c_transcript(sim.trace()), expected);
  // Every probe came before the FPGA was touched.
  const auto trace = sim.trace();
  const auto first_reg =
      std::find_if(trace.begin(), trace.end(), [](const event& e) { return e.at("ev") == "reg"; });
  EXPECT_TRUE(std::none_of(first_reg, trace.end(), [](const event& e) {
    return e.at("ev") == "i2c" && e.at("bytes") == "1e00";
  }));
}

TEST_F(e2e, a_transmit_frequency_word_stores_tx_freq_and_sends_one_ci_v_frame_per_band) {
  launch({});
  udp_client client(sim.port);
  client.send(ep2_frame(frequency_word(0x02, 7100000), frequency_word(0x02, 7100000)));
  client.send(ep2_frame(frequency_word(0x02, 7150000), frequency_word(0x02, 14000000)));
  ASSERT_TRUE(sim.wait_for({{"ev", "uart"}, {"bytes", "fefe04e00500000014fd"}}));
  // The serial port is read on the model's own thread, so a CI-V frame may
  // be traced after later register stores: each kind is checked in order.
  std::vector<std::string> stores, frames;
  for (const event& e : sim.trace()) {
    if (e.at("ev") == "reg" && e.at("name") == "tx_freq") stores.push_back(e.at("value"));
    if (e.at("ev") == "uart") frames.push_back(e.at("bytes"));
  }
  const std::vector<std::string> expected_stores = {"5242880",  // start-up
                                                    "62040747", "62040747", "62477653",
                                                    "122333867"};
  EXPECT_EQ(stores, expected_stores);
  const std::vector<std::string> expected_frames = {"fefe04e00500000007fd", "fefe04e00500000014fd"};
  EXPECT_EQ(frames, expected_frames);
}

}  // namespace
