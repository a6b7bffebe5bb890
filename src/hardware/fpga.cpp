#include "hardware/fpga.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "common/bytes.h"

volatile uint8_t* fpga_base[fpga_block_count];
uint32_t fpga_size[fpga_block_count];

#define FPGA_BLOCK_POINTER(name, phys, pages, type) volatile type* name;
FPGA_BLOCKS(FPGA_BLOCK_POINTER, FPGA_NONE)
#undef FPGA_BLOCK_POINTER
#define FPGA_REG_POINTER(name, type, block, offset, count, access) \
  reg_pointer<type, reg_map::access> name;
FPGA_REGISTERS(FPGA_REG_POINTER)
#undef FPGA_REG_POINTER

const fpga_observer* fpga_obs;

namespace {

// The window of fpga_locate: granule_block[i] is the block + 1 that holds
// the 4 KB piece i from window_base, 0 for none.
constexpr unsigned granule_shift = 12;
constexpr size_t window_granules = 256;
uintptr_t window_base;
uint8_t granule_block[window_granules];

void index_blocks() {
  std::fill(std::begin(granule_block), std::end(granule_block), uint8_t{0});
  uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < fpga_block_count; ++i) {
    const auto base = reinterpret_cast<uintptr_t>(fpga_base[i]);
    if (!base) continue;
    // Two blocks in one piece cannot be told apart.
    if (base & ((uintptr_t{1} << granule_shift) - 1)) return;
    low = std::min(low, base);
    high = std::max(high, base + fpga_size[i]);
  }
  if (high <= low || (high - low) >> granule_shift > window_granules) return;
  window_base = low;
  for (int i = 0; i < fpga_block_count; ++i) {
    const auto base = reinterpret_cast<uintptr_t>(fpga_base[i]);
    if (!base) continue;
    const size_t first = (base - low) >> granule_shift;
    const size_t end =
        (base - low + fpga_size[i] + (uintptr_t{1} << granule_shift) - 1) >> granule_shift;
    for (size_t g = first; g < end; ++g) granule_block[g] = static_cast<uint8_t>(i + 1);
  }
}

}  // namespace

bool fpga_locate(const volatile void* p, fpga_block* block, uint32_t* offset) {
  const uintptr_t from_base = reinterpret_cast<uintptr_t>(p) - window_base;
  const size_t g = from_base >> granule_shift;
  if (g >= window_granules || granule_block[g] == 0) return false;
  const int b = granule_block[g] - 1;
  const uintptr_t off = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(fpga_base[b]);
  if (off >= fpga_size[b]) return false;
  *block = static_cast<fpga_block>(b);
  *offset = static_cast<uint32_t>(off);
  return true;
}

namespace {

template <class T>
T* block_pointer(fpga_block b) {
  return reinterpret_cast<T*>(fpga_base[static_cast<int>(b)]);
}

}  // namespace

void fpga_set_pointers() {
#define FPGA_BLOCK_SET(name, phys, pages, type) \
  name = block_pointer<volatile type>(fpga_block::name);
  FPGA_BLOCKS(FPGA_BLOCK_SET, FPGA_NONE)
#undef FPGA_BLOCK_SET
#define FPGA_REG_SET(name, type, block, offset, count, access) \
  name = reinterpret_cast<reg_pointer<type, reg_map::access>>( \
      fpga_base[static_cast<int>(fpga_block::block)] + offset);
  FPGA_REGISTERS(FPGA_REG_SET)
#undef FPGA_REG_SET
  index_blocks();
}

void fpga_clear_pointers() {
  for (auto& b : fpga_base) b = nullptr;
  for (auto& s : fpga_size) s = 0;
#define FPGA_CLEAR(name, ...) name = nullptr;
  FPGA_BLOCKS(FPGA_CLEAR, FPGA_NONE)
  FPGA_REGISTERS(FPGA_CLEAR)
#undef FPGA_CLEAR
  index_blocks();
}

namespace {

inline void notify_store(const volatile void* p, unsigned width, uint32_t value) {
  const fpga_observer* o = fpga_obs;
  if (!o || !o->store) return;
  fpga_block b;
  uint32_t off;
  if (fpga_locate(p, &b, &off)) o->store(o->ctx, b, off, width, value);
}

inline uint32_t observe_load(const volatile void* p, unsigned width, uint32_t memory) {
  const fpga_observer* o = fpga_obs;
  if (!o || !o->load) return memory;
  fpga_block b;
  uint32_t off;
  if (!fpga_locate(p, &b, &off)) return memory;
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
  fpga_block b;
  uint32_t off;
  const fpga_register* r = fpga_locate(p, &b, &off) ? fpga_register_at(b, off) : nullptr;
  return !r || r->access == reg_access::read_modify_write;
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
  return fpga_locate(port, &b, &off);
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
    if (fpga_locate(port, &b, &off)) {
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
