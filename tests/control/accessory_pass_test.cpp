// The accessory pass that follows every receive call, with the keyer's PTT
// merged into the Alex and nucleo words.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <ostream>

#include "control/writers.h"
#include "hardware/i2c.h"
#include "net/net_harness.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using namespace net_test;

struct pass_state {
  uint8_t cw_ptt = 0;
  uint16_t filter_settings = 0;
  uint16_t alex_update = 0;
  uint16_t misc_update = 0;
  uint32_t nucleo_settings = 0;
  int32_t nucleo_update = 0;
  bool operator==(const pass_state&) const = default;
};
std::ostream& operator<<(std::ostream& os, const pass_state& s) {
  return os << "{ptt " << int(s.cw_ptt) << ", alex " << s.filter_settings << "/" << s.alex_update
            << ", misc " << s.misc_update << ", nucleo " << s.nucleo_settings << "/"
            << s.nucleo_update << "}";
}

void apply(const pass_state& s) {
  st(cw_ptt, s.cw_ptt);
  st(filter_settings, s.filter_settings);
  st(alex_update, s.alex_update);
  st(misc_update, s.misc_update);
  st(nucleo_settings, s.nucleo_settings);
  st(nucleo_update, s.nucleo_update);
}
pass_state observe() {
  return {ld(cw_ptt),      ld(filter_settings), ld(alex_update),
          ld(misc_update), ld(nucleo_settings), ld(nucleo_update)};
}

// The blocks are mapped: alex_write reaches the alex register.
class accessory_pass_fixture : public board_fixture {
 protected:
  accessory_pass_fixture() : board_fixture(stub_board()) {}
};

struct pass_row {
  const char* name;
  pass_state before;
  pass_state after;
};
class accessory_pass : public accessory_pass_fixture,
                       public testing::WithParamInterface<pass_row> {};

TEST_P(accessory_pass, merges_ptt_and_clears_flags_before_writing) {
  apply(GetParam().before);
  accessory_updates();
  EXPECT_EQ(observe(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    cases, accessory_pass,
    testing::Values(pass_row{"idle_pass_changes_nothing", {}, {}},
                    pass_row{"ptt_sets_bit_0_of_both_words_without_flags",
                             {.cw_ptt = 1},
                             {.cw_ptt = 1, .filter_settings = 1, .nucleo_settings = 1}},
                    pass_row{"ptt_merge_clears_pending_flags",
                             {.cw_ptt = 1,
                              .filter_settings = 0x60,
                              .alex_update = 1,
                              .nucleo_settings = 0x80,
                              .nucleo_update = 1},
                             {.cw_ptt = 1, .filter_settings = 0x61, .nucleo_settings = 0x81}},
                    pass_row{"bit_stays_set_when_ptt_falls",
                             {.filter_settings = 0x61, .nucleo_settings = 0x81},
                             {.filter_settings = 0x61, .nucleo_settings = 0x81}},
                    pass_row{"ptt_with_bit_already_set_leaves_flags_alone",
                             {.cw_ptt = 1, .filter_settings = 1, .nucleo_settings = 1},
                             {.cw_ptt = 1, .filter_settings = 1, .nucleo_settings = 1}},
                    pass_row{"flags_alone_are_cleared",
                             {.alex_update = 1, .misc_update = 1, .nucleo_update = 1},
                             {}},
                    pass_row{"nucleo_word_is_cut_to_16_bits_by_the_merge",
                             {.nucleo_settings = 0x10001, .nucleo_update = 1},
                             {.nucleo_settings = 0x0001}}),
    test_rows::row_name);

int messages_to(int address) {
  int n = 0;
  for (const auto& t : sim_i2c_log) n += t.addr == address;
  return n;
}

TEST_F(accessory_pass_fixture, ptt_reaches_a_present_nucleo_board_once) {
  sim_config.i2c_devices[i2c_address(i2c_accessory::nucleo)] = true;
  st(i2c_fd, sim_platform.open("/dev/i2c-0", O_RDWR));
  set_i2c_has(i2c_accessory::nucleo, 1);
  st(cw_ptt, 1);
  accessory_updates();
  EXPECT_EQ(messages_to(i2c_address(i2c_accessory::nucleo)), 1);
  EXPECT_EQ(ld(nucleo_settings), 1u);
  accessory_updates();  // nothing new to say
  st(cw_ptt, 0);
  accessory_updates();  // the bit stays until a control word rewrites the word
  EXPECT_EQ(messages_to(i2c_address(i2c_accessory::nucleo)), 1);
  EXPECT_EQ(ld(nucleo_settings), 1u);
}

TEST_F(accessory_pass_fixture, absent_nucleo_board_gets_bit_0_and_nothing_on_the_bus) {
  st(i2c_fd, sim_platform.open("/dev/i2c-0", O_RDWR));
  st(cw_ptt, 1);
  accessory_updates();
  accessory_updates();
  EXPECT_EQ(ld(nucleo_settings), 1u);
  EXPECT_EQ(ld(nucleo_update), 0);
  EXPECT_EQ(messages_to(i2c_address(i2c_accessory::nucleo)), 0);
}

}  // namespace
