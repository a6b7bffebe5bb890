// I2C accessory discovery and codec set-up, as the bus sees it during
// start-up, and the byte layouts of the message helpers.
#include "hardware/i2c.h"

#include <set>

#include "app/startup_harness.h"
#include "support/rows.h"

// Transactions of the simulated bus compare and print whole.
static bool operator==(const sim_i2c_transaction& a, const sim_i2c_transaction& b) {
  return a.addr == b.addr && a.bytes == b.bytes && a.ok == b.ok && a.forced == b.forced;
}
static std::ostream& operator<<(std::ostream& os, const sim_i2c_transaction& t) {
  os << "0x" << std::hex << int(t.addr) << (t.forced ? " forced" : "") << ":";
  for (uint8_t b : t.bytes) os << " " << int(b);
  return os << std::dec << (t.ok ? " ack" : " nak");
}

namespace {

using test_rows::operator<<;
using tx = sim_i2c_transaction;

void expect_bus(const std::vector<tx>& want) {
  harness::expect_same("transaction", sim_i2c_log, want);
}

// Probe messages, absent (nak) devices.
const tx pene_probe{0x20, {0x02, 0x00, 0x00}, false, true};
const tx alex_probe{0x21, {0x02, 0x00, 0x00}, false, false};
const tx level_probe{0x22, {0x02, 0x00, 0x00}, false, false};
const tx misc_probe{0x23, {0x02, 0x00, 0x00}, false, false};
const tx drive_probe{0x28, {0xA9, 0x00, 0x00}, false, false};
const tx dac0_probe{0x60, {0x0F, 0xFF}, false, false};
const tx dac1_probe{0x61, {0x0F, 0xFF}, false, false};
const tx arduino_probe{0x40, {0x01, 0x00, 0x00}, false, false};
const tx nucleo_probe{0x55, {0x00, 0x00, 0x10, 0x02, 0x00}, false, false};
const tx codec_probe{0x1A, {0x1E, 0x00}, false, false};

tx ack(tx t) {
  t.ok = true;
  return t;
}
tx follow_up(uint8_t addr, bool forced) {
  return {addr, {0x06, 0x00, 0x00}, true, forced};
}

std::vector<tx> codec_setup() {
  const uint8_t words[9][2] = {{0x0C, 0x51}, {0x12, 0x00}, {0x04, 0x6F}, {0x06, 0x6F}, {0x08, 0x14},
                               {0x0A, 0x00}, {0x0E, 0x42}, {0x12, 0x01}, {0x0C, 0x41}};
  std::vector<tx> v;
  for (const auto& w : words) v.push_back({0x1A, {w[0], w[1]}, true, false});
  return v;
}

struct flags {
  int pene, alex, level, misc, drive, dac0, dac1, arduino, nucleo, codec;
  bool operator==(const flags&) const = default;
};
std::ostream& operator<<(std::ostream& os, const flags& f) {
  return os << "pene " << f.pene << " alex " << f.alex << " level " << f.level << " misc " << f.misc
            << " drive " << f.drive << " dac0 " << f.dac0 << " dac1 " << f.dac1 << " arduino "
            << f.arduino << " nucleo " << f.nucleo << " codec " << f.codec;
}
flags presence() {
  return {i2c_has(i2c_accessory::pene),   i2c_has(i2c_accessory::filter_expander),
          i2c_has(i2c_accessory::level),  i2c_has(i2c_accessory::misc),
          i2c_has(i2c_accessory::drive),  i2c_has(i2c_accessory::dac0),
          i2c_has(i2c_accessory::dac1),   i2c_has(i2c_accessory::arduino),
          i2c_has(i2c_accessory::nucleo), i2c_has(i2c_accessory::codec)};
}

using i2c_startup = startup_fixture;

TEST_F(i2c_startup, an_empty_bus_is_probed_at_every_address_and_nothing_is_present) {
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  expect_bus({pene_probe, alex_probe, level_probe, misc_probe, drive_probe, dac0_probe, dac1_probe,
              arduino_probe, nucleo_probe, codec_probe});
  EXPECT_EQ(presence(), (flags{}));
}

TEST_F(i2c_startup, a_codec_alone_gets_its_reset_and_the_nine_set_up_words) {
  present({0x1A});
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  std::vector<tx> want{pene_probe, alex_probe, level_probe,   misc_probe,   drive_probe,
                       dac0_probe, dac1_probe, arduino_probe, nucleo_probe, ack(codec_probe)};
  for (const tx& t : codec_setup()) want.push_back(t);
  expect_bus(want);
}

TEST_F(i2c_startup, an_expander_at_0x21_alone_is_driven_low_then_made_all_outputs) {
  present({0x21});
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  expect_bus({pene_probe, ack(alex_probe), follow_up(0x21, false), level_probe, misc_probe,
              drive_probe, dac0_probe, dac1_probe, arduino_probe, nucleo_probe, codec_probe});
}

TEST_F(i2c_startup, every_accessory_present_is_found_and_set_up) {
  present({0x20, 0x21, 0x22, 0x23, 0x28, 0x60, 0x61, 0x40, 0x55, 0x1A});
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  std::vector<tx> want{ack(pene_probe),        follow_up(0x20, true),  ack(alex_probe),
                       follow_up(0x21, false), ack(level_probe),       follow_up(0x22, false),
                       ack(misc_probe),        follow_up(0x23, false), ack(drive_probe),
                       ack(dac0_probe),        ack(dac1_probe),        ack(arduino_probe),
                       ack(nucleo_probe),      ack(codec_probe)};
  for (const tx& t : codec_setup()) want.push_back(t);
  expect_bus(want);
  EXPECT_EQ(presence(), (flags{1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
}

TEST_F(i2c_startup, address_0x20_is_forced_past_a_kernel_driver_and_the_others_are_not) {
  present({0x20, 0x21});
  sim_config.i2c_busy[0x20] = true;
  sim_config.i2c_busy[0x21] = true;
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  expect_bus({ack(pene_probe), follow_up(0x20, true), level_probe, misc_probe, drive_probe,
              dac0_probe, dac1_probe, arduino_probe, nucleo_probe, codec_probe});
  EXPECT_EQ(presence(), (flags{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(i2c_startup, the_probes_send_the_cached_values_without_changing_them) {
  st(i2c_dac0_data, 0x0123);
  st(i2c_dac1_data, 0x0ABC);
  st(arduino_rx1_khz_sent, 0x1234);
  present({0x60, 0x61, 0x40});
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  const std::vector<tx>& log = sim_i2c_log;
  ASSERT_EQ(log.size(), 10u);
  EXPECT_EQ(log[5].bytes, (std::vector<uint8_t>{0x01, 0x23}));
  EXPECT_EQ(log[6].bytes, (std::vector<uint8_t>{0x0A, 0xBC}));
  EXPECT_EQ(log[7].bytes, (std::vector<uint8_t>{0x01, 0x34, 0x12}));
  EXPECT_EQ(ld(i2c_dac0_data), 0x0123);
  EXPECT_EQ(ld(i2c_dac1_data), 0x0ABC);
  EXPECT_EQ(ld(arduino_rx1_khz_sent), 0x1234);
}

// Each accessory alone: only its own flag rises.
struct single_row {
  const char* label;
  int addr;
  i2c_accessory id;
};
class single_accessory : public startup_fixture, public testing::WithParamInterface<single_row> {};

TEST_P(single_accessory, raises_only_its_own_presence_flag) {
  present({GetParam().addr});
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  EXPECT_EQ(ld(i2c_found), i2c_present(GetParam().id));
}

INSTANTIATE_TEST_SUITE_P(each_accessory, single_accessory,
                         testing::Values(single_row{"pene", 0x20, i2c_accessory::pene},
                                         single_row{"alex", 0x21, i2c_accessory::filter_expander},
                                         single_row{"level", 0x22, i2c_accessory::level},
                                         single_row{"misc", 0x23, i2c_accessory::misc},
                                         single_row{"drive", 0x28, i2c_accessory::drive},
                                         single_row{"dac0", 0x60, i2c_accessory::dac0},
                                         single_row{"dac1", 0x61, i2c_accessory::dac1},
                                         single_row{"arduino", 0x40, i2c_accessory::arduino},
                                         single_row{"nucleo", 0x55, i2c_accessory::nucleo},
                                         single_row{"codec", 0x1A, i2c_accessory::codec}),
                         test_rows::row_name);

std::vector<uint8_t> bytes_of(const i2c_message& m) {
  return {m.bytes, m.bytes + m.len};
}

TEST(i2c_messages, lay_out_register_or_command_and_value_bytes_per_device_kind) {
  EXPECT_EQ(bytes_of(expander_msg(expander_output, 0xBEEF)),
            (std::vector<uint8_t>{0x02, 0xEF, 0xBE}));
  EXPECT_EQ(bytes_of(dac_msg(0x0FFF)), (std::vector<uint8_t>{0x0F, 0xFF}));
  EXPECT_EQ(bytes_of(drive_msg(0x5C)), (std::vector<uint8_t>{0xA9, 0x5C, 0x5C}));
  EXPECT_EQ(bytes_of(board16_msg(0x06, 0xBEEF)), (std::vector<uint8_t>{0x06, 0xEF, 0xBE}));
  EXPECT_EQ(bytes_of(board24_msg(0x07, 0xFFABCDEF)),
            (std::vector<uint8_t>{0x07, 0xEF, 0xCD, 0xAB}));
  EXPECT_EQ(bytes_of(nucleo_msg(0x02100000, 0x09)),
            (std::vector<uint8_t>{0x00, 0x00, 0x10, 0x02, 0x09}));
  EXPECT_EQ(bytes_of(codec_msg(4, 0x115)), (std::vector<uint8_t>{0x09, 0x15}));
}

TEST_F(i2c_startup, send_selects_the_address_then_writes_the_whole_message) {
  const int fd = platform->open("/dev/i2c-0", 0);
  ASSERT_GE(fd, 0);
  present({0x30, 0x23});
  ASSERT_EQ(platform->i2c_select(fd, I2C_SLAVE, 0x30), 0);  // another address selected before
  st(i2c_fd, fd);
  const i2c_message msg = expander_msg(expander_output, 0x1234);
  EXPECT_EQ(i2c_send(0x23, msg), 3);
  EXPECT_EQ(sim_i2c_log.back(), (tx{0x23, {0x02, 0x34, 0x12}, true, false}));
  sim_config.i2c_busy[0x22] = true;
  const size_t before = sim_i2c_log.size();
  EXPECT_LT(i2c_send(0x22, msg), 0);
  EXPECT_EQ(sim_i2c_log.size(), before) << "nothing written when the select fails";
}

}  // namespace
