// Control-word decoding: state, register stores and I2C messages per word.
#include <string>
#include <vector>

#include "control/writers.h"
#include "control_fixture.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using bytes = std::vector<uint8_t>;

// Everything the decoder may change in the control state, as one list.
template <class... T>
std::vector<uint64_t> values_of(const std::atomic<T>&... v) {
  return {static_cast<uint64_t>(ld(v))...};
}

std::vector<uint64_t> control_snapshot() {
  return values_of(receivers, rate, rx_synced, tx_eer, rx_att_db, sidetone_level, keyer_enabled,
                   cw_delay, cw_hang, cw_speed, cw_mode, cw_weight, cw_spacing, cw_reversed,
                   filter_settings, filter_manual, alex_update, misc_rx_att_db, misc_rx2_att_db,
                   misc_relays, misc_update, nucleo_settings, nucleo_relays, nucleo_rx_att_db,
                   nucleo_rx2_att_db, nucleo_update, icom_band_data, i2c_pene_data,
                   filter_expander_sent, i2c_level_data, i2c_drive_data, i2c_dac0_data,
                   i2c_boost_data, arduino_tx_khz_sent, arduino_rx1_khz_sent, arduino_rx2_khz_sent,
                   arduino_outputs_antennas_sent, arduino_tx_attenuation_sent,
                   arduino_rx_attenuation_sent, tx_freq_hz, rx1_freq_hz, rx2_freq_hz);
}

class decoder : public control_fixture {
 protected:
  // Sends two words with `c0` and checks that they changed nothing at all.
  void expect_ignored(uint8_t c0) {
    rec.stores.clear();
    const auto before = control_snapshot();
    send_word(c0, 0x5A, 0xA5, 0xFF, 0x81);
    send_word(c0, 0xFF, 0xFF, 0xFF, 0xFF);
    EXPECT_EQ(control_snapshot(), before);
    EXPECT_TRUE(rec.stores.empty());
    EXPECT_TRUE(take_i2c().empty());
  }
};

// ---------------------------------------------------------------- ignored words

TEST_F(decoder, unknown_words_change_no_state_register_or_message) {
  bring_up(all_but_codec);
  set_i2c_has(i2c_accessory::codec, 1);  // codec-only paths open too
  std::vector<int> unknown = {0x23, 0xFE};
  for (int c0 = 0x0A; c0 <= 0x11; ++c0) unknown.push_back(c0);
  for (int c0 = 0x18; c0 <= 0x1B; ++c0) unknown.push_back(c0);
  for (int c0 = 0x22; c0 <= 0xFF; c0 += 0x11) unknown.push_back(c0);
  for (int c0 : unknown) {
    SCOPED_TRACE(testing::Message() << "c0 0x" << std::hex << c0);
    expect_ignored(static_cast<uint8_t>(c0));
  }
}

TEST_F(decoder, transmit_attenuation_without_arduino_board_is_ignored) {
  bring_up({i2c_address(i2c_accessory::pene), i2c_address(i2c_accessory::level)});
  expect_ignored(ep2_c0::tx_attenuation);
}

// ---------------------------------------------------------------- frequencies

// Slot 0 is the transmitter, 1-3 the receivers; increment 0: the word is ignored.
struct freq_case {
  const char* name;
  uint8_t c0;
  int slot;
  uint32_t hz, increment;
};
class frequency_word : public control_fixture, public ::testing::WithParamInterface<freq_case> {};

