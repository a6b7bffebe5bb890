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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "common/field.h"

// The blocks, in the order of their physical addresses: name, physical
// address on the board, mapping length in pages and the element type of the
// block pointer. The alex block is one register, reached through its
// register pointer alone.
// clang-format off
#define FPGA_BLOCKS(BLOCK, ONE_REGISTER)                                                           \
  BLOCK(cfg,          0x40000000u, 1, uint8_t)  /* settings (registers below) */                   \
  BLOCK(sts,          0x41000000u, 1, uint8_t)  /* status (registers below) */                     \
  BLOCK(fifo,         0x42000000u, 8, uint32_t) /* receive FIFO loads, transmit FIFO stores */     \
  BLOCK(codec,        0x43000000u, 2, uint32_t) /* microphone FIFO loads, audio-out stores */      \
  BLOCK(xadc,         0x44000000u, 1, uint32_t) /* XADC words */                                   \
  ONE_REGISTER(alex,  0x45000000u, 1)                                                              \
  BLOCK(tx_ramp,      0x46000000u, 1, int32_t)  /* transmit envelope table */                      \
  BLOCK(dac_ramp,     0x47000000u, 1, int16_t)  /* sidetone envelope table */
// clang-format on

#define FPGA_BLOCK_NAME(name, ...) name,
enum class fpga_block : uint8_t { FPGA_BLOCKS(FPGA_BLOCK_NAME, FPGA_BLOCK_NAME) };
#undef FPGA_BLOCK_NAME
#define FPGA_BLOCK_ONE(...) +1
constexpr int fpga_block_count = 0 FPGA_BLOCKS(FPGA_BLOCK_ONE, FPGA_BLOCK_ONE);
#undef FPGA_BLOCK_ONE

struct fpga_block_desc {
  const char* name;
  uint32_t phys;   // physical address on the board
  uint32_t pages;  // mapping length in pages
};
#define FPGA_BLOCK_ROW(name, phys, pages, ...) {#name, phys, pages},
inline constexpr fpga_block_desc fpga_blocks[fpga_block_count] = {
    FPGA_BLOCKS(FPGA_BLOCK_ROW, FPGA_BLOCK_ROW)};
#undef FPGA_BLOCK_ROW

// Mapped base of each block, indexed by fpga_block; null until mapped.
extern volatile uint8_t* fpga_base[fpga_block_count];
extern uint32_t fpga_size[fpga_block_count];  // bytes mapped

#define FPGA_NONE(...)

// Block pointers: the mapped base of each block, as the other modules name
// it; null until mapped.
#define FPGA_BLOCK_POINTER(name, phys, pages, type) extern volatile type* name;
FPGA_BLOCKS(FPGA_BLOCK_POINTER, FPGA_NONE)
#undef FPGA_BLOCK_POINTER

