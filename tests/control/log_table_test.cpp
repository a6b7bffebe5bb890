// The drive attenuation table: drive level 0..255 to whole dB, 63 at most.
#include "control/log_table.h"

#include <gtest/gtest.h>

#include <cstring>

#include "control/state.h"

namespace {

class attenuation_table : public testing::Test {
 protected:
  void SetUp() override {
    std::memset(drive_db_table, 0xAA, sizeof drive_db_table);
    fill_drive_db_table();
  }
};

struct level_row {
  int first;
  int last;
  int db;
};
std::ostream& operator<<(std::ostream& os, const level_row& r) {
  return os << "levels " << r.first << ".." << r.last << " -> " << r.db << " dB";
}

class attenuation_of_level : public attenuation_table,
                             public testing::WithParamInterface<level_row> {};

TEST_P(attenuation_of_level, converts_to_the_required_attenuation) {
  for (int i = GetParam().first; i <= GetParam().last; ++i)
    EXPECT_EQ(drive_db_table[i], GetParam().db) << "level " << i;
}

INSTANTIATE_TEST_SUITE_P(
    telling_rows, attenuation_of_level,
    testing::Values(level_row{0, 6, 63}, level_row{7, 7, 62}, level_row{8, 8, 60},
                    level_row{10, 10, 56}, level_row{16, 16, 48}, level_row{25, 25, 40},
                    level_row{32, 32, 36}, level_row{50, 50, 28}, level_row{64, 64, 24},
                    level_row{100, 100, 16}, level_row{128, 128, 11}, level_row{180, 180, 6},
                    level_row{200, 200, 4}, level_row{228, 228, 1}, level_row{240, 240, 1},
                    level_row{241, 255, 0}),
    [](const testing::TestParamInfo<level_row>& i) {
      return "level_" + std::to_string(i.param.first) +
             (i.param.first == i.param.last ? "" : "_to_" + std::to_string(i.param.last));
    });

TEST_F(attenuation_table, never_rises_as_the_level_grows) {
  for (int i = 1; i < 256; ++i) ASSERT_LE(drive_db_table[i], drive_db_table[i - 1]) << i;
}

TEST_F(attenuation_table, truncates_toward_zero_rather_than_rounding) {
  // -40 log10(9 / 255) = 58.05 and -40 log10(11 / 255) = 54.61.
  EXPECT_EQ(drive_db_table[9], 58);
  EXPECT_EQ(drive_db_table[11], 54);
}

}  // namespace