TEST_P(frequency_word, writes_phase_increment_only_when_accepted) {
  const auto& c = GetParam();
  bring_up({});
  send_frequency(c.c0, c.hz);
  if (c.increment) {
    EXPECT_EQ(stores_to(c.slot == 0 ? tx_freq : rx_freq + c.slot - 1),
              std::vector<uint32_t>{c.increment});
  } else {
    EXPECT_TRUE(rec.stores.empty());
  }
  // Receiver 3 has no frequency setting and no filters.
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ld(i == 0   ? tx_freq_hz
                 : i == 1 ? rx1_freq_hz
                          : rx2_freq_hz),
              i == c.slot && c.increment ? c.hz : 0u)
        << "frequency " << i;
  if (!c.increment || c.slot == 3) {
    EXPECT_EQ(ld(alex_update), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    examples, frequency_word,
    ::testing::Values(freq_case{"tx_600kHz", 0x02, 0, 600000, 0x500000},
                      freq_case{"tx_7_1MHz", 0x02, 0, 7100000, 62040747},
                      freq_case{"tx_14MHz_with_mox", 0x03, 0, 14000000, 122333867},
                      freq_case{"tx_1Hz", 0x02, 0, 1, 9},
                      freq_case{"tx_max_accepted", 0x02, 0, 30720000, 268435456},
                      freq_case{"tx_above_max_ignored", 0x02, 0, 30720001, 0},
                      freq_case{"tx_all_ones_ignored", 0x03, 0, 0xFFFFFFFF, 0},
                      freq_case{"rx1_7_1MHz", 0x04, 1, 7100000, 62040747},
                      freq_case{"rx1_max_accepted", 0x05, 1, 30720000, 268435456},
                      freq_case{"rx1_above_max_ignored", 0x04, 1, 30720001, 0},
                      freq_case{"rx2_14MHz", 0x06, 2, 14000000, 122333867},
                      freq_case{"rx2_max_accepted", 0x07, 2, 30720000, 268435456},
                      freq_case{"rx2_above_max_ignored", 0x06, 2, 30720001, 0},
                      freq_case{"rx3_7_1MHz", 0x08, 3, 7100000, 62040747},
                      freq_case{"rx3_max_accepted", 0x09, 3, 30720000, 268435456},
                      freq_case{"rx3_above_max_ignored", 0x08, 3, 30720001, 0}),
    test_rows::row_name);

TEST_F(decoder, repeated_transmit_frequency_rewrites_register_but_acts_once) {
  bring_up({i2c_address(i2c_accessory::misc), i2c_address(i2c_accessory::nucleo),
            i2c_address(i2c_accessory::arduino)},
           true);
  send_frequency(ep2_c0::tx_frequency, 7100000);
  EXPECT_EQ(ld(alex_update), 1);
  EXPECT_EQ(ld(misc_update), 1);
  EXPECT_EQ(ld(nucleo_update), 1);
  st(alex_update, 0);
  st(misc_update, 0);
  st(nucleo_update, 0);

  send_frequency(ep2_c0::tx_frequency, 7100000);
  EXPECT_EQ(stores_to(tx_freq), (std::vector<uint32_t>{62040747, 62040747}));
  EXPECT_EQ(ld(alex_update), 0);
  EXPECT_EQ(ld(misc_update), 0);
  EXPECT_EQ(ld(nucleo_update), 0);
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x40, {0x03, 0xBC, 0x1B}}}));

  // One band frame for the first word; the next change of band shows that
  // the repeat sent nothing in between.
  send_frequency(ep2_c0::tx_frequency, 14100000);
  EXPECT_EQ(serial_read(20), (bytes{0xFE, 0xFE, 0x04, 0xE0, 0x05, 0x00, 0x00, 0x00, 0x07, 0xFD,
                                    0xFE, 0xFE, 0x04, 0xE0, 0x05, 0x00, 0x00, 0x00, 0x14, 0xFD}));
}

TEST_F(decoder, repeated_receiver_frequencies_raise_flags_and_messages_once) {
  bring_up({i2c_address(i2c_accessory::arduino)});
  for (int i = 0; i < 2; ++i) {
    send_frequency(ep2_c0::rx1_frequency, 7100000);
    send_frequency(ep2_c0::rx2_frequency, 14200000);
    EXPECT_EQ(ld(alex_update), i == 0 ? 1 : 0) << "pass " << i;
    EXPECT_EQ(ld(misc_update), 0) << "no misc board";
    EXPECT_EQ(ld(nucleo_update), 0) << "no nucleo board";
    st(alex_update, 0);
  }
  EXPECT_EQ(stores_to(rx_freq), (std::vector<uint32_t>{62040747, 62040747}));
  EXPECT_EQ(take_i2c(),
            (std::vector<i2c_msg>{{0x40, {0x01, 0xBC, 0x1B}}, {0x40, {0x02, 0x78, 0x37}}}));
}

