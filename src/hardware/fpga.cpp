#include "hardware/fpga.h"

#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "common/bytes.h"

const fpga_block_desc fpga_blocks[fpga_block_count] = {
    {"cfg", 0x40000000u, 1},     {"sts", 0x41000000u, 1},      {"fifo", 0x42000000u, 8},
    {"codec", 0x43000000u, 2},   {"xadc", 0x44000000u, 1},     {"alex", 0x45000000u, 1},
    {"tx_ramp", 0x46000000u, 1}, {"dac_ramp", 0x47000000u, 1},
};

volatile uint8_t* fpga_base[fpga_block_count];
uint32_t fpga_size[fpga_block_count];

volatile uint8_t* cfg;
volatile uint8_t* sts;
volatile uint32_t* fifo;
volatile uint32_t* codec;
volatile uint32_t* xadc;
volatile uint32_t* alex;
volatile int32_t* tx_ramp;
volatile int16_t* dac_ramp;

volatile uint8_t* rx_rst;
volatile uint8_t* lo_rst;
volatile uint8_t* tx_rst;
volatile uint8_t* gpio_out;
volatile uint16_t* rx_rate;
volatile uint8_t* arg_bits_lo;
volatile uint32_t* rx_freq;
volatile uint32_t* tx_freq;
volatile uint16_t* tx_ramp_steps;
volatile uint16_t* tx_level;
volatile uint16_t* cfg_word_28;
volatile uint8_t* arg_bits_hi;
volatile uint32_t* dac_freq;
volatile uint16_t* dac_ramp_steps;
volatile uint16_t* dac_level;

const volatile uint16_t* rx_cntr;
const volatile uint16_t* tx_cntr;
const volatile uint16_t* dac_cntr;
const volatile uint16_t* adc_cntr;
const volatile uint8_t* gpio_in;

const fpga_observer* fpga_obs;

const reg_desc* fpga_register_at(fpga_block block, uint32_t offset) {
  for (const reg_desc& r : fpga_registers)
    if (r.block == block && r.offset == offset) return &r;
  return nullptr;
}

namespace {

// Points p at register R; its type must have the register's width, and be
// const exactly for the status registers.
template <reg R, class T>
void point(T*& p) {
  constexpr const reg_desc& d = reg_info(R);
  static_assert(sizeof(T) == d.width, "pointer width differs from the register's");
  static_assert(std::is_const_v<T> == (d.access == reg_access::read),
                "status registers, and only they, are reached through const pointers");
  p = reinterpret_cast<T*>(fpga_base[static_cast<int>(d.block)] + d.offset);
}

}  // namespace

void fpga_set_pointers() {
  cfg = fpga_base[static_cast<int>(fpga_block::cfg)];
  sts = fpga_base[static_cast<int>(fpga_block::sts)];
  fifo = reinterpret_cast<volatile uint32_t*>(fpga_base[static_cast<int>(fpga_block::fifo)]);
  codec = reinterpret_cast<volatile uint32_t*>(fpga_base[static_cast<int>(fpga_block::codec)]);
  xadc = reinterpret_cast<volatile uint32_t*>(fpga_base[static_cast<int>(fpga_block::xadc)]);
  alex = reinterpret_cast<volatile uint32_t*>(fpga_base[static_cast<int>(fpga_block::alex)]);
  tx_ramp = reinterpret_cast<volatile int32_t*>(fpga_base[static_cast<int>(fpga_block::tx_ramp)]);
  dac_ramp = reinterpret_cast<volatile int16_t*>(fpga_base[static_cast<int>(fpga_block::dac_ramp)]);

  point<reg::rx_rst>(rx_rst);
  point<reg::lo_rst>(lo_rst);
  point<reg::tx_rst>(tx_rst);
  point<reg::gpio_out>(gpio_out);
  point<reg::rx_rate>(rx_rate);
  point<reg::arg_bits_lo>(arg_bits_lo);
  point<reg::rx_freq0>(rx_freq);
  point<reg::tx_freq>(tx_freq);
  point<reg::tx_ramp_steps>(tx_ramp_steps);
  point<reg::tx_level>(tx_level);
  point<reg::cfg_word_28>(cfg_word_28);
  point<reg::arg_bits_hi>(arg_bits_hi);
  point<reg::dac_freq>(dac_freq);
  point<reg::dac_ramp_steps>(dac_ramp_steps);
  point<reg::dac_level>(dac_level);
  point<reg::rx_cntr>(rx_cntr);
  point<reg::tx_cntr>(tx_cntr);
  point<reg::dac_cntr>(dac_cntr);
  point<reg::adc_cntr>(adc_cntr);
  point<reg::gpio_in>(gpio_in);
}