// The register map: every register of the cfg, sts and alex blocks, written
// once, here. The register enum and table, the pointers and their set-up,
// the lookup by address (the simulated board's decoding, trace names, test
// doubles) all come from this list. Columns: name (the FPGA's, as traced),
// element type, block, byte offset, number of elements (an array of words,
// traced as name[i]), access:
//   W    whole stores only (the main thread's settings)
//   RMW  byte registers whose bits several callers set and clear with
//        set_bits8/clear_bits8/pulse8
//   R    status, loaded only; their pointers are const
// clang-format off
#define FPGA_REGISTERS(X)                                                                          \
  X(rx_rst,         uint8_t,  cfg,   0, 1, RMW) /* receive / codec FIFO restart, no codec */       \
  X(lo_rst,         uint8_t,  cfg,   1, 1, RMW) /* oscillator restart */                           \
  X(tx_rst,         uint8_t,  cfg,   2, 1, RMW) /* transmit control (keyer's after start-up) */    \
  X(gpio_out,       uint8_t,  cfg,   3, 1, W)   /* output lines, bit 0 MOX */                      \
  X(rx_rate,        uint16_t, cfg,   4, 1, W)   /* rx_rate_clock_hz / receive rate in Hz */        \
  X(arg_bits_lo,    uint8_t,  cfg,   6, 1, W)   /* argument mask bits 0-3 */                       \
  X(rx_freq,        uint32_t, cfg,   8, 3, W)   /* receivers 1..3 phase increments */              \
  X(tx_freq,        uint32_t, cfg,  20, 1, W)   /* transmit phase increment */                     \
  X(tx_ramp_steps,  uint16_t, cfg,  24, 1, W)   /* transmit envelope length */                     \
  X(tx_level,       uint16_t, cfg,  26, 1, W)   /* drive level (signed 16-bit value) */            \
  X(cfg_word_28,    uint16_t, cfg,  28, 1, W)   /* start-up sets 18716; never read */               \
  X(arg_bits_hi,    uint8_t,  cfg,  30, 1, W)   /* argument mask bits 4-5 */                       \
  X(dac_freq,       uint32_t, cfg,  32, 1, W)   /* sidetone phase increment (codec) */             \
  X(dac_ramp_steps, uint16_t, cfg,  36, 1, W)   /* sidetone envelope length */                     \
  X(dac_level,      uint16_t, cfg,  38, 1, W)   /* sidetone level x 64 (codec) */                  \
  X(rx_cntr,        uint16_t, sts,   0, 1, R)   /* receive FIFO fill, 32-bit words */              \
  X(tx_cntr,        uint16_t, sts,   2, 1, R)   /* transmit FIFO fill, words */                    \
  X(dac_cntr,       uint16_t, sts,   4, 1, R)   /* codec audio-out FIFO fill, words */             \
  X(adc_cntr,       uint16_t, sts,   6, 1, R)   /* codec microphone FIFO fill, words */            \
  X(gpio_in,        uint8_t,  sts,   8, 1, R)   /* input lines */                                  \
  X(alex,           uint32_t, alex,  0, 1, W)   /* Alex filter board word */
// clang-format on

enum class reg_access : uint8_t { write, read_modify_write, read };

#define FPGA_REG_NAME(name, ...) name,
enum class reg : uint8_t { FPGA_REGISTERS(FPGA_REG_NAME) };
#undef FPGA_REG_NAME

// A register pointer: const exactly for the status registers.
template <class T, reg_access A>
using reg_pointer = std::conditional_t<A == reg_access::read, const volatile T*, volatile T*>;

namespace reg_map {
constexpr auto W = reg_access::write, RMW = reg_access::read_modify_write, R = reg_access::read;

// One row of the list.
struct row {
  const char* name;
  fpga_block block;
  uint16_t offset;  // bytes, of the first element
  uint8_t width;    // bytes: 1, 2 or 4
  uint8_t count;    // elements
  reg_access access;
};
#define FPGA_REG_ROW(name, type, block, offset, count, access) \
  {#name, fpga_block::block, offset, sizeof(type), count, access},
inline constexpr row rows[] = {FPGA_REGISTERS(FPGA_REG_ROW)};
#undef FPGA_REG_ROW
}  // namespace reg_map

// Register pointers into the mapped blocks; null until mapped. rx_freq
// points at rx_freq[0] of receivers 1..3.
#define FPGA_REG_POINTER(name, type, block, offset, count, access) \
  extern reg_pointer<type, reg_map::access> name;
FPGA_REGISTERS(FPGA_REG_POINTER)
#undef FPGA_REG_POINTER

constexpr const reg_map::row& reg_info(reg r) {
  return reg_map::rows[static_cast<size_t>(r)];
}
// Byte offset of the register (of its first element) in its block.
constexpr uint16_t reg_offset(reg r) {
  return reg_info(r).offset;
}

// One register as an access finds it: a row, or one element of an array row.
struct fpga_register {
  reg id;
  uint8_t element;  // 0 but in an array
  fpga_block block;
  uint16_t offset;  // bytes
  uint8_t width;    // bytes
  reg_access access;
  char name[16];  // as traced: the row's name, or "rx_freq[1]" for an element
};

namespace reg_map {
constexpr int element_count() {
  int n = 0;
  for (const row& r : rows) n += r.count;
  return n;
}
// Bytes at the start of a block that the lookup covers: up to the end of
// the last register.
constexpr uint32_t span() {
  uint32_t end = 0;
  for (const row& r : rows) end = std::max<uint32_t>(end, r.offset + r.width * r.count);
  return end;
}
struct map {
  fpga_register regs[element_count()];
  // Element index + 1 of the register at [block][byte offset], 0 for none.
  uint8_t at[fpga_block_count][span()];
};
constexpr map build() {
  map m{};
  int k = 0;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const row& r = rows[i];
    for (int e = 0; e < r.count; ++e, ++k) {
      fpga_register& d = m.regs[k];
      d.id = static_cast<reg>(i);
      d.element = static_cast<uint8_t>(e);
      d.block = r.block;
      d.offset = static_cast<uint16_t>(r.offset + e * r.width);
      d.width = r.width;
      d.access = r.access;
      int n = 0;
      for (const char* c = r.name; *c; ++c) d.name[n++] = *c;
      if (r.count > 1) {
        d.name[n++] = '[';
        d.name[n++] = static_cast<char>('0' + e);
        d.name[n++] = ']';
      }
      m.at[static_cast<int>(r.block)][d.offset] = static_cast<uint8_t>(k + 1);
    }
  }
  return m;
}
inline constexpr map the_map = build();

// Every register aligned to its width, no two overlapping, element names of
// one digit.
constexpr bool well_placed() {
  for (const row& r : rows)
    if (r.count > 10) return false;
  for (const fpga_register& a : the_map.regs) {
    if (a.offset % a.width != 0) return false;
    for (const fpga_register& b : the_map.regs)
      if (&a != &b && a.block == b.block && a.offset < b.offset + b.width &&
          b.offset < a.offset + a.width)
        return false;
  }
  return true;
}
static_assert(element_count() < 255 && well_placed());
}  // namespace reg_map

