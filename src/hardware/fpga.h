// FPGA device layer: the eight mapped blocks, the register pointers into
// them, and the only functions through which any part of the server touches
// the FPGA.
//
// Access rules enforced here:
//   * every register access is exactly one load or one store of the
//     register's width (the pointers are volatile; nothing is merged, split
//     or cached);
//   * a bit change on a byte register is a read-modify-write of that byte;
//   * a pulse is two read-modify-writes in a row: clear, then set;
//   * FIFO ports take one 32-bit store per word; bulk reads are runs of
//     32-bit loads from the start of the block;
//   * a register is reached only through a pointer of its own width, status
//     registers only through const pointers, and the debug build checks that
//     only read-modify-write registers are read-modified-written.
//
// An observer (the simulated board, a test) may be attached before any other
// thread starts. It sees every store in program order, after the store
// reached memory, and may serve loads and FIFO reads from its own model. On
// the board no observer is attached and every access is a plain volatile
// access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "common/field.h"

enum class fpga_block : uint8_t { cfg, sts, fifo, codec, xadc, alex, tx_ramp, dac_ramp };
constexpr int fpga_block_count = 8;

struct fpga_block_desc {
  const char* name;
  uint32_t phys;   // physical address on the board
  uint32_t pages;  // mapping length in pages
};
extern const fpga_block_desc fpga_blocks[fpga_block_count];

// Mapped base of each block, indexed by fpga_block; null until mapped.
extern volatile uint8_t* fpga_base[fpga_block_count];
extern uint32_t fpga_size[fpga_block_count];  // bytes mapped

// Block pointers: the mapped base of each block, as the other modules name them.
extern volatile uint8_t* cfg;
extern volatile uint8_t* sts;
extern volatile uint32_t* fifo;
extern volatile uint32_t* codec;
extern volatile uint32_t* xadc;
extern volatile uint32_t* alex;
extern volatile int32_t* tx_ramp;
extern volatile int16_t* dac_ramp;

// The register map: every register of the cfg, sts and alex blocks, written
// once. The pointers below, the simulated board's register decoding, trace
// names and test doubles all come from this table.
//   write              whole stores only (the main thread's settings)
//   read_modify_write  byte registers whose bits several callers set and
//                      clear with set_bits8/clear_bits8/pulse8
//   read               status, loaded only; their pointers are const
enum class reg_access : uint8_t { write, read_modify_write, read };
enum class reg : uint8_t {
  rx_rst,
  lo_rst,
  tx_rst,
  gpio_out,
  rx_rate,
  arg_bits_lo,
  rx_freq0,
  rx_freq1,
  rx_freq2,
  tx_freq,
  tx_ramp_steps,
  tx_level,
  cfg_word_28,
  arg_bits_hi,
  dac_freq,
  dac_ramp_steps,
  dac_level,
  rx_cntr,
  tx_cntr,
  dac_cntr,
  adc_cntr,
  gpio_in,
  alex,
};
struct reg_desc {
  reg id;
  const char* name;
  fpga_block block;
  uint16_t offset;  // bytes
  uint8_t width;    // bytes: 1, 2 or 4
  reg_access access;
};
namespace reg_map {
using B = fpga_block;
constexpr auto W = reg_access::write, RMW = reg_access::read_modify_write, R = reg_access::read;
inline constexpr reg_desc table[] = {
    {reg::rx_rst, "rx_rst", B::cfg, 0, 1, RMW},    // receive FIFO / codec restart, no-codec bit
    {reg::lo_rst, "lo_rst", B::cfg, 1, 1, RMW},    // oscillator restart
    {reg::tx_rst, "tx_rst", B::cfg, 2, 1, RMW},    // transmit control (the keyer's after start-up)
    {reg::gpio_out, "gpio_out", B::cfg, 3, 1, W},  // output lines, bit 0 MOX
    {reg::rx_rate, "rx_rate", B::cfg, 4, 2, W},    // 30720000 / receive rate in Hz
    {reg::arg_bits_lo, "arg_bits_lo", B::cfg, 6, 1, W},         // argument mask bits 0-3
    {reg::rx_freq0, "rx_freq[0]", B::cfg, 8, 4, W},             // receiver 1 phase increment
    {reg::rx_freq1, "rx_freq[1]", B::cfg, 12, 4, W},            // receiver 2
    {reg::rx_freq2, "rx_freq[2]", B::cfg, 16, 4, W},            // receiver 3
    {reg::tx_freq, "tx_freq", B::cfg, 20, 4, W},                // transmit phase increment
    {reg::tx_ramp_steps, "tx_ramp_steps", B::cfg, 24, 2, W},    // transmit envelope length
    {reg::tx_level, "tx_level", B::cfg, 26, 2, W},              // drive level (signed 16-bit value)
    {reg::cfg_word_28, "cfg_word_28", B::cfg, 28, 2, W},        // start-up sets 18716; never read
    {reg::arg_bits_hi, "arg_bits_hi", B::cfg, 30, 1, W},        // argument mask bits 4-5
    {reg::dac_freq, "dac_freq", B::cfg, 32, 4, W},              // sidetone phase increment (codec)
    {reg::dac_ramp_steps, "dac_ramp_steps", B::cfg, 36, 2, W},  // sidetone envelope length
    {reg::dac_level, "dac_level", B::cfg, 38, 2, W},            // sidetone level x 64 (codec)
    {reg::rx_cntr, "rx_cntr", B::sts, 0, 2, R},                 // receive FIFO fill, 32-bit words
    {reg::tx_cntr, "tx_cntr", B::sts, 2, 2, R},                 // transmit FIFO fill, words
    {reg::dac_cntr, "dac_cntr", B::sts, 4, 2, R},               // codec audio-out FIFO fill, words
    {reg::adc_cntr, "adc_cntr", B::sts, 6, 2, R},               // codec microphone FIFO fill, words
    {reg::gpio_in, "gpio_in", B::sts, 8, 1, R},                 // input lines
    {reg::alex, "alex", B::alex, 0, 4, W},                      // Alex filter board word
};
}  // namespace reg_map
inline constexpr const reg_desc (&fpga_registers)[std::size(reg_map::table)] = reg_map::table;
constexpr int fpga_register_count = static_cast<int>(std::size(fpga_registers));

