// The command line: six arguments, each 1 or 2 as strtol reads it, folded
// into the mask that start-up writes into cfg bytes 6 and 30.
#include <climits>
#include <string>
#include <vector>

#include "startup_harness.h"
#include "support/rows.h"

namespace {

using test_platform::calls;

using test_rows::operator<<;

const char usage[] = "Usage: varnholt 1|2 1|2 1|2 1|2 1|2 1|2\n";

// One argument of the all-ones base line replaced by `text`.
struct argument_row {
  const char* label;
  int position;  // 1..6
  std::string text;
  bool accepted;
  uint8_t mask;  // when accepted
};

std::ostream& operator<<(std::ostream& os, const argument_row& r) {
  return os << r.label << ": argument " << r.position << " = \"" << r.text << "\"";
}

std::vector<argument_row> argument_rows() {
  return {
      {"base_one", 1, "1", true, 0x00},
      {"two_first", 1, "2", true, 0x01},
      {"two_last", 6, "2", true, 0x20},
      {"trailing_letter_after_one", 1, "1x", true, 0x00},
      {"trailing_letter_after_two", 3, "2x", true, 0x04},
      {"leading_blank", 2, " 2", true, 0x02},
      {"leading_tab", 2, "\t2", true, 0x02},
      {"trailing_blank", 4, "2 ", true, 0x08},
      {"plus_sign", 5, "+2", true, 0x10},
      {"leading_zero", 6, "02", true, 0x20},
      {"empty", 3, "", false, 0},
      {"blank_only", 3, " ", false, 0},
      {"zero", 1, "0", false, 0},
      {"three", 2, "3", false, 0},
      {"minus_one", 3, "-1", false, 0},
      {"hexadecimal_two", 4, "0x2", false, 0},
      {"letters", 5, "x2", false, 0},
      {"overflow", 6, "99999999999999999999999", false, 0},
      {"negative_overflow", 6, "-99999999999999999999999", false, 0},
      {"largest_long", 1, std::to_string(LONG_MAX), false, 0},
      {"smallest_long", 1, std::to_string(LONG_MIN), false, 0},
      {"one_more_than_two_unsigned", 1, std::to_string(ULONG_MAX), false, 0},
  };
}

class argument_check : public testing::TestWithParam<argument_row> {};

TEST_P(argument_check, accepts_exactly_the_texts_strtol_reads_as_one_or_two) {
  const argument_row& r = GetParam();
  std::vector<std::string> texts{"varnholt", "1", "1", "1", "1", "1", "1"};
  texts[r.position] = r.text;
  std::vector<char*> argv;
  for (auto& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);

  uint8_t mask = 0xFF;
  const bool accepted = parse_arguments(7, argv.data(), &mask);

  EXPECT_EQ(accepted, r.accepted);
  if (r.accepted) {
    EXPECT_EQ(mask, r.mask);
  }
}

INSTANTIATE_TEST_SUITE_P(each_text, argument_check, testing::ValuesIn(argument_rows()),
                         test_rows::row_name);

TEST(argument_count, anything_but_six_arguments_is_rejected) {
  std::string t[8] = {"varnholt", "1", "1", "1", "1", "1", "1", "1"};
  char* argv[9] = {t[0].data(), t[1].data(), t[2].data(), t[3].data(), t[4].data(),
                   t[5].data(), t[6].data(), t[7].data(), nullptr};
  uint8_t mask = 0;
  for (int argc : {0, 1, 2, 5, 6, 8}) {
    char* saved = argv[argc];
    argv[argc] = nullptr;
    EXPECT_FALSE(parse_arguments(argc, argv, &mask)) << argc - 1 << " arguments";
    argv[argc] = saved;
  }
  EXPECT_TRUE(parse_arguments(7, argv, &mask));
}

TEST(argument_check_order, no_argument_after_the_first_rejected_one_is_read) {
  // A later argument that would crash strtol shows that it was looked at.
  std::string bad = "3";
  std::string prog = "varnholt";
  char* argv[8] = {prog.data(), bad.data(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  uint8_t mask = 0;
  EXPECT_FALSE(parse_arguments(7, argv, &mask));
}

// Start-up with a wrong command line: the usage text and status 1, and
// nothing opened or written.
struct command_line_row {
  const char* label;
  std::vector<std::string> args;
};

class wrong_command_line : public startup_fixture,
                           public testing::WithParamInterface<command_line_row> {};

TEST_P(wrong_command_line, prints_the_usage_text_and_fails_before_opening_any_device) {
  const harness::outcome o = harness::run_startup(GetParam().args);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, usage);
  EXPECT_TRUE(calls.opens.empty());
  EXPECT_TRUE(calls.mmaps.empty());
  EXPECT_EQ(calls.sockets, 0);
  EXPECT_TRUE(board.rec.stores.empty());
  EXPECT_TRUE(sim_i2c_log.empty());
}

INSTANTIATE_TEST_SUITE_P(
    each_line, wrong_command_line,
    testing::Values(command_line_row{"no_arguments", {}},
                    command_line_row{"five_arguments", {"1", "2", "1", "2", "1"}},
                    command_line_row{"seven_arguments", {"1", "2", "1", "2", "1", "2", "1"}},
                    command_line_row{"three_in_last_place", {"1", "2", "1", "2", "1", "3"}},
                    command_line_row{"empty_argument", {"1", "", "1", "2", "1", "2"}},
                    command_line_row{"hexadecimal", {"0x2", "2", "1", "2", "1", "2"}},
                    command_line_row{"overflow",
                                     {"1", "2", "1", "2", "1", "99999999999999999999"}}),
    test_rows::row_name);

// The mask lands in arg_bits_lo (cfg byte 6, mask bits 0-3) and arg_bits_hi
// (cfg byte 30, mask bits 4-5) as the first two stores of start-up.
struct mask_row {
  const char* label;
  std::vector<std::string> args;
  uint8_t byte6;
  uint8_t byte30;
};

class argument_mask : public startup_fixture, public testing::WithParamInterface<mask_row> {};

TEST_P(argument_mask, is_split_over_cfg_bytes_6_and_30) {
  const mask_row& r = GetParam();
  const harness::outcome o = harness::run_startup(r.args);
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_GE(board.rec.stores.size(), 2u);
  EXPECT_EQ(board.rec.stores[0], (recorded_store{fpga_block::cfg, 6, 1, r.byte6}));
  EXPECT_EQ(board.rec.stores[1], (recorded_store{fpga_block::cfg, 30, 1, r.byte30}));
  EXPECT_EQ(cfg[6], r.byte6);
  EXPECT_EQ(cfg[30], r.byte30);
  EXPECT_EQ(board.rec.values_of(fpga_block::cfg, 7).size(), 0u);
  EXPECT_EQ(board.rec.values_of(fpga_block::cfg, 31).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    each_mask, argument_mask,
    testing::Values(mask_row{"alternating_0x2A", {"1", "2", "1", "2", "1", "2"}, 0x0A, 0x02},
                    mask_row{"all_twos_0x3F", {"2", "2", "2", "2", "2", "2"}, 0x0F, 0x03},
                    mask_row{"all_ones_0", {"1", "1", "1", "1", "1", "1"}, 0x00, 0x00},
                    mask_row{"first_only_0x01", {"2", "1", "1", "1", "1", "1"}, 0x01, 0x00},
                    mask_row{"fifth_only_0x10", {"1", "1", "1", "1", "2", "1"}, 0x00, 0x01},
                    mask_row{"sixth_only_0x20", {"1", "1", "1", "1", "1", "2"}, 0x00, 0x02}),
    test_rows::row_name);

}  // namespace