TEST_F(decoder, frequency_reaches_arduino_board_in_whole_khz) {
  bring_up({i2c_address(i2c_accessory::arduino)});
  send_frequency(ep2_c0::tx_frequency, 12345678);
  send_frequency(ep2_c0::rx1_frequency, 12345999);
  send_frequency(ep2_c0::rx2_frequency, 999);
  // The kHz value of the second receiver is 0, which the cache already holds.
  EXPECT_EQ(take_i2c(),
            (std::vector<i2c_msg>{{0x40, {0x03, 0x39, 0x30}}, {0x40, {0x01, 0x39, 0x30}}}));
  // A new Hz value within the same kHz sends nothing either.
  send_frequency(ep2_c0::tx_frequency, 12345001);
  EXPECT_TRUE(take_i2c().empty());
}

// ---------------------------------------------------------------- synchronisation

TEST_F(decoder, synchronisation_on_copies_receiver_1_then_restarts_oscillators) {
  bring_up({});
  send_frequency(ep2_c0::rx1_frequency, 7100000);
  write8(lo_rst, 0x84);  // other bits of the byte must survive
  rec.stores.clear();

  send_word(ep2_c0::general, 0, 0, 0, 0x80);
  const std::vector<recorded_store> expected = {
      store_of(rx_freq + 1, 4, 62040747), store_of(lo_rst, 1, 0x84), store_of(lo_rst, 1, 0x87),
      store_of(gpio_out, 1, 0x02), store_of(rx_rate, 2, 640)};
  EXPECT_EQ(rec.stores, expected);
  EXPECT_EQ(ld(rx_synced), 1);

  rec.stores.clear();
  send_word(ep2_c0::general, 0, 0, 0, 0x80);  // same bit again: no restart
  EXPECT_TRUE(stores_to(lo_rst).empty());
  EXPECT_TRUE(stores_to(rx_freq + 1).empty());
}

TEST_F(decoder, synchronised_receiver_1_drives_receiver_2_whose_own_word_is_ignored) {
  bring_up({i2c_address(i2c_accessory::arduino)});
  send_word(ep2_c0::general, 0, 0, 0, 0x80);
  rec.stores.clear();

  send_frequency(ep2_c0::rx1_frequency, 14000000);
  EXPECT_EQ(rec.stores, (std::vector<recorded_store>{
                            store_of(rx_freq, 4, 122333867), store_of(rx_freq + 1, 4, 122333867),
                            store_of(lo_rst, 1, 0x00), store_of(lo_rst, 1, 0x03)}));
  EXPECT_EQ(ld(rx1_freq_hz), 14000000u);

  rec.stores.clear();
  send_frequency(ep2_c0::rx1_frequency, 14000000);  // no restart without a change
  EXPECT_EQ(rec.stores, (std::vector<recorded_store>{store_of(rx_freq, 4, 122333867),
                                                     store_of(rx_freq + 1, 4, 122333867)}));

  st(alex_update, 0);
  take_i2c();
  rec.stores.clear();
  send_frequency(ep2_c0::rx2_frequency, 7100000);
  EXPECT_TRUE(rec.stores.empty());
  EXPECT_EQ(ld(rx2_freq_hz), 0u);
  EXPECT_EQ(ld(alex_update), 0);
  EXPECT_TRUE(take_i2c().empty());
}

TEST_F(decoder, synchronisation_off_changes_nothing_until_receiver_2_word) {
  bring_up({});
  send_frequency(ep2_c0::rx1_frequency, 7100000);
  send_word(ep2_c0::general, 0, 0, 0, 0x80);
  rec.stores.clear();

  send_word(ep2_c0::general, 0, 0, 0, 0x00);
  EXPECT_EQ(ld(rx_synced), 0);
  EXPECT_TRUE(stores_to(lo_rst).empty());
  EXPECT_TRUE(stores_to(rx_freq + 1).empty());

  send_frequency(ep2_c0::rx2_frequency, 14000000);
  EXPECT_EQ(stores_to(rx_freq + 1), std::vector<uint32_t>{122333867});
}

// ---------------------------------------------------------------- general word

struct general_case {
  const char* name;
  uint8_t c1, c4;
  int32_t receivers, rate;
  uint16_t rx_rate;
};
class receivers_and_rate : public control_fixture,
                           public ::testing::WithParamInterface<general_case> {};

TEST_P(receivers_and_rate, are_stored_and_rate_divider_written) {
  const auto& c = GetParam();
  bring_up({});
  send_word(ep2_c0::general, c.c1, 0, 0, c.c4);
  EXPECT_EQ(ld(receivers), c.receivers);
  EXPECT_EQ(ld(rate), c.rate);
  EXPECT_EQ(stores_to(rx_rate), std::vector<uint32_t>{c.rx_rate});
}