constexpr const reg_desc& reg_info(reg r) {
  return fpga_registers[static_cast<size_t>(r)];
}
constexpr uint16_t reg_offset(reg r) {
  return reg_info(r).offset;
}

namespace reg_map {
constexpr bool rows_in_enum_order() {
  for (int i = 0; i < fpga_register_count; ++i)
    if (static_cast<int>(table[i].id) != i) return false;
  return true;
}
constexpr bool aligned_to_width() {
  for (const reg_desc& r : table)
    if (r.offset % r.width != 0) return false;
  return true;
}
constexpr bool no_two_overlap() {
  for (const reg_desc& a : table)
    for (const reg_desc& b : table)
      if (&a != &b && a.block == b.block && a.offset < b.offset + b.width &&
          b.offset < a.offset + a.width)
        return false;
  return true;
}
static_assert(rows_in_enum_order());
static_assert(aligned_to_width());
static_assert(no_two_overlap());
// The three receive oscillators are one array of words.
static_assert(reg_offset(reg::rx_freq1) == reg_offset(reg::rx_freq0) + 4 &&
              reg_offset(reg::rx_freq2) == reg_offset(reg::rx_freq0) + 8);
}  // namespace reg_map

// Row of the register at block/offset, or null.
const reg_desc* fpga_register_at(fpga_block block, uint32_t offset);

// Register pointers into the mapped blocks; null until mapped. Each has the
// width its row gives (checked where they are set), the status registers
// are const.
extern volatile uint8_t* rx_rst;
extern volatile uint8_t* lo_rst;
extern volatile uint8_t* tx_rst;
extern volatile uint8_t* gpio_out;
extern volatile uint16_t* rx_rate;
extern volatile uint8_t* arg_bits_lo;
extern volatile uint32_t* rx_freq;  // rx_freq[0..2]: receivers 1..3
extern volatile uint32_t* tx_freq;
extern volatile uint16_t* tx_ramp_steps;
extern volatile uint16_t* tx_level;
extern volatile uint16_t* cfg_word_28;
extern volatile uint8_t* arg_bits_hi;
extern volatile uint32_t* dac_freq;
extern volatile uint16_t* dac_ramp_steps;
extern volatile uint16_t* dac_level;
extern const volatile uint16_t* rx_cntr;
extern const volatile uint16_t* tx_cntr;
extern const volatile uint16_t* dac_cntr;
extern const volatile uint16_t* adc_cntr;
extern const volatile uint8_t* gpio_in;

// XADC words (32-bit word index into the xadc block) that reach the client.
namespace xadc_word {
constexpr unsigned reverse_power = 16;
constexpr unsigned aux_input = 17;
constexpr unsigned forward_power = 24;
constexpr unsigned supply = 25;
}  // namespace xadc_word

