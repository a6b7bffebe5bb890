// A fixed session on the simulated board, compared with a recorded copy:
// start-up with every accessory but the codec, one control word of every
// kind (MOX and receiver synchronisation included), then one dot keyed from
// the paddles. The ordered register stores, envelope table entries and I2C
// messages must match the copy exactly, so that a change meant to move code
// around changes nothing the radio sees.
//
// The keyer owns tx_rst and runs beside the receive loop, so its stores are
// compared as a sequence of their own; the serial port is read on the
// model's own thread, so its frames are too.
//
// VARNHOLT_RECORD_GOLDEN=1 rewrites the copy (only after a change that is
// meant to change what the radio sees).
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/e2e_test.h"

namespace {

const std::string golden_path = std::string(VARNHOLT_TEST_SOURCE_DIR) + "/sim/golden/session.txt";

std::vector<std::vector<uint8_t>> session_frames() {
  return {
      // Rate 96 kHz, outputs, attenuator code 1, preamp, receive antenna 1,
      // transmit antenna 2, four receivers; transmit frequency.
      ep2_frame({{0x00, 0x01, 0x0A, 0x25, 0x1A}}, frequency_word(0x02, 7100000), 1),
      ep2_frame(frequency_word(0x04, 7050000), frequency_word(0x06, 14200000), 2),
      // Receiver 3; drive 200 with mic boost and manual filters.
      ep2_frame(frequency_word(0x08, 21000000), {{0x12, 200, 0x01, 0x0A, 0x81}}, 3),
      // Receive attenuation 12 dB; second attenuation 5 dB, iambic mode 1 at
      // 25 wpm, weight 50.
      ep2_frame({{0x14, 0, 0, 0, 12}}, {{0x16, 5, 0, 0x40 | 25, 50}}, 4),
      // Transmit attenuation; keyer on, sidetone level 77, RF delay 5 ms.
      ep2_frame({{0x1C, 0, 0, 0x0F, 0}}, {{0x1E, 1, 77, 5, 0}}, 5),
      // Hang 300 ms and sidetone frequency; the general word with MOX set.
      ep2_frame({{0x20, 75, 0, 0x25, 0x08}}, {{0x01, 0x01, 0x0A, 0x25, 0x1A}}, 6),
      // MOX clear again; receivers 1 and 2 synchronised, then receiver 1 moves.
      ep2_frame({{0x00, 0x01, 0x0A, 0x25, 0x1A}}, {{0x00, 0x01, 0x0A, 0x25, 0x9A}}, 7),
      ep2_frame(frequency_word(0x04, 3550000), frequency_word(0x06, 28100000), 8),
  };
}

// One line per event of the kinds compared, in trace order within each part;
// each envelope table is one line: its entry count and a checksum of the
// ordered entries (FNV-1a over "index=value" lines).
std::string transcript(const std::vector<trace_event>& trace) {
  std::ostringstream main_part, keyer_part, uart_part;
  std::map<std::string, std::pair<long, uint64_t>> tables;
  for (const auto& e : trace) {
    const std::string& ev = e.at("ev");
    if (ev == "reg") {
      std::ostream& out = e.at("name") == "tx_rst" ? keyer_part : main_part;
      out << "reg " << e.at("name") << "=" << e.at("value") << "\n";
    } else if (ev == "table") {
      auto& [count, hash] =
          tables.try_emplace(e.at("name"), 0, 14695981039346656037ull).first->second;
      ++count;
      for (char ch : e.at("index") + "=" + e.at("value") + "\n")
        hash = (hash ^ static_cast<uint8_t>(ch)) * 1099511628211ull;
    } else if (ev == "i2c") {
      main_part << "i2c " << e.at("addr") << ":" << e.at("bytes") << " " << e.at("ok") << "\n";
    } else if (ev == "uart") {
      uart_part << "uart " << e.at("bytes") << "\n";
    }
  }
  for (const auto& [name, t] : tables)
    main_part << "table " << name << " " << t.first << " entries, checksum " << std::hex << t.second
              << std::dec << "\n";
  return "# main thread\n" + main_part.str() + "# tx_rst\n" + keyer_part.str() + "# serial port\n" +
         uart_part.str();
}

class golden_session : public e2e {};

TEST_F(golden_session, start_up_control_words_and_a_keyed_dot_store_what_the_recorded_copy_holds) {
  // The dot paddle is pressed at 1500 ms for 30 ms: one dot.
  const std::string script = sim.dir.file("paddles.txt", "0 0\n1500 4\n1530 0\n");
  launch(
      {"--accessories", "pene,alex,level,misc,drive,dac0,dac1,arduino,nucleo", "--gpio", script});
  udp_client client(sim.port);
  // Each frame is its own batch: the discovery reply that follows it comes
  // after the accessory pass of the frame's batch, so the session does not
  // depend on how the kernel groups datagrams.
  for (const auto& frame : session_frames()) {
    client.send(frame);
    ASSERT_EQ(discovery_status(client), 2);
  }
  ASSERT_TRUE(sim.wait_for({{"ev", "reg"}, {"name", "rx_freq[1]"}, {"value", "31020373"}}))
      << "the last control word did not arrive";
  for (const auto& e : sim.trace())
    if (e.at("ev") == "gpio" && e.at("value") == "4")
      GTEST_SKIP() << "the control words arrived after the paddle script began";

  // PTT drops about 300 ms after the dot.
  ASSERT_TRUE(sim.wait_for_event(
      [](const auto& e) {
        return e.at("ev") == "reg" && e.at("name") == "tx_rst" && e.at("value") == "3" &&
               std::stoll(e.at("t_us")) > 1500000;
      },
      15000));
  const std::string got = transcript(sim.trace());

  if (std::getenv("VARNHOLT_RECORD_GOLDEN")) {
    std::ofstream(golden_path) << got;
    GTEST_SKIP() << "recorded " << golden_path;
  }
  std::ifstream in(golden_path);
  ASSERT_TRUE(in) << "no recorded copy at " << golden_path;
  std::stringstream want;
  want << in.rdbuf();
  EXPECT_EQ(got, want.str());
}

}  // namespace