INSTANTIATE_TEST_SUITE_P(
    codes, receivers_and_rate,
    ::testing::Values(general_case{"defaults", 0x00, 0x00, 1, 0, 640},
                      general_case{"rate_96k", 0x01, 0x00, 1, 1, 320},
                      general_case{"rate_192k", 0x02, 0x00, 1, 2, 160},
                      general_case{"rate_384k", 0x03, 0x00, 1, 3, 80},
                      general_case{"rate_ignores_high_bits", 0xFD, 0x00, 1, 1, 320},
                      general_case{"two_receivers", 0x00, 0x08, 2, 0, 640},
                      general_case{"eight_receivers", 0x00, 0x38, 8, 0, 640},
                      general_case{"receivers_ignore_other_bits", 0x00, 0x47, 1, 0, 640}),
    test_rows::row_name);

struct gpio_case {
  const char* name;
  uint8_t c0, c2, c3;
  bool ptt_in;
  uint8_t rx_att;
  uint8_t expected;
};
class gpio_out_byte : public control_fixture, public ::testing::WithParamInterface<gpio_case> {};

TEST_P(gpio_out_byte, is_built_from_the_word_and_inputs) {
  const auto& c = GetParam();
  bring_up({});
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, c.rx_att);
  *const_cast<volatile uint8_t*>(gpio_in) = c.ptt_in ? gpio_in_bits::ptt : 0;
  send_word(c.c0, 0, c.c2, c.c3, 0);
  EXPECT_EQ(stores_to(gpio_out), std::vector<uint32_t>{c.expected});
}

INSTANTIATE_TEST_SUITE_P(
    cases, gpio_out_byte,
    ::testing::Values(gpio_case{"outputs_receiving", 0x00, 0xFF, 0x00, false, 0, 0xF2},
                      gpio_case{"outputs_transmitting", 0x01, 0xFF, 0x00, false, 0, 0xF1},
                      gpio_case{"ptt_input_clears_bit_1", 0x00, 0xFF, 0x00, true, 0, 0xF0},
                      gpio_case{"attenuation_clears_bit_1", 0x00, 0x00, 0x00, false, 10, 0x00},
                      gpio_case{"preamp_bit_with_attenuation", 0x00, 0x00, 0x04, false, 10, 0x02},
                      gpio_case{"attenuator_code_bits_2_3", 0x00, 0x00, 0x03, false, 0, 0x0E},
                      gpio_case{"only_c2_bits_1_to_4", 0x00, 0xE1, 0x00, false, 0, 0x02},
                      gpio_case{"c2_bits_1_to_4", 0x00, 0x1E, 0x00, false, 0, 0xF2}),
    test_rows::row_name);

TEST_F(decoder, general_word_packs_the_filter_settings_and_raises_flag_on_change) {
  bring_up({});
  send_word(0x01, 0, 0, 0xFF, 0xFF);
  EXPECT_EQ(ld(filter_settings), 0x3E7);
  EXPECT_EQ(ld(alex_update), 1);
  EXPECT_EQ(ld(tx_eer), 0);
  st(alex_update, 0);
  send_word(0x01, 0x03, 0x01, 0xFF, 0xFF);  // rate and EER bit are not Alex inputs
  EXPECT_EQ(ld(alex_update), 0);
  EXPECT_EQ(ld(tx_eer), 1);
}

struct nucleo0_case {
  const char* name;
  uint8_t c0, c2, c3, c4;
  uint32_t expected;
};
class nucleo_settings_packing : public control_fixture,
                                public ::testing::WithParamInterface<nucleo0_case> {};

