// The FPGA device layer: the lookup by address, the access rules as the
// observer sees them, and the units of the oscillator registers.
#include "hardware/fpga.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/board.h"

namespace {

using B = fpga_block;

// The blocks of the simulated board, as ordinary memory.
class device_layer : public board_fixture {
 protected:
  static uint8_t* memory(B b) { return const_cast<uint8_t*>(fpga_base[static_cast<int>(b)]); }
};

// The lookup by address, as the observer uses it on every access: each
// register pointer leads to its register, under the name the trace gives it.
TEST_F(device_layer, each_register_pointer_is_found_as_its_register) {
  struct named {
    const char* name;
    const volatile void* p;
  };
#define FPGA_NAMED(name, ...) named{#name, name},
  const named pointers[] = {FPGA_REGISTERS(FPGA_NAMED)};
#undef FPGA_NAMED
  for (const named& n : pointers) {
    fpga_block b;
    uint32_t offset;
    ASSERT_TRUE(fpga_locate(n.p, &b, &offset)) << n.name;
    const fpga_register* r = fpga_register_at(b, offset);
    ASSERT_NE(r, nullptr) << n.name;
    EXPECT_STREQ(reg_info(r->id).name, n.name);
    EXPECT_EQ(r->element, 0);
  }
  fpga_block b;
  uint32_t offset;
  ASSERT_TRUE(fpga_locate(rx_freq + 2, &b, &offset));
  EXPECT_STREQ(fpga_register_at(b, offset)->name, "rx_freq[2]");
  ASSERT_TRUE(fpga_locate(dac_ramp + 3, &b, &offset));
  EXPECT_EQ(b, B::dac_ramp);
  EXPECT_EQ(offset, 6u);
}

TEST_F(device_layer, addresses_off_the_registers_and_outside_the_blocks_are_not_found) {
  fpga_block b;
  uint32_t offset;
  ASSERT_TRUE(fpga_locate(memory(B::cfg) + reg_offset(reg::tx_freq) + 1, &b, &offset));
  EXPECT_EQ(fpga_register_at(b, offset), nullptr) << "inside a register";
  EXPECT_EQ(fpga_register_at(B::fifo, 0), nullptr);
  EXPECT_EQ(fpga_register_at(B::cfg, 4096), nullptr);
  const int outside = 0;
  EXPECT_FALSE(fpga_locate(&outside, &b, &offset));
  const uint8_t* cfg_block = memory(B::cfg);
  EXPECT_FALSE(fpga_locate(cfg_block + fpga_size[0], &b, &offset)) << "past the mapping";
  fpga_clear_pointers();
  EXPECT_FALSE(fpga_locate(cfg_block, &b, &offset)) << "unmapped";
}

TEST_F(device_layer, a_pulse_is_two_stores_low_then_high_keeping_other_bits) {
  memory(B::cfg)[2] = 0xA4;
  pulse8(tx_rst, 0x03);
  ASSERT_EQ(board.rec.stores.size(), 2u);
  EXPECT_EQ(board.rec.stores[0], (recorded_store{B::cfg, 2, 1, 0xA4}));
  EXPECT_EQ(board.rec.stores[1], (recorded_store{B::cfg, 2, 1, 0xA7}));
  EXPECT_EQ(*tx_rst, 0xA7);
}

TEST_F(device_layer, bit_changes_read_the_byte_back_and_store_it_whole) {
  memory(B::cfg)[0] = 0x81;
  set_bits8(rx_rst, 0x04);
  clear_bits8(rx_rst, 0x01);
  EXPECT_EQ(board.rec.values_of(B::cfg, 0), (std::vector<uint32_t>{0x85, 0x84}));
  EXPECT_EQ(board.rec.stores.size(), 2u);
}

TEST_F(device_layer, every_store_reaches_memory_and_the_observer_with_its_width) {
  write8(gpio_out, 0x5A);
  write16(rx_rate, 320);
  write32(rx_freq + 2, 0x10000000);
  write16(tx_level, static_cast<uint16_t>(int16_t{-2}));
  EXPECT_EQ(memory(B::cfg)[3], 0x5A);
  uint16_t rate16;
  std::memcpy(&rate16, &memory(B::cfg)[4], 2);
  EXPECT_EQ(rate16, 320);
  EXPECT_EQ(read32(rx_freq + 2), 0x10000000u);
  EXPECT_EQ(board.rec.stores, (std::vector<recorded_store>{{B::cfg, 3, 1, 0x5A},
                                                           {B::cfg, 4, 2, 320},
                                                           {B::cfg, 16, 4, 0x10000000},
                                                           {B::cfg, 26, 2, 0xFFFE}}));
}

TEST_F(device_layer, fifo_and_table_ports_are_observed_store_by_store) {
  fifo_write(fifo, 0x11111111);
  fifo_write(fifo, 0x22222222);
  fifo_write(codec, 0x33333333);
  table_write32(tx_ramp, 1001, 4100000);
  table_write16(dac_ramp, 481, 32000);
  table_write16(dac_ramp, 3, -1);
  EXPECT_EQ(board.rec.stores, (std::vector<recorded_store>{{B::fifo, 0, 4, 0x11111111},
                                                           {B::fifo, 0, 4, 0x22222222},
                                                           {B::codec, 0, 4, 0x33333333},
                                                           {B::tx_ramp, 4004, 4, 4100000},
                                                           {B::dac_ramp, 962, 2, 32000},
                                                           {B::dac_ramp, 6, 2, 0xFFFF}}));
}

TEST_F(device_layer, a_fifo_read_copies_words_from_the_start_of_the_block) {
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t w = 0xA0000000u + i;
    std::memcpy(&memory(B::fifo)[4 * i], &w, 4);
  }
  uint32_t out[4] = {};
  fifo_read(out, fifo, sizeof out);
  EXPECT_EQ(out[0], 0xA0000000u);
  EXPECT_EQ(out[3], 0xA0000003u);
  EXPECT_TRUE(board.rec.stores.empty());
}