void fpga_clear_pointers() {
  for (auto& b : fpga_base) b = nullptr;
  for (auto& s : fpga_size) s = 0;
  cfg = sts = nullptr;
  fifo = codec = xadc = alex = nullptr;
  tx_ramp = nullptr;
  dac_ramp = nullptr;
  rx_rst = lo_rst = tx_rst = gpio_out = arg_bits_lo = arg_bits_hi = nullptr;
  gpio_in = nullptr;
  rx_rate = tx_ramp_steps = tx_level = cfg_word_28 = dac_ramp_steps = dac_level = nullptr;
  rx_cntr = tx_cntr = dac_cntr = adc_cntr = nullptr;
  rx_freq = tx_freq = dac_freq = nullptr;
}

namespace {

// Finds the block and offset of a device address (observer path only).
bool locate(const volatile void* p, fpga_block* block, uint32_t* offset) {
  auto a = reinterpret_cast<uintptr_t>(p);
  for (int i = 0; i < fpga_block_count; ++i) {
    auto base = reinterpret_cast<uintptr_t>(fpga_base[i]);
    if (fpga_base[i] && a >= base && a - base < fpga_size[i]) {
      *block = static_cast<fpga_block>(i);
      *offset = static_cast<uint32_t>(a - base);
      return true;
    }
  }
  return false;
}

inline void notify_store(const volatile void* p, unsigned width, uint32_t value) {
  const fpga_observer* o = fpga_obs;
  if (!o || !o->store) return;
  fpga_block b;
  uint32_t off;
  if (locate(p, &b, &off)) o->store(o->ctx, b, off, width, value);
}

inline uint32_t observe_load(const volatile void* p, unsigned width, uint32_t memory) {
  const fpga_observer* o = fpga_obs;
  if (!o || !o->load) return memory;
  fpga_block b;
  uint32_t off;
  if (!locate(p, &b, &off)) return memory;
  return o->load(o->ctx, b, off, width, memory);
}

}  // namespace

uint8_t read8(const volatile uint8_t* reg) {
  return static_cast<uint8_t>(observe_load(reg, 1, *reg));
}
uint16_t read16(const volatile uint16_t* reg) {
  return static_cast<uint16_t>(observe_load(reg, 2, *reg));
}
uint32_t read32(const volatile uint32_t* reg) {
  return observe_load(reg, 4, *reg);
}

void write8(volatile uint8_t* reg, uint8_t value) {
  *reg = value;
  notify_store(reg, 1, value);
}
void write16(volatile uint16_t* reg, uint16_t value) {
  *reg = value;
  notify_store(reg, 2, value);
}
void write32(volatile uint32_t* reg, uint32_t value) {
  *reg = value;
  notify_store(reg, 4, value);
}

#ifndef NDEBUG
namespace {
// Debug build: a read-modify-write is allowed on a read_modify_write
// register, or on memory outside the register map (tables, test blocks).
bool rmw_allowed(const volatile uint8_t* p) {
  for (const reg_desc& r : fpga_registers) {
    const volatile uint8_t* base = fpga_base[static_cast<int>(r.block)];
    if (base && p == base + r.offset) return r.access == reg_access::read_modify_write;
  }
  return true;
}
}  // namespace
#endif

void set_bits8(volatile uint8_t* reg, uint8_t mask) {
  assert(rmw_allowed(reg));
  write8(reg, static_cast<uint8_t>(read8(reg) | mask));
}
void clear_bits8(volatile uint8_t* reg, uint8_t mask) {
  assert(rmw_allowed(reg));
  write8(reg, static_cast<uint8_t>(read8(reg) & ~mask));
}
void pulse8(volatile uint8_t* reg, uint8_t mask) {
  clear_bits8(reg, mask);
  set_bits8(reg, mask);
}

void fifo_write(volatile uint32_t* port, uint32_t word) {
  *port = word;
  notify_store(port, 4, word);
}