TEST_P(nucleo_settings_packing, follows_the_layout) {
  const auto& c = GetParam();
  bring_up({i2c_address(i2c_accessory::nucleo)});
  send_word(c.c0, 0, c.c2, c.c3, c.c4);
  EXPECT_EQ(ld(nucleo_settings), c.expected);
  EXPECT_EQ(ld(nucleo_update), c.expected != 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    cases, nucleo_settings_packing,
    ::testing::Values(nucleo0_case{"everything", 0x01, 0xFE, 0x78, 0x00, 0x33FF},
                      nucleo0_case{"rx_antenna_1", 0x00, 0x00, 0x20, 0x03, 0x0400},
                      nucleo0_case{"rx_antenna_2_tx_antenna_1", 0x00, 0x00, 0x40, 0x01, 0x4800},
                      nucleo0_case{"tx_antenna_2", 0x00, 0x00, 0x00, 0x02, 0x8000},
                      nucleo0_case{"no_antenna_bits", 0x00, 0x01, 0x07, 0x03, 0x0000}),
    test_rows::row_name);

TEST_F(decoder, board_inputs_stay_untouched_without_their_boards) {
  bring_up({});
  send_word(0x01, 0, 0xFE, 0xFF, 0x00);
  send_word(ep2_c0::drive_filters, 0, 0, 0xFF, 0);
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, 0x1F);
  send_word(ep2_c0::attenuation_keyer, 0x1F, 0, 0, 0);
  for (auto* v : {&misc_rx_att_db, &misc_rx2_att_db, &misc_relays}) EXPECT_EQ(ld(*v), 0);
  for (auto* v : {&nucleo_settings, &nucleo_relays, &nucleo_rx_att_db, &nucleo_rx2_att_db})
    EXPECT_EQ(ld(*v), 0u);
  EXPECT_EQ(ld(misc_update), 0);
  EXPECT_EQ(ld(nucleo_update), 0);
  EXPECT_EQ(ld(rx_att_db), 31);
}

TEST_F(decoder, board_inputs_raise_their_flags_once_per_change) {
  bring_up({i2c_address(i2c_accessory::misc), i2c_address(i2c_accessory::nucleo)});
  send_word(ep2_c0::drive_filters, 0, 0, 0xA0, 0);
  EXPECT_EQ(ld(misc_relays), 3);
  EXPECT_EQ(ld(nucleo_relays), 5u);
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, 0x3F);
  EXPECT_EQ(ld(misc_rx_att_db), 0x1F);
  EXPECT_EQ(ld(nucleo_rx_att_db), 0x1Fu);
  send_word(ep2_c0::attenuation_keyer, 0xF8, 0, 0, 0);
  EXPECT_EQ(ld(misc_rx2_att_db), 0x18);
  EXPECT_EQ(ld(nucleo_rx2_att_db), 0x18u);
  EXPECT_EQ(ld(misc_update), 1);
  EXPECT_EQ(ld(nucleo_update), 1);

  st(misc_update, 0);
  st(nucleo_update, 0);
  send_word(ep2_c0::drive_filters, 0, 0, 0xA0, 0);
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, 0x1F);
  send_word(ep2_c0::attenuation_keyer, 0x18, 0, 0, 0);
  EXPECT_EQ(ld(misc_update), 0);
  EXPECT_EQ(ld(nucleo_update), 0);
}

// ---------------------------------------------------------------- DAC 0

struct dac0_case {
  const char* name;
  uint8_t rx_att, att_code;
  bytes sent;
};
class dac0_level : public control_fixture, public ::testing::WithParamInterface<dac0_case> {};

TEST_P(dac0_level, follows_total_receive_attenuation) {
  const auto& c = GetParam();
  bring_up({i2c_address(i2c_accessory::dac0)});
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, c.rx_att);
  EXPECT_TRUE(take_i2c().empty()) << "attenuation alone waits for the general word";
  send_word(ep2_c0::general, 0, 0, c.att_code, 0);
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x60, c.sent}}));
  send_word(ep2_c0::general, 0, 0, c.att_code, 0);
  EXPECT_TRUE(take_i2c().empty()) << "repeat";
}

INSTANTIATE_TEST_SUITE_P(cases, dac0_level,
                         ::testing::Values(dac0_case{"no_attenuation", 0, 0, {0x0F, 0xE1}},
                                           dac0_case{"x_10", 10, 0, {0x0D, 0x42}},
                                           dac0_case{"x_51", 31, 2, {0x02, 0x82}},
                                           dac0_case{"x_60", 30, 3, {0x00, 0x26}},
                                           // 61 dB would give 4065 - 4095; the line stops at 0.
                                           dac0_case{"x_61_gives_zero", 31, 3, {0x00, 0x00}}),
                         test_rows::row_name);

// ---------------------------------------------------------------- drive level

