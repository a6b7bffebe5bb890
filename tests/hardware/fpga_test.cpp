// The FPGA device layer: register placement, the access rules as the
// observer sees them, and the units of the oscillator registers.
#include "hardware/fpga.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/board.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using B = fpga_block;

// The blocks of the simulated board, as ordinary memory.
class device_layer : public board_fixture {
 protected:
  static uint8_t* memory(B b) { return const_cast<uint8_t*>(fpga_base[static_cast<int>(b)]); }
};

struct register_row {
  const char* name;
  const volatile void* (*pointer)();
  B block;
  uint32_t offset;
  unsigned width;
};
#define REG(name, block, offset, width)                                                 \
  register_row {                                                                        \
#name, [] { return static_cast<const volatile void*>(name); }, block, offset, width \
  }

class register_placement : public device_layer, public testing::WithParamInterface<register_row> {};

TEST_P(register_placement, pointer_and_access_table_agree_with_the_register_map) {
  const register_row& r = GetParam();
  const auto* base = memory(r.block);
  EXPECT_EQ(static_cast<const volatile uint8_t*>(r.pointer()), base + r.offset);
  const reg_desc* d = fpga_register_at(r.block, r.offset);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->width, r.width);
  EXPECT_EQ(r.offset % r.width, 0u) << "naturally aligned";
}

INSTANTIATE_TEST_SUITE_P(
    each_register, register_placement,
    testing::Values(REG(rx_rst, B::cfg, 0, 1), REG(lo_rst, B::cfg, 1, 1), REG(tx_rst, B::cfg, 2, 1),
                    REG(gpio_out, B::cfg, 3, 1), REG(rx_rate, B::cfg, 4, 2),
                    REG(arg_bits_lo, B::cfg, 6, 1), REG(rx_freq, B::cfg, 8, 4),
                    REG(tx_freq, B::cfg, 20, 4), REG(tx_ramp_steps, B::cfg, 24, 2),
                    REG(tx_level, B::cfg, 26, 2), REG(cfg_word_28, B::cfg, 28, 2),
                    REG(arg_bits_hi, B::cfg, 30, 1), REG(dac_freq, B::cfg, 32, 4),
                    REG(dac_ramp_steps, B::cfg, 36, 2), REG(dac_level, B::cfg, 38, 2),
                    REG(rx_cntr, B::sts, 0, 2), REG(tx_cntr, B::sts, 2, 2),
                    REG(dac_cntr, B::sts, 4, 2), REG(adc_cntr, B::sts, 6, 2),
                    REG(gpio_in, B::sts, 8, 1), REG(alex, B::alex, 0, 4)),
    test_rows::row_name);

TEST(block_table, has_the_physical_addresses_and_sizes_of_the_board) {
  const uint32_t phys[8] = {0x40000000, 0x41000000, 0x42000000, 0x43000000,
                            0x44000000, 0x45000000, 0x46000000, 0x47000000};
  const uint32_t pages[8] = {1, 1, 8, 2, 1, 1, 1, 1};
  for (int i = 0; i < fpga_block_count; ++i) {
    EXPECT_EQ(fpga_blocks[i].phys, phys[i]) << fpga_blocks[i].name;
    EXPECT_EQ(fpga_blocks[i].pages, pages[i]) << fpga_blocks[i].name;
  }
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
