// Band-decoder boards: band lookup and the misc and nucleo messages.
#include <string>
#include <vector>

#include "control/writers.h"
#include "control_fixture.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

struct band_case {
  const char* name;
  uint32_t hz;
  int misc, nucleo;
};
class band_lookup : public ::testing::TestWithParam<band_case> {};

TEST_P(band_lookup, counts_upper_edge_in_and_lower_edge_out) {
  const auto& c = GetParam();
  EXPECT_EQ(misc_band(c.hz), c.misc);
  EXPECT_EQ(nucleo_band(c.hz), c.nucleo);
}

INSTANTIATE_TEST_SUITE_P(
    edges, band_lookup,
    ::testing::Values(band_case{"zero", 0, 0, 0}, band_case{"lower_edge_160m", 1700000, 0, 0},
                      band_case{"above_lower_edge_160m", 1700001, 1, 1},
                      band_case{"upper_edge_160m", 2100000, 1, 1},
                      band_case{"above_upper_edge_160m", 2100001, 0, 0},
                      band_case{"upper_edge_10m", 30000000, 9, 10},
                      band_case{"above_upper_edge_10m", 30000001, 0, 0},
                      band_case{"60m_only_on_nucleo", 5300000, 0, 3},
                      band_case{"lower_edge_60m", 5250000, 0, 0},
                      band_case{"upper_edge_60m", 5450000, 0, 3}, band_case{"40m", 7100000, 3, 4},
                      band_case{"20m", 14200000, 5, 6}, band_case{"6m", 50000000, 10, 11},
                      band_case{"upper_edge_6m", 55000000, 10, 11},
                      band_case{"above_6m", 55000001, 0, 0}),
    test_rows::row_name);

class band_boards : public control_fixture {
 protected:
  static void set_frequencies(uint32_t tx, uint32_t rx1, uint32_t rx2) {
    st(tx_freq_hz, tx);
    st(rx1_freq_hz, rx1);
    st(rx2_freq_hz, rx2);
  }
};

TEST_F(band_boards, misc_word_carries_receiver_bands) {
  bring_up({i2c_address(i2c_accessory::misc)});
  set_frequencies(7100000, 7100000, 14200000);
  misc_write();
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x23, {0x02, 0x53, 0x00}}}));
  EXPECT_EQ(ld(misc_word_sent), 0x0053);
}

TEST_F(band_boards, misc_word_carries_split_band_attenuators_and_relays) {
  bring_up({i2c_address(i2c_accessory::misc)});
  set_frequencies(14200000, 7100000, 14200000);
  st(misc_rx_att_db, 31);
  st(misc_rx2_att_db, 24);
  st(misc_relays, 3);
  misc_write();
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x23, {0x02, 0x53, 0x7F}}}));
}

TEST_F(band_boards, misc_sends_nothing_while_the_word_stays_the_same) {
  bring_up({i2c_address(i2c_accessory::misc)});
  misc_write();  // all zero: equals the cache
  EXPECT_TRUE(take_i2c().empty());
  set_frequencies(7100000, 7100000, 14200000);
  misc_write();
  take_i2c();
  set_frequencies(7000000, 7200000, 14000000);  // same bands
  st(misc_rx_att_db, 7);                        // bits 0-2 are not sent
  misc_write();
  EXPECT_TRUE(take_i2c().empty());
}

TEST_F(band_boards, nucleo_message_is_word_then_band_byte) {
  bring_up({i2c_address(i2c_accessory::nucleo)});
  set_frequencies(14200000, 7100000, 14200000);
  st(nucleo_settings, 0x2001);
  st(nucleo_relays, 7);
  st(nucleo_rx_att_db, 31);
  st(nucleo_rx2_att_db, 24);
  nucleo_write();
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x55, {0x03, 0x40, 0xFE, 0x31, 0x64}}}));
  EXPECT_EQ(ld(nucleo_word_sent), 0x31FE4003u);
  EXPECT_EQ(ld(nucleo_bands_sent), 0x64u);
  nucleo_write();
  EXPECT_TRUE(take_i2c().empty());
}

TEST_F(band_boards, nucleo_band_byte_change_alone_is_sent) {
  bring_up({i2c_address(i2c_accessory::nucleo)});
  set_frequencies(7100000, 7100000, 14200000);
  nucleo_write();
  set_frequencies(7100000, 7100000, 21200000);
  nucleo_write();
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x55, {0x00, 0x00, 0x00, 0x00, 0x64}},
                                              {0x55, {0x00, 0x00, 0x00, 0x00, 0x84}}}));
}

TEST_F(band_boards, nothing_is_sent_for_all_zero_inputs) {
  bring_up({i2c_address(i2c_accessory::misc), i2c_address(i2c_accessory::nucleo)});
  misc_write();
  nucleo_write();
  EXPECT_TRUE(take_i2c().empty());
}

// The receive loop merges the keyer's PTT into nucleo_settings and calls the
// writer even without the board; an absent board is never addressed.
TEST_F(band_boards, nucleo_write_addresses_no_absent_board) {
  bring_up({});
  st(nucleo_settings, 1);
  nucleo_write();
  EXPECT_TRUE(take_i2c().empty());
}

}  // namespace