struct drive_case {
  const char* name;
  std::vector<int> devices;
  uint8_t level, c3;
  std::vector<i2c_msg> sent;
  std::vector<uint32_t> tx_level_stores;
};
class drive_level_destination : public control_fixture,
                                public ::testing::WithParamInterface<drive_case> {};

TEST_P(drive_level_destination, goes_to_exactly_one_place) {
  const auto& c = GetParam();
  bring_up(c.devices);
  send_word(ep2_c0::drive_filters, c.level, 0, c.c3, 0);
  EXPECT_EQ(take_i2c(), c.sent);
  EXPECT_EQ(stores_to(tx_level), c.tx_level_stores);

  rec.stores.clear();
  send_word(ep2_c0::drive_filters, c.level, 0, c.c3, 0);
  EXPECT_TRUE(take_i2c().empty()) << "repeat";
  EXPECT_EQ(stores_to(tx_level), c.tx_level_stores) << "the register is rewritten every time";
}

constexpr int lvl = i2c_address(i2c_accessory::level), drv = i2c_address(i2c_accessory::drive),
              ard = i2c_address(i2c_accessory::arduino);

INSTANTIATE_TEST_SUITE_P(
    cases, drive_level_destination,
    ::testing::Values(
        drive_case{"register_full", {}, 255, 0, {}, {21910}},
        drive_case{"register_half", {}, 128, 0, {}, {10998}},
        drive_case{"register_zero", {}, 0, 0, {}, {0}},
        drive_case{"level_board_first", {lvl, drv, ard}, 200, 0, {{0x22, {0x02, 200, 0x00}}}, {}},
        drive_case{"drive_board_second", {drv, ard}, 200, 0, {{0x28, {0xA9, 200, 200}}}, {}},
        drive_case{"arduino_in_db", {ard}, 128, 0, {{0x40, {0x05, 11, 0x00, 0x00}}}, {}},
        drive_case{
            "arduino_with_relay_bits", {ard}, 200, 0xC0, {{0x40, {0x05, 4, 0x00, 0x03}}}, {}},
        drive_case{"arduino_full_drive", {ard}, 255, 0x40, {{0x40, {0x05, 0, 0x00, 0x01}}}, {}}),
    test_rows::row_name);

TEST_F(decoder, drive_word_packs_the_filter_manual_bits) {
  bring_up({});
  send_word(ep2_c0::drive_filters, 0, 0x40, 0x12, 0x34);
  EXPECT_EQ(ld(filter_manual), 0xB412);
  EXPECT_EQ(ld(alex_update), 1);
  st(alex_update, 0);
  send_word(ep2_c0::drive_filters, 0, 0x00, 0x12, 0xB4);  // bit 15 from C4 bit 7 alone
  EXPECT_EQ(ld(filter_manual), 0xB412);
  EXPECT_EQ(ld(alex_update), 0);
}

TEST_F(decoder, microphone_boost_reaches_codec_only_on_change) {
  bring_up({i2c_address(i2c_accessory::codec)});
  send_word(ep2_c0::drive_filters, 0, 0x01);
  send_word(ep2_c0::drive_filters, 0, 0x01);
  send_word(ep2_c0::drive_filters, 0, 0x40);
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x1A, {0x08, 0x15}}, {0x1A, {0x08, 0x14}}}));
}

// ---------------------------------------------------------------- arduino words

TEST_F(decoder, arduino_output_and_antenna_word_keeps_receive_and_transmit_halves) {
  bring_up({i2c_address(i2c_accessory::arduino)});
  send_word(ep2_c0::general, 0, 0x04, 0x40, 0x00);
  send_word(ep2_c0::general | ep2_c0::mox, 0, 0x02, 0x00, 0x02);
  EXPECT_EQ(ld(arduino_outputs_antennas_sent), 0x420201u);
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x40, {0x04, 0x00, 0x02, 0x40}},
                                              {0x40, {0x04, 0x01, 0x02, 0x42}}}));
  // Receive antenna code 0: the transmit antenna code stands in bits 20-22;
  // the transmit half survives.
  send_word(ep2_c0::general, 0, 0x01, 0x00, 0x03);
  EXPECT_EQ(ld(arduino_outputs_antennas_sent), 0x320081u);
  // A transmit word clears bit 7.
  send_word(ep2_c0::general | ep2_c0::mox, 0, 0x02, 0x00, 0x02);
  EXPECT_EQ(ld(arduino_outputs_antennas_sent), 0x320001u);
}

