#include "net/tx_sink.h"

#include <gtest/gtest.h>

#include <ostream>

#include "net_harness.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using namespace net_test;

class tx_sink : public board_fixture {
 protected:
  tx_sink() : board_fixture(stub_board()) {}

  fake_fpga model;
  int sleeps = 0;

  void SetUp() override {
    model.attach();
    // Each 1 ms sleep lets the FPGA take one word from whichever FIFO is
    // above its threshold, so the waits end after a known number of sleeps.
    stub.usleep_hook = [this](useconds_t us) {
      EXPECT_EQ(us, 1000u);
      ++sleeps;
      if (model.tx_level > tx_fifo_threshold)
        --model.tx_level;
      else if (model.dac_level > dac_fifo_threshold)
        --model.dac_level;
    };
  }
};

struct sink_row {
  const char* name;
  uint16_t tx_cntr = 100;
  uint16_t dac_cntr = 100;
  uint8_t gpio_out = 0;
  uint8_t gpio_in = 0;
  uint8_t eer = 0;
  uint8_t mux = 0;
  int codec = 0;
  size_t tx_words = 252;
  size_t audio_words = 0;
  int sleeps = 0;
};
class tx_sink_counts : public tx_sink, public testing::WithParamInterface<sink_row> {};

TEST_P(tx_sink_counts, words_and_sleeps_per_frame) {
  const sink_row& r = GetParam();
  model.tx_level = r.tx_cntr;
  model.dac_level = r.dac_cntr;
  model.gpio_in_value = r.gpio_in;
  write8(gpio_out, r.gpio_out);
  st(tx_eer, r.eer);
  st(keyer_owns_tx, r.mux);
  set_i2c_has(i2c_accessory::codec, r.codec);
  const auto frame = ep2_frame();
  tx_sink_frame(frame.data());
  EXPECT_EQ(model.tx().size(), r.tx_words);
  EXPECT_EQ(model.audio().size(), r.audio_words);
  EXPECT_EQ(sleeps, r.sleeps);
  if (r.mux) {
    EXPECT_EQ(model.tx_cntr_loads, 0);  // the keyer's transmitter: the FIFO is not looked at
  }
}

sink_row row(const char* name) {
  return sink_row{name};
}
template <class F>
sink_row row(const char* name, F change) {
  sink_row r{name};
  change(r);
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    base_plus_one_change, tx_sink_counts,
    testing::Values(
        row("gate_closed_no_codec"),
        row("tx_at_threshold_does_not_wait", [](sink_row& r) { r.tx_cntr = 3844; }),
        row("tx_one_above_threshold_waits", [](sink_row& r) { r.tx_cntr = 3845, r.sleeps = 1; }),
        row("tx_far_above_waits_until_room", [](sink_row& r) { r.tx_cntr = 3860, r.sleeps = 16; }),
        row("tx_empty_is_primed", [](sink_row& r) { r.tx_cntr = 0, r.tx_words = 2772; }),
        row("tx_empty_is_primed_with_gate_open",
            [](sink_row& r) { r.tx_cntr = 0, r.gpio_out = 1, r.tx_words = 2772; }),
        row("gate_open_by_mox", [](sink_row& r) { r.gpio_out = 1; }),
        row("gate_open_by_ptt_input", [](sink_row& r) { r.gpio_in = 1; }),
        row("codec_gets_audio", [](sink_row& r) { r.codec = 1, r.audio_words = 126; }),
        row("dac_at_threshold_does_not_wait",
            [](sink_row& r) { r.codec = 1, r.dac_cntr = 1922, r.audio_words = 126; }),
        row("dac_one_above_threshold_waits",
            [](sink_row& r) { r.codec = 1, r.dac_cntr = 1923, r.audio_words = 126, r.sleeps = 1; }),
        row("dac_empty_is_primed",
            [](sink_row& r) { r.codec = 1, r.dac_cntr = 0, r.audio_words = 1386; }),
        row("dac_ignored_without_codec", [](sink_row& r) { r.dac_cntr = 0; }),
        row("keyer_owns_transmitter", [](sink_row& r) { r.mux = 1, r.tx_words = 0; }),
        row("keyer_owns_transmitter_full_fifo_not_waited",
            [](sink_row& r) { r.mux = 1, r.tx_cntr = 4000, r.tx_words = 0; }),
        row("keyer_owns_transmitter_codec_still_gets_audio",
            [](sink_row& r) { r.mux = 1, r.codec = 1, r.tx_words = 0, r.audio_words = 126; })),
    test_rows::row_name);

