// The pene board's word (I/O expander at 0x20) from the word with C0 = 0x00:
// each control field alone lands on its own lines.
#include "control_fixture.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

struct pene_case {
  const char* name;
  uint8_t c2, c3, c4;
  uint16_t word;
};
class pene_word : public control_fixture, public ::testing::WithParamInterface<pene_case> {};

TEST_P(pene_word, lands_on_its_lines) {
  const auto& c = GetParam();
  bring_up({i2c_address(i2c_accessory::pene)});
  send_word(ep2_c0::general, 0, c.c2, c.c3, c.c4);
  const auto lo = static_cast<uint8_t>(c.word), hi = static_cast<uint8_t>(c.word >> 8);
  // A zero word equals the cache after start-up: nothing is sent.
  const std::vector<i2c_msg> sent = take_i2c();
  if (c.word == 0)
    EXPECT_TRUE(sent.empty());
  else
    EXPECT_EQ(
        sent,
        (std::vector<i2c_msg>{{i2c_address(i2c_accessory::pene), {expander_output, lo, hi}}}));
}

INSTANTIATE_TEST_SUITE_P(fields, pene_word,
                         ::testing::Values(pene_case{"outputs_c2_bits_1_to_7", 0xFE, 0, 0, 0x007F},
                                           pene_case{"eer_bit_is_not_sent", 0x01, 0, 0, 0x0000},
                                           pene_case{"attenuator_code", 0, 0x03, 0, 0x0180},
                                           pene_case{"preamp_and_c3_bits_3_4", 0, 0x1C, 0, 0xE000},
                                           pene_case{"receive_antenna", 0, 0x60, 0, 0x0600},
                                           pene_case{"receive_out_is_not_sent", 0, 0x80, 0, 0x0000},
                                           pene_case{"transmit_antenna", 0, 0, 0x03, 0x1800}),
                         test_rows::row_name);

}  // namespace
