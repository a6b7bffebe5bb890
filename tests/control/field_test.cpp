// Bit fields: the edges of the mask arithmetic (a run up to bit 31, the
// whole word) and what field_put does with a value wider than its field.
#include "common/field.h"

#include <gtest/gtest.h>

namespace {

constexpr bit_field whole{0xFFFFFFFF};
constexpr bit_field top{0x80000000};
constexpr bit_field middle{0x00003F00};

static_assert(whole.shift() == 0 && whole.width() == 32 && whole.max() == 0xFFFFFFFF);
static_assert(top.shift() == 31 && top.max() == 1);
static_assert(field_get(top, 0x80000001) == 1 && field_put(top, 1) == 0x80000000);
static_assert(field_get(middle, 0xFFFF) == 0x3F && field_put(middle, 0x3F) == 0x3F00);
static_assert(field_get(whole, 0xDEADBEEF) == 0xDEADBEEF);

TEST(bit_field, a_value_wider_than_its_field_loses_the_bits_beyond_at_run_time) {
  volatile uint32_t wide = 0x1FF;  // not a constant: the compile-time check does not apply
  EXPECT_EQ(field_put(middle, wide), 0x3F00u);
  EXPECT_EQ(field_put(top, wide), 0x80000000u);
}

}  // namespace