std::vector<uint32_t> iq_words(const std::vector<uint8_t>& frame) {
  std::vector<uint32_t> w;
  for (unsigned k = 0; k < ep2_samples_per_frame; ++k)
    w.push_back(wire_word(ep2_sample(frame.data(), k) + 4));
  return w;
}
std::vector<uint32_t> audio_of(const std::vector<uint8_t>& frame) {
  std::vector<uint32_t> w;
  for (unsigned k = 0; k < ep2_samples_per_frame; ++k)
    w.push_back(wire_word(ep2_sample(frame.data(), k)));
  return w;
}

// The 252 words of a frame alternate: even words carry the EER audio (or
// zero), odd words the IQ sample (or zero while the gate is closed). An
// empty FIFO is first primed with 2520 zero words.
struct words_row {
  const char* name;
  uint8_t eer, gpio_out, gpio_in;
  uint16_t tx_cntr;
  bool audio;  // even words carry the audio
  bool iq;     // odd words carry the IQ samples
};
class tx_sink_words : public tx_sink, public testing::WithParamInterface<words_row> {};

TEST_P(tx_sink_words, alternate_as_the_gate_and_eer_say) {
  const words_row& r = GetParam();
  st(tx_eer, r.eer);
  write8(gpio_out, r.gpio_out);
  model.gpio_in_value = r.gpio_in;
  model.tx_level = r.tx_cntr;
  const auto frame = ep2_frame();
  tx_sink_frame(frame.data());
  const auto iq = iq_words(frame), audio = audio_of(frame);
  std::vector<uint32_t> expected(r.tx_cntr == 0 ? 2520 : 0, 0);
  for (unsigned k = 0; k < 126; ++k) {
    expected.push_back(r.audio ? audio[k] : 0);
    expected.push_back(r.iq ? iq[k] : 0);
  }
  EXPECT_EQ(model.tx(), expected);
}

// Closed gate: every output but the transmit request, paddles but no PTT.
INSTANTIATE_TEST_SUITE_P(
    gate_and_eer, tx_sink_words,
    testing::Values(words_row{"closed_gate_sends_zero_words_even_with_eer", 1, 0xFE, 6, 100, 0, 0},
                    words_row{"without_eer_words_alternate_zero_and_iq", 0, 1, 0, 100, 0, 1},
                    words_row{"with_eer_words_alternate_audio_and_iq", 1, 0, 1, 100, 1, 1},
                    words_row{"priming_zeros_come_before_the_frame", 0, 1, 0, 0, 0, 1}),
    test_rows::row_name);

TEST_F(tx_sink, iq_word_keeps_wire_byte_order) {
  write8(gpio_out, 1);
  auto frame = ep2_frame();
  uint8_t* s = const_cast<uint8_t*>(ep2_sample(frame.data(), 70));  // in block 2
  s[4] = 0x12, s[5] = 0x34, s[6] = 0x56, s[7] = 0x78;
  tx_sink_frame(frame.data());
  EXPECT_EQ(model.tx().at(2 * 70 + 1), 0x78563412u);
}

TEST_F(tx_sink, codec_gets_the_audio_words_in_sample_order) {
  set_i2c_has(i2c_accessory::codec, 1);
  model.dac_level = 0;
  const auto frame = ep2_frame();
  tx_sink_frame(frame.data());
  auto expected = std::vector<uint32_t>(1260, 0);
  const auto audio = audio_of(frame);
  expected.insert(expected.end(), audio.begin(), audio.end());
  EXPECT_EQ(model.audio(), expected);
}

}  // namespace
