// Scene files, input-line scripts and the Morse keying patterns.
#include "sim/sim_scene.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/rows.h"

namespace {

using test_rows::operator<<;

std::vector<uint8_t> units(const std::string& ones_and_zeros) {
  std::vector<uint8_t> v;
  for (char c : ones_and_zeros) v.push_back(c == '1');
  return v;
}

TEST(morse_pattern, e_is_one_dot_then_a_word_space) {
  EXPECT_EQ(sim_morse_pattern("E"), units("10000000"));
}

TEST(morse_pattern, letters_are_three_units_apart_and_dashes_three_units_long) {
  EXPECT_EQ(sim_morse_pattern("ET"), units("1000111"
                                           "0000000"));
  EXPECT_EQ(sim_morse_pattern("A"), units("10111"
                                          "0000000"));
}

TEST(morse_pattern, words_are_seven_units_apart_and_lower_case_and_unknown_are_handled) {
  EXPECT_EQ(sim_morse_pattern("e_t"), units("1"
                                            "0000000"
                                            "111"
                                            "0000000"));
  EXPECT_EQ(sim_morse_pattern("E#T"), sim_morse_pattern("ET"));
  EXPECT_TRUE(sim_morse_pattern("#").empty());
}

// One valid scene plus one change per row.
struct scene_row {
  const char* name;
  std::string text;
  bool valid;
};
class scene_parse : public ::testing::TestWithParam<scene_row> {};

TEST_P(scene_parse, accepts_or_rejects_the_line) {
  sim_scene s;
  std::string error;
  EXPECT_EQ(sim_scene_parse(GetParam().text, &s, &error), GetParam().valid) << error;
  if (!GetParam().valid) {
    EXPECT_NE(error.find("line "), std::string::npos);
  }
}

const std::string base = "noise -110\n7100000 -50 # a steady carrier\n";

INSTANTIATE_TEST_SUITE_P(
    rows, scene_parse,
    ::testing::Values(scene_row{"base", base, true},
                      scene_row{"pattern", base + "7030000 -60 1101 40\n", true},
                      scene_row{"morse", base + "7030000 -60 morse:CQ_DE_X\n", true},
                      scene_row{"blank_and_comments", base + "\n   # nothing\n", true},
                      scene_row{"positive_level", base + "7030000 3\n", false},
                      scene_row{"missing_level", base + "7030000\n", false},
                      scene_row{"negative_frequency", base + "-5 -60\n", false},
                      scene_row{"frequency_beyond_the_clock", base + "70000000 -60\n", false},
                      scene_row{"pattern_with_other_digits", base + "7030000 -60 1201\n", false},
                      scene_row{"morse_of_nothing", base + "7030000 -60 morse:##\n", false},
                      scene_row{"unit_zero", base + "7030000 -60 10 0\n", false},
                      scene_row{"extra_word", base + "7030000 -60 10 40 x\n", false},
                      scene_row{"noise_without_level", base + "noise\n", false},
                      scene_row{"noise_positive", base + "noise 1\n", false},
                      scene_row{"text_level", base + "7030000 loud\n", false}),
    test_rows::row_name);

TEST(scene, a_parsed_carrier_keeps_frequency_level_pattern_and_unit) {
  sim_scene s;
  std::string error;
  ASSERT_TRUE(sim_scene_parse("noise -90\n14020000 -66.5 morse:E 45\n600000 -40\n", &s, &error));
  EXPECT_EQ(s.noise_dbfs, -90);
  ASSERT_EQ(s.carriers.size(), 2u);
  EXPECT_EQ(s.carriers[0].hz, 14020000);
  EXPECT_EQ(s.carriers[0].dbfs, -66.5);
  EXPECT_EQ(s.carriers[0].pattern, units("10000000"));
  EXPECT_EQ(s.carriers[0].unit_ms, 45u);
  EXPECT_TRUE(s.carriers[1].pattern.empty());
  EXPECT_EQ(s.carriers[1].unit_ms, 60u);
}

TEST(scene, the_error_names_the_faulty_line) {
  sim_scene s;
  std::string error;
  EXPECT_FALSE(sim_scene_parse("7100000 -50\n\n7030000 +3\n", &s, &error));
  EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
}

TEST(scene, the_default_scene_has_signals_on_the_hf_bands_and_near_600_khz) {
  const sim_scene s = sim_default_scene();
  auto heard_near = [&](double hz, double width) {
    for (const sim_carrier& c : s.carriers)
      if (c.hz > hz - width && c.hz < hz + width) return true;
    return false;
  };
  for (double band : {1.85e6, 3.6e6, 7.1e6, 10.12e6, 14.1e6, 18.1e6, 21.2e6, 24.9e6, 28.5e6})
    EXPECT_TRUE(heard_near(band, 0.3e6)) << band;
  EXPECT_TRUE(heard_near(600000, 20000));
}

TEST(gpio_script, lines_give_times_and_values_in_decimal_or_hex) {
  std::vector<sim_gpio_step> steps;
  std::string error;
  ASSERT_TRUE(
      sim_gpio_parse("# paddles\n0 0\n1500 0x04\n1520 0 # release\n1520 1\n", &steps, &error))
      << error;
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[1].ms, 1500);
  EXPECT_EQ(steps[1].value, 4);
  EXPECT_EQ(steps[3].value, 1);
}

struct gpio_row {
  const char* name;
  const char* text;
};
class gpio_parse_rejects : public ::testing::TestWithParam<gpio_row> {};

TEST_P(gpio_parse_rejects, the_script) {
  std::vector<sim_gpio_step> steps;
  std::string error;
  EXPECT_FALSE(sim_gpio_parse(GetParam().text, &steps, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(rows, gpio_parse_rejects,
                         ::testing::Values(gpio_row{"time_going_back", "10 1\n5 0\n"},
                                           gpio_row{"value_too_large", "0 0\n10 256\n"},
                                           gpio_row{"negative_time", "0 0\n-1 0\n"},
                                           gpio_row{"missing_value", "0 0\n10\n"},
                                           gpio_row{"three_words", "0 0\n10 1 2\n"}),
                         test_rows::row_name);

}  // namespace