TEST_F(decoder, arduino_attenuation_words_keep_the_other_field) {
  bring_up({i2c_address(i2c_accessory::arduino)});
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, 0x1F);
  send_word(ep2_c0::attenuation_keyer, 0x15, 0, 0, 0);
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, 0x03);
  send_word(ep2_c0::tx_attenuation, 0, 0, 0x1F, 0);
  send_word(ep2_c0::drive_filters, 128, 0, 0x40, 0);
  send_word(ep2_c0::tx_attenuation, 0, 0, 0x05, 0);
  send_word(ep2_c0::tx_attenuation, 0, 0, 0x25, 0);  // bits 5-7 of C3 are not used
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x40, {0x06, 0x1F, 0x00}},
                                              {0x40, {0x06, 0x1F, 0x15}},
                                              {0x40, {0x06, 0x03, 0x15}},
                                              {0x40, {0x05, 0x00, 0x1F, 0x00}},
                                              {0x40, {0x05, 0x0B, 0x1F, 0x01}},
                                              {0x40, {0x05, 0x0B, 0x05, 0x01}}}));
}

// ---------------------------------------------------------------- keyer and sidetone

TEST_F(decoder, keyer_settings_are_stored_every_time) {
  bring_up({});
  send_word(ep2_c0::attenuation_keyer, 0x00, 0x40, 0xDF, 0xB2);
  EXPECT_EQ(ld(cw_speed), 31);
  EXPECT_EQ(ld(cw_mode), 3);
  EXPECT_EQ(ld(cw_reversed), 1);
  EXPECT_EQ(ld(cw_weight), 50);
  EXPECT_EQ(ld(cw_spacing), 1);
  send_word(ep2_c0::attenuation_keyer | ep2_c0::mox, 0x00, 0xBF, 0x40, 0x7F);
  EXPECT_EQ(ld(cw_speed), 0);
  EXPECT_EQ(ld(cw_mode), 1);
  EXPECT_EQ(ld(cw_reversed), 0);
  EXPECT_EQ(ld(cw_weight), 127);
  EXPECT_EQ(ld(cw_spacing), 0);
  EXPECT_TRUE(rec.stores.empty());
}

// level and tone: the value stored into dac_level and dac_freq, 0 for none.
struct sidetone_case {
  const char* name;
  bool codec;
  uint8_t c0, c1, c2, c3, c4;
  uint16_t level_store;
  uint32_t tone_store;
  uint8_t int_data, delay, level;
  uint16_t hang;
};
class sidetone : public control_fixture, public ::testing::WithParamInterface<sidetone_case> {};

TEST_P(sidetone, settings_stored_and_registers_written_only_with_codec) {
  const auto& c = GetParam();
  bring_up(c.codec ? std::vector<int>{i2c_address(i2c_accessory::codec)} : std::vector<int>{});
  send_word(c.c0, c.c1, c.c2, c.c3, c.c4);
  std::vector<recorded_store> expected;
  if (c.level_store) expected.push_back(store_of(dac_level, 2, c.level_store));
  if (c.tone_store) expected.push_back(store_of(dac_freq, 4, c.tone_store));
  EXPECT_EQ(rec.stores, expected);
  EXPECT_EQ(ld(keyer_enabled), c.int_data);
  EXPECT_EQ(ld(cw_delay), c.delay);
  EXPECT_EQ(ld(sidetone_level), c.level);
  EXPECT_EQ(ld(cw_hang), c.hang);
  EXPECT_TRUE(take_i2c().empty());
}

INSTANTIATE_TEST_SUITE_P(
    cases, sidetone,
    ::testing::Values(
        sidetone_case{"level_with_codec", true, 0x1E, 0x01, 50, 20, 0, 3200, 0, 1, 20, 50, 0},
        sidetone_case{"level_255_with_codec", true, 0x1F, 0xFE, 255, 0, 0, 16320, 0, 0, 0, 255, 0},
        sidetone_case{"level_without_codec", false, 0x1E, 0x01, 50, 20, 0, 0, 0, 1, 20, 50, 0},
        sidetone_case{"tone_600Hz_with_codec", true, 0x20, 0x12, 0x03, 0x25, 0x08, 0, 13421773, 0,
                      0, 0, 75},
        // 0x21: the hang and tone word with MOX set.
        sidetone_case{"tone_700Hz_with_codec", true, 0x21, 0xFF, 0xFF, 0x2B, 0x0C, 0, 15658735, 0,
                      0, 0, 1023},
        sidetone_case{"tone_without_codec", false, 0x20, 0x12, 0x03, 0x25, 0x08, 0, 0, 0, 0, 0,
                      75}),
    test_rows::row_name);