// Runs of FIFO words: every store seen, in order, as fifo_write makes them.
TEST_F(device_layer, runs_of_fifo_words_are_observed_store_by_store) {
  // Three 8-byte samples: bytes 0..3 one word, bytes 4..7 another.
  const uint8_t samples[24] = {0x01, 0x02, 0x03, 0x04, 0x11, 0x12, 0x13, 0x14,  //
                               0x21, 0x22, 0x23, 0x24, 0x31, 0x32, 0x33, 0x34,  //
                               0x41, 0x42, 0x43, 0x44, 0x51, 0x52, 0x53, 0x54};
  fifo_write_zeros(fifo, 5);
  fifo_write_pairs(fifo, samples, samples + 4, 3, 8);
  fifo_write_pairs(fifo, nullptr, samples + 4, 2, 8);
  fifo_write_strided(codec, samples, 3, 8);
  const std::vector<recorded_store> want = {
      {B::fifo, 0, 4, 0},           {B::fifo, 0, 4, 0},           {B::fifo, 0, 4, 0},
      {B::fifo, 0, 4, 0},           {B::fifo, 0, 4, 0},           {B::fifo, 0, 4, 0x04030201},
      {B::fifo, 0, 4, 0x14131211},  {B::fifo, 0, 4, 0x24232221},  {B::fifo, 0, 4, 0x34333231},
      {B::fifo, 0, 4, 0x44434241},  {B::fifo, 0, 4, 0x54535251},  {B::fifo, 0, 4, 0},
      {B::fifo, 0, 4, 0x14131211},  {B::fifo, 0, 4, 0},           {B::fifo, 0, 4, 0x34333231},
      {B::codec, 0, 4, 0x04030201}, {B::codec, 0, 4, 0x24232221}, {B::codec, 0, 4, 0x44434241}};
  EXPECT_EQ(board.rec.stores, want);
}

// A run of whole passes of eight words and a rest.
TEST_F(device_layer, a_fifo_read_of_29_words_copies_each_in_order) {
  for (uint32_t i = 0; i < 29; ++i) {
    const uint32_t w = 0xB0000000u + i;
    std::memcpy(&memory(B::fifo)[4 * i], &w, 4);
  }
  uint32_t out[30] = {};
  fifo_read(out, fifo, 29 * 4);
  for (uint32_t i = 0; i < 29; ++i) EXPECT_EQ(out[i], 0xB0000000u + i) << i;
  EXPECT_EQ(out[29], 0u);
}

struct frequency_row {
  double hz;
  uint32_t increment;
};
std::ostream& operator<<(std::ostream& os, const frequency_row& r) {
  return os << r.hz << " Hz";
}

class oscillator_increment : public testing::TestWithParam<frequency_row> {};
TEST_P(oscillator_increment, rounds_to_the_nearest_step_of_the_122_88_mhz_clock) {
  EXPECT_EQ(phase_increment(GetParam().hz), GetParam().increment);
}
INSTANTIATE_TEST_SUITE_P(telling_frequencies, oscillator_increment,
                         testing::Values(frequency_row{600000, 0x00500000},
                                         frequency_row{30720000, 0x10000000},
                                         frequency_row{7100000, 62040747}, frequency_row{1, 9},
                                         frequency_row{0, 0}));

class sidetone_oscillator : public testing::TestWithParam<frequency_row> {};
TEST_P(sidetone_oscillator, rounds_to_the_nearest_step_of_the_48_khz_clock) {
  EXPECT_EQ(sidetone_increment(GetParam().hz), GetParam().increment);
}
INSTANTIATE_TEST_SUITE_P(telling_frequencies, sidetone_oscillator,
                         testing::Values(frequency_row{600, 13421773},
                                         frequency_row{700, 15658735}));

}  // namespace