// Named bits
namespace rx_rst_bits {
constexpr uint8_t fifo_restart = 0x01;   // bit 0: receive FIFO
constexpr uint8_t codec_restart = 0x02;  // bit 1: microphone FIFO
constexpr uint8_t no_codec = 0x04;       // bit 2: set when no codec answered
}  // namespace rx_rst_bits
namespace lo_rst_bits {
constexpr uint8_t rx_sync = 0x03;  // bits 0-1: restart receivers' oscillators together
constexpr uint8_t startup = 0x04;  // bit 2
}  // namespace lo_rst_bits
namespace tx_rst_bits {
constexpr uint8_t restart = 0x01;       // bit 0: transmit path restart
constexpr uint8_t restart_all = 0x03;   // bits 0-1 pulsed together at start-up
constexpr uint8_t key = 0x04;           // bit 2: CW key, RF on
constexpr uint8_t sidetone = 0x08;      // bit 3
constexpr uint8_t keyer_source = 0x10;  // bit 4: transmit from the keyer
constexpr uint8_t keyer_ptt = 0x20;     // bit 5
}  // namespace tx_rst_bits
namespace gpio_in_bits {
constexpr uint8_t ptt = 0x01;
constexpr uint8_t paddle_a = 0x02;  // bit 1: the dash input
constexpr uint8_t paddle_b = 0x04;  // bit 2: the dot input
constexpr bit_field paddles{0x06};  // both, dash input lowest
}  // namespace gpio_in_bits
namespace gpio_out_bits {
constexpr bit_field mox{0x01};
constexpr bit_field rx_path{0x02};     // receiving, with no attenuation or the preamplifier on
constexpr bit_field attenuator{0x0C};  // attenuator code
constexpr bit_field outputs{0xF0};     // open-collector outputs 1..4
}  // namespace gpio_out_bits
static_assert((tx_rst_bits::restart_all & tx_rst_bits::key) == 0);
static_assert((lo_rst_bits::rx_sync & lo_rst_bits::startup) == 0);

// Observer hooks; any may be null.
struct fpga_observer {
  void* ctx;
  // Called after every store: block, byte offset in the block, width in
  // bytes (1, 2 or 4) and the stored value.
  void (*store)(void* ctx, fpga_block block, uint32_t offset, unsigned width, uint32_t value);
  // Serves a register load; `memory` is what the mapped memory holds.
  uint32_t (*load)(void* ctx, fpga_block block, uint32_t offset, unsigned width, uint32_t memory);
  // Serves a bulk read of `bytes` bytes from the start of a FIFO block.
  void (*read_fifo)(void* ctx, fpga_block block, void* dst, size_t bytes);
};
extern const fpga_observer* fpga_obs;

// Points the block and register pointers at the mapped blocks in fpga_base.
void fpga_set_pointers();
// Clears every pointer (tests).
void fpga_clear_pointers();

// Register access
uint8_t read8(const volatile uint8_t* reg);
uint16_t read16(const volatile uint16_t* reg);
uint32_t read32(const volatile uint32_t* reg);
void write8(volatile uint8_t* reg, uint8_t value);
void write16(volatile uint16_t* reg, uint16_t value);
void write32(volatile uint32_t* reg, uint32_t value);
// Byte read-modify-writes.
void set_bits8(volatile uint8_t* reg, uint8_t mask);
void clear_bits8(volatile uint8_t* reg, uint8_t mask);
// Pulse: clear the bits, then set them (two stores).
void pulse8(volatile uint8_t* reg, uint8_t mask);

// FIFO ports and tables
void fifo_write(volatile uint32_t* port, uint32_t word);  // one store, one word appended
// Runs of FIFO words, one store per word in this order, each as fifo_write
// would make it (an observer sees every store); without an observer nothing
// is done per word but the store (and the load of its bytes). A word from
// bytes is the four bytes as they stand, the first in bits 0..7 (a
// little-endian word, as wire_word reads it).
//   fifo_write_zeros:   `count` zero words;
//   fifo_write_pairs:   for k = 0 .. count - 1, the word at first + k x stride
//                       (a zero word when `first` is null), then the word at
//                       second + k x stride;
//   fifo_write_strided: the words at src + k x stride.
void fifo_write_zeros(volatile uint32_t* port, unsigned count);
void fifo_write_pairs(volatile uint32_t* port, const uint8_t* first, const uint8_t* second,
                      unsigned count, size_t stride);
void fifo_write_strided(volatile uint32_t* port, const uint8_t* src, unsigned count, size_t stride);
// Copies `bytes` (a multiple of 4) from the start of the fifo or codec block.
void fifo_read(void* dst, const volatile uint32_t* port, size_t bytes);
void table_write32(volatile int32_t* table, uint32_t index, int32_t value);
void table_write16(volatile int16_t* table, uint32_t index, int16_t value);

// Phase increment of the receive/transmit oscillators for f Hz
// (122.88 MHz clock, 30-bit phase).
uint32_t phase_increment(double hz);
// Phase increment of the sidetone oscillator (48 kHz, 30-bit phase).
uint32_t sidetone_increment(double hz);
