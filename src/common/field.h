// Bit fields of packed words: one name per field, read and written through
// field_get and field_put.
//
// A field is a mask: a nonzero, contiguous run of bits of a 32-bit word,
// checked when the field is made (the constructor is consteval, so a mask
// that is zero or has a gap does not compile, and every field is a compile
// time constant):
//
//   constexpr bit_field receivers{0x38};   // bits 3..5
//   field_get(receivers, 0x1A) == 3        // (0x1A & 0x38) >> 3
//   field_put(receivers, 3) == 0x18        // (3 << 3) & 0x38
//
// field_get takes the field out of a word, shifted down to bit 0. field_put
// shifts a value up into the field's place; at run time bits of the value
// beyond the field's width are dropped, and in a constant expression a value
// that does not fit fails to compile (write constant words as constexpr to
// get the check).
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

struct bit_field {
  uint32_t mask;

  consteval bit_field(uint32_t m) : mask(m) {
    // Throwing here ends the constant evaluation: the mask does not compile.
    if (m == 0) throw "a bit field needs at least one bit";
    const uint32_t low = m >> std::countr_zero(m);
    if ((low & (low + 1)) != 0) throw "a bit field is one contiguous run of bits";
  }

  constexpr unsigned shift() const { return static_cast<unsigned>(std::countr_zero(mask)); }
  constexpr unsigned width() const { return static_cast<unsigned>(std::popcount(mask)); }
  // The largest value the field holds.
  constexpr uint32_t max() const { return mask >> shift(); }
};

constexpr uint32_t field_get(bit_field f, uint32_t word) {
  return (word & f.mask) >> f.shift();
}

constexpr uint32_t field_put(bit_field f, uint32_t value) {
  if (std::is_constant_evaluated() && value > f.max()) throw "value does not fit the bit field";
  return (value << f.shift()) & f.mask;
}
