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
//     32-bit loads from the start of the block.
//
// An observer (the simulated board, a test) may be attached before any other
// thread starts. It sees every store in program order, after the store
// reached memory, and may serve loads and FIFO reads from its own model. On
// the board no observer is attached and every access is a plain volatile
// access.
#pragma once

#include <cstddef>
#include <cstdint>

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

// cfg registers (written by the server; byte registers also read back)
extern volatile uint8_t* rx_rst;           // byte 0: receive FIFO / codec restart, no-codec bit
extern volatile uint8_t* lo_rst;           // byte 1: oscillator restart
extern volatile uint8_t* tx_rst;           // byte 2: transmit control (keyer-owned after start-up)
extern volatile uint8_t* gpio_out;         // byte 3: output lines, always whole-byte
extern volatile uint16_t* rx_rate;         // byte 4: 30720000 / receive rate in Hz
extern volatile uint8_t* arg_bits_lo;      // byte 6: mask bits 0-3
extern volatile uint32_t* rx_freq;         // bytes 8,12,16: receivers 1..3 phase increments
extern volatile uint32_t* tx_freq;         // byte 20: transmit phase increment
extern volatile uint16_t* tx_ramp_steps;   // byte 24
extern volatile uint16_t* tx_level;        // byte 26: drive level (signed 16-bit value)
extern volatile uint16_t* cfg_word_28;     // byte 28: constant 18716
extern volatile uint8_t* arg_bits_hi;      // byte 30: mask bits 4-5
extern volatile uint32_t* dac_freq;        // byte 32: sidetone phase increment (codec only)
extern volatile uint16_t* dac_ramp_steps;  // byte 36 (codec only)
extern volatile uint16_t* dac_level;       // byte 38: sidetone level x 64 (codec only)

// sts registers (read only)
extern volatile uint16_t* rx_cntr;   // receive FIFO fill, 32-bit words
extern volatile uint16_t* tx_cntr;   // transmit FIFO fill, words
extern volatile uint16_t* dac_cntr;  // codec audio-out FIFO fill, words
extern volatile uint16_t* adc_cntr;  // codec microphone FIFO fill, words
extern volatile uint8_t* gpio_in;    // input lines

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
constexpr uint8_t paddle_a = 0x02;  // bit 1
constexpr uint8_t paddle_b = 0x04;  // bit 2
}  // namespace gpio_in_bits
static_assert((tx_rst_bits::restart_all & tx_rst_bits::key) == 0);
static_assert((lo_rst_bits::rx_sync & lo_rst_bits::startup) == 0);

// Register table: the access rules as data. One row per cfg/sts register.
enum class reg_access : uint8_t { write, read_modify_write, read };
struct reg_desc {
  const char* name;
  fpga_block block;
  uint16_t offset;  // bytes
  uint8_t width;    // bytes: 1, 2 or 4
  reg_access access;
};
extern const reg_desc fpga_registers[];
extern const int fpga_register_count;
// Row of the register at block/offset, or null.
const reg_desc* fpga_register_at(fpga_block block, uint32_t offset);

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
// Copies `bytes` (a multiple of 4) from the start of the fifo or codec block.
void fifo_read(void* dst, const volatile uint32_t* port, size_t bytes);
void table_write32(volatile int32_t* table, uint32_t index, int32_t value);
void table_write16(volatile int16_t* table, uint32_t index, int16_t value);

// Phase increment of the receive/transmit oscillators for f Hz
// (122.88 MHz clock, 30-bit phase).
uint32_t phase_increment(double hz);
// Phase increment of the sidetone oscillator (48 kHz, 30-bit phase).
uint32_t sidetone_increment(double hz);