// ---------------------------------------------------------------- whole bus

// A client's opening set of words touching every accessory.
void opening_words() {
  send_word(ep2_c0::rx_attenuation, 0, 0, 0, 0x0A);
  send_word(ep2_c0::general, 0x01, 0x04, 0x41, 0x01);
  send_frequency(ep2_c0::tx_frequency, 7100000);
  send_frequency(ep2_c0::rx1_frequency, 7100000);
  send_frequency(ep2_c0::rx2_frequency, 14200000);
  send_word(ep2_c0::drive_filters, 200, 0x41, 0xA0, 0x05);
  send_word(ep2_c0::attenuation_keyer, 0x08, 0, 0x19, 0x32);
  send_word(ep2_c0::tx_attenuation, 0, 0, 0x03, 0);
  send_word(ep2_c0::keyer_sidetone, 1, 50, 10, 0);
  send_word(ep2_c0::hang_sidetone_freq, 0, 10, 0x25, 0x08);
}

struct bus_case {
  const char* name;
  std::vector<int> devices;
  std::vector<i2c_msg> transcript;
};
class bus_transcript : public control_fixture, public ::testing::WithParamInterface<bus_case> {};

TEST_P(bus_transcript, sends_each_change_once_in_order) {
  const auto& c = GetParam();
  bring_up(c.devices);
  opening_words();
  EXPECT_EQ(take_i2c(), c.transcript);
  opening_words();
  EXPECT_TRUE(take_i2c().empty()) << "nothing is sent when every value repeats";
}

INSTANTIATE_TEST_SUITE_P(buses, bus_transcript,
                         ::testing::Values(bus_case{"every_accessory",
                                                    {0x20, 0x21, 0x22, 0x23, 0x28, 0x40, 0x55, 0x60,
                                                     0x61, 0x1A},
                                                    {{0x40, {0x06, 0x0A, 0x00}},
                                                     {0x20, {0x02, 0x82, 0x0C}},
                                                     {0x60, {0x0A, 0xA3}},
                                                     {0x40, {0x04, 0x00, 0x02, 0x40}},
                                                     {0x40, {0x03, 0xBC, 0x1B}},
                                                     {0x40, {0x01, 0xBC, 0x1B}},
                                                     {0x40, {0x02, 0x78, 0x37}},
                                                     {0x21, {0x02, 0xA0, 0x05}},
                                                     {0x22, {0x02, 0xC8, 0x00}},
                                                     {0x1A, {0x08, 0x15}},
                                                     {0x40, {0x06, 0x0A, 0x08}},
                                                     {0x40, {0x05, 0x00, 0x03, 0x00}}}},
                                           bus_case{"arduino_only",
                                                    {0x40},
                                                    {{0x40, {0x06, 0x0A, 0x00}},
                                                     {0x40, {0x04, 0x00, 0x02, 0x40}},
                                                     {0x40, {0x03, 0xBC, 0x1B}},
                                                     {0x40, {0x01, 0xBC, 0x1B}},
                                                     {0x40, {0x02, 0x78, 0x37}},
                                                     {0x40, {0x05, 0x04, 0x00, 0x02}},
                                                     {0x40, {0x06, 0x0A, 0x08}},
                                                     {0x40, {0x05, 0x04, 0x03, 0x02}}}},
                                           bus_case{"drive_dac_and_expanders",
                                                    {0x20, 0x21, 0x28, 0x60},
                                                    {{0x20, {0x02, 0x82, 0x0C}},
                                                     {0x60, {0x0A, 0xA3}},
                                                     {0x21, {0x02, 0xA0, 0x05}},
                                                     {0x28, {0xA9, 0xC8, 0xC8}}}},
                                           bus_case{"band_boards_only_flagged", {0x23, 0x55}, {}},
                                           bus_case{"empty_bus", {}, {}}),
                         test_rows::row_name);

}  // namespace
