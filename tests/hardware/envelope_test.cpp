// The keying envelopes: running sums of a Blackman-Harris window accumulated
// in single precision. The values below are the required ones; accumulating
// in double precision or fusing multiply-adds changes hundreds of entries.
#include "hardware/envelope.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

struct table {
  std::vector<int32_t> entries;
  float sum = 0;
  float scale = 0;
};

table compute(int steps, int32_t peak) {
  table t;
  t.entries.assign(static_cast<size_t>(steps) + 1, -1);
  envelope_compute(steps, static_cast<float>(peak), t.entries.data(), &t.sum, &t.scale);
  return t;
}

const table& transmit() {
  static const table t = compute(tx_ramp_steps_count, tx_ramp_peak);
  return t;
}
const table& sidetone() {
  static const table t = compute(dac_ramp_steps_count, dac_ramp_peak);
  return t;
}

struct entry_row {
  const char* table_name;
  int index;
  int32_t value;
};
std::ostream& operator<<(std::ostream& os, const entry_row& r) {
  return os << r.table_name << "[" << r.index << "] = " << r.value;
}

class envelope_entry : public testing::TestWithParam<entry_row> {};

TEST_P(envelope_entry, has_the_required_value) {
  const entry_row& r = GetParam();
  const table& t = std::string(r.table_name) == "tx" ? transmit() : sidetone();
  EXPECT_EQ(t.entries.at(static_cast<size_t>(r.index)), r.value);
}

std::vector<entry_row> entry_rows() {
  std::vector<entry_row> v;
  const int32_t tx_start[11] = {0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  for (int i = 0; i < 11; ++i) v.push_back({"tx", i, tx_start[i]});
  v.push_back({"tx", 250, 144542});
  v.push_back({"tx", 500, 2049962});
  v.push_back({"tx", 750, 3955412});
  const int32_t tx_end[6] = {4099996, 4099997, 4099998, 4099999, 4099999, 4100000};
  for (int i = 0; i < 6; ++i) v.push_back({"tx", 996 + i, tx_end[i]});
  for (int i = 0; i <= 12; ++i) v.push_back({"dac", i, 0});
  v.push_back({"dac", 13, 1});
  v.push_back({"dac", 120, 1133});
  v.push_back({"dac", 240, 16000});
  v.push_back({"dac", 360, 30867});
  v.push_back({"dac", 481, 32000});
  return v;
}

INSTANTIATE_TEST_SUITE_P(telling_entries, envelope_entry, testing::ValuesIn(entry_rows()),
                         [](const testing::TestParamInfo<entry_row>& i) {
                           return std::string(i.param.table_name) + "_" +
                                  std::to_string(i.param.index);
                         });

TEST(transmit_envelope, running_sum_and_scale_are_bit_exact) {
  EXPECT_EQ(bits(transmit().sum), 0x43B38EBFu);
  EXPECT_EQ(transmit().sum, 359.1152038574219f);
  EXPECT_EQ(bits(transmit().scale), 0x463263CCu);
  EXPECT_EQ(transmit().scale, 11416.94921875f);
}

TEST(sidetone_envelope, running_sum_and_scale_are_bit_exact) {
  EXPECT_EQ(bits(sidetone().sum), 0x432C8EF8u);
  EXPECT_EQ(sidetone().sum, 172.5584716796875f);
  EXPECT_EQ(bits(sidetone().scale), 0x433971C3u);
  EXPECT_EQ(sidetone().scale, 185.4443817138672f);
}

TEST(both_envelopes, rise_without_a_dip_from_exactly_zero_to_exactly_the_peak) {
  for (const table* t : {&transmit(), &sidetone()}) {
    EXPECT_EQ(t->entries.front(), 0);
    for (size_t j = 1; j < t->entries.size(); ++j)
      ASSERT_LE(t->entries[j - 1], t->entries[j]) << "entry " << j;
  }
  EXPECT_EQ(transmit().entries.size(), 1002u);
  EXPECT_EQ(transmit().entries.back(), 4100000);
  EXPECT_EQ(sidetone().entries.size(), 482u);
  EXPECT_EQ(sidetone().entries.back(), 32000);
}

TEST(both_envelopes, fill_exactly_steps_plus_one_entries) {
  std::vector<int32_t> out(dac_ramp_steps_count + 3, -7);
  envelope_compute(dac_ramp_steps_count, 32000.0f, out.data());
  EXPECT_EQ(out[dac_ramp_steps_count], 32000);
  EXPECT_EQ(out[dac_ramp_steps_count + 1], -7);
  EXPECT_EQ(out[dac_ramp_steps_count + 2], -7);
}

}  // namespace