namespace {

// The word of the four bytes at p as they stand (one load where the target
// allows unaligned loads).
inline uint32_t word_at(const uint8_t* p) {
  if constexpr (std::endian::native != std::endian::little) return wire_word(p);
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// The runs of FIFO words are written by one loop each, made twice: with an
// observer that sees every store (announced as fifo_write announces it), and
// without, where nothing but the store is done per word.
bool observed(const volatile uint32_t* port) {
  const fpga_observer* o = fpga_obs;
  if (!o || !o->store) return false;
  fpga_block b;
  uint32_t off;
  return locate(port, &b, &off);
}

template <bool observe>
inline void store_word(volatile uint32_t* port, uint32_t word) {
  *port = word;
  if constexpr (observe) notify_store(port, 4, word);
}

template <bool observe>
void write_zeros(volatile uint32_t* port, unsigned count) {
  unsigned k = count;
  for (; k >= 4; k -= 4) {
    store_word<observe>(port, 0);
    store_word<observe>(port, 0);
    store_word<observe>(port, 0);
    store_word<observe>(port, 0);
  }
  for (; k > 0; --k) store_word<observe>(port, 0);
}

template <bool observe>
void write_pairs(volatile uint32_t* port, const uint8_t* first, const uint8_t* second,
                 unsigned count, size_t stride) {
  const uint8_t* const end = second + count * stride;
  if (first) {
    for (; second != end; first += stride, second += stride) {
      store_word<observe>(port, word_at(first));
      store_word<observe>(port, word_at(second));
    }
  } else {
    for (; second != end; second += stride) {
      store_word<observe>(port, 0);
      store_word<observe>(port, word_at(second));
    }
  }
}

template <bool observe>
void write_strided(volatile uint32_t* port, const uint8_t* src, unsigned count, size_t stride) {
  for (const uint8_t* const end = src + count * stride; src != end; src += stride)
    store_word<observe>(port, word_at(src));
}

}  // namespace

void fifo_write_zeros(volatile uint32_t* port, unsigned count) {
  if (observed(port))
    write_zeros<true>(port, count);
  else
    write_zeros<false>(port, count);
}

void fifo_write_pairs(volatile uint32_t* port, const uint8_t* first, const uint8_t* second,
                      unsigned count, size_t stride) {
  if (observed(port))
    write_pairs<true>(port, first, second, count, stride);
  else
    write_pairs<false>(port, first, second, count, stride);
}

void fifo_write_strided(volatile uint32_t* port, const uint8_t* src, unsigned count,
                        size_t stride) {
  if (observed(port))
    write_strided<true>(port, src, count, stride);
  else
    write_strided<false>(port, src, count, stride);
}

void fifo_read(void* dst, const volatile uint32_t* port, size_t bytes) {
  const fpga_observer* o = fpga_obs;
  if (o && o->read_fifo) {
    fpga_block b;
    uint32_t off;
    if (locate(port, &b, &off)) {
      o->read_fifo(o->ctx, b, dst, bytes);
      return;
    }
  }
  // One 32-bit load per word, in address order: each load takes the next
  // word out of the FIFO. Eight words per pass keep the loop's own work out
  // of the words (a batch of sample records is always whole records of eight
  // words; codec runs may end with fewer).
  auto* d = static_cast<uint32_t*>(dst);
  const volatile uint32_t* p = port;
  size_t words = bytes / 4;
  for (; words >= 8; words -= 8, p += 8, d += 8) {
    d[0] = p[0];
    d[1] = p[1];
    d[2] = p[2];
    d[3] = p[3];
    d[4] = p[4];
    d[5] = p[5];
    d[6] = p[6];
    d[7] = p[7];
  }
  for (; words > 0; --words) *d++ = *p++;
}

void table_write32(volatile int32_t* table, uint32_t index, int32_t value) {
  table[index] = value;
  notify_store(table + index, 4, static_cast<uint32_t>(value));
}
void table_write16(volatile int16_t* table, uint32_t index, int16_t value) {
  table[index] = value;
  notify_store(table + index, 2, static_cast<uint16_t>(value));
}

uint32_t phase_increment(double hz) {
  return static_cast<uint32_t>(std::floor(0.5 + hz / 122880000.0 * 1073741824.0));
}
uint32_t sidetone_increment(double hz) {
  return static_cast<uint32_t>(std::floor(0.5 + hz / 48000.0 * 1073741824.0));
}