inline constexpr const auto& fpga_registers = reg_map::the_map.regs;

// The register at block/offset (its first byte), or null; an index, no search.
constexpr const fpga_register* fpga_register_at(fpga_block block, uint32_t offset) {
  if (offset >= reg_map::span()) return nullptr;
  const uint8_t k = reg_map::the_map.at[static_cast<int>(block)][offset];
  return k ? &fpga_registers[k - 1] : nullptr;
}

// The block and byte offset of a mapped device address; false outside the
// blocks. No search: fpga_set_pointers indexes the 4 KB pieces of a 1 MB
// window that holds every mapped block (the simulated board's blocks are one
// array). Blocks mapped farther apart (the board's own, never observed) are
// not indexed, and nothing is found in them.
bool fpga_locate(const volatile void* p, fpga_block* block, uint32_t* offset);

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

// Clocks. The oscillators run at 122.88 MHz with a 30-bit phase; rx_rate
// divides a quarter of that clock down to the receive sample rate; the codec,
// the sidetone oscillator and the transmit FIFO run at 48 kHz.
constexpr uint32_t fpga_clock_hz = 122880000;
constexpr double phase_turn = 1 << 30;  // phase increment of one turn per clock
constexpr uint32_t rx_rate_clock_hz = fpga_clock_hz / 4;
constexpr uint32_t audio_rate_hz = 48000;
// rx_rate for the receive rates 48 kHz x 2^code, codes 0..3.
constexpr uint16_t rx_rate_divider[4] = {
    rx_rate_clock_hz / audio_rate_hz, rx_rate_clock_hz / (2 * audio_rate_hz),
    rx_rate_clock_hz / (4 * audio_rate_hz), rx_rate_clock_hz / (8 * audio_rate_hz)};

// Phase increment of the receive/transmit oscillators for hz >= 0, rounded
// to the nearest step.
constexpr uint32_t phase_increment(double hz) {
  return static_cast<uint32_t>(0.5 + hz / fpga_clock_hz * phase_turn);
}
// Phase increment of the sidetone oscillator, hz >= 0.
constexpr uint32_t sidetone_increment(double hz) {
  return static_cast<uint32_t>(0.5 + hz / audio_rate_hz * phase_turn);
}

// FIFO geometry: depths in 32-bit words. The receive FIFO takes one record
// of eight words per sample instant and holds 1024 records, the 32 KB window
// of the fifo block.
constexpr uint32_t rx_record_bytes = 32;
constexpr uint32_t rx_fifo_words = 8192;
constexpr uint32_t tx_fifo_words = 4096;
constexpr uint32_t dac_fifo_words = 2048;
constexpr uint32_t adc_fifo_words = 2048;

// tx_level, the drive word: 85.92 per step of the client's drive level
// (0..255), rounded; the drive word at full drive level is 21910.
constexpr double tx_level_per_drive = 85.92;
constexpr uint16_t tx_level_full_drive = static_cast<uint16_t>(255 * tx_level_per_drive + 0.5);
