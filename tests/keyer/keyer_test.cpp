// Tick-exact transcripts of the keyer: tx_rst stores, cw_ptt and
// keyer_owns_tx, with the paddles set per tick on a virtual clock. Unless a
// test says otherwise: speed 25 (dot 48, dash 144), weight 50, delay 0,
// hang 0 (10 ticks), no letter space, mode 1, codec present, sidetone level
// 200, keyer enabled. Tick t is the t-th millisecond after the keyer started.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "keyer_harness.h"
#include "support/rows.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using interval = std::pair<int32_t, int32_t>;

namespace {

using test_rows::operator<<;

class keyer : public keyer_test_base {};

std::vector<int32_t> starts(const std::vector<interval>& v) {
  std::vector<int32_t> s;
  for (const auto& i : v) s.push_back(i.first);
  return s;
}

// One run of the keyer with the settings of the row; each expectation that
// is left empty is not checked: the tx_rst transcript, the key intervals and
// the changes of cw_ptt/keyer_owns_tx.
struct run_row {
  const char* name;
  int32_t ticks;
  std::vector<press> presses;
  int mode = 1, speed = 25, weight = 50, delay = 0, spacing = 0, hang = 0, level = 200;
  bool codec = true, reversed = false;
  void (*hook)(int32_t) = nullptr;
  std::vector<std::string> events{};
  std::vector<interval> key{};
  std::vector<ptt_change> ptt{};
};
class keyer_runs : public keyer_test_base, public ::testing::WithParamInterface<run_row> {};

TEST_P(keyer_runs, follow_the_settings) {
  const run_row& r = GetParam();
  st(cw_mode, r.mode);
  st(cw_speed, r.speed);
  st(cw_weight, r.weight);
  st(cw_delay, r.delay);
  st(cw_spacing, r.spacing);
  st(cw_hang, r.hang);
  st(sidetone_level, r.level);
  set_i2c_has(i2c_accessory::codec, r.codec);
  st(cw_reversed, r.reversed);
  const keyer_run run = run_keyer(r.ticks, r.presses, r.hook);
  if (!r.events.empty()) {
    EXPECT_EQ(run.events, r.events);
  }
  if (!r.key.empty()) {
    EXPECT_EQ(run.intervals(tx_rst_bits::key), r.key);
  }
  if (!r.ptt.empty()) {
    EXPECT_EQ(run.ptt, r.ptt);
  }
}

// Transcripts of a dot pressed at tick 1 and of the straight key held over ticks 1-30.
const auto dot_at_1 = cat({key_on_at(1), {"1 +key", "49 -tone", "49 -key"}, drop_at(59)});
const auto straight_1_to_30 = cat({key_on_at(1), {"1 +key", "30 -tone", "30 -key"}, drop_at(40)});
std::vector<ptt_change> ptt_for(int32_t drop) {
  return {{1, 1, 1}, {drop, 0, 0}};
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_runs,
    ::testing::Values(
        run_row{.name = "single_dot_keys_at_once_and_drops_ptt_in_the_tenth_space_tick",
                .ticks = 300, .presses = {{1, 3, dot_in}}, .spacing = 1, .events = dot_at_1},
        run_row{.name = "rf_delay_20_delays_the_key_and_shortens_the_space_to_28_ticks",
                .ticks = 300, .presses = {{1, 3, dot_in}}, .delay = 20, .spacing = 1,
                .events = cat({key_on_at(1), {"21 +key", "49 -tone", "69 -key"}, drop_at(79)})},
        // RF for 48 + (144 - 100) = 92 ticks.
        run_row{.name = "rf_delay_100_is_capped_at_one_dot_and_shortens_the_dash",
                .ticks = 300, .presses = {{1, 3, dash_in}}, .delay = 100,
                .events = cat({key_on_at(1), {"49 +key", "93 -tone", "141 -key"}, drop_at(151)})},
        run_row{.name = "both_held_alternate_starting_with_the_dot_mode_1",
                .ticks = 540, .presses = {{1, 1000, dot_in | dash_in}},
                .key = {{1, 49}, {97, 241}, {289, 337}, {385, 529}}},
        run_row{.name = "both_held_alternate_starting_with_the_dot_mode_2",
                .ticks = 540, .presses = {{1, 1000, dot_in | dash_in}}, .mode = 2,
                .key = {{1, 49}, {97, 241}, {289, 337}, {385, 529}}},
        run_row{.name = "both_held_alternate_starting_with_the_dot_mode_3",
                .ticks = 540, .presses = {{1, 1000, dot_in | dash_in}}, .mode = 3,
                .key = {{1, 49}, {97, 241}, {289, 337}, {385, 529}}},
        run_row{.name = "reversed_dot_input_is_the_dash_paddle",
                .ticks = 300, .presses = {{1, 3, dot_in}}, .reversed = true, .key = {{1, 145}}},
        run_row{.name = "reversed_dot_input_is_the_straight_key",
                .ticks = 300, .presses = {{1, 30, dot_in}}, .mode = 0, .reversed = true,
                .key = {{1, 30}}},
        run_row{.name = "reversed_dash_input_is_the_timed_dot",
                .ticks = 300, .presses = {{1, 3, dash_in}}, .mode = 0, .reversed = true,
                .key = {{1, 49}}},
        run_row{.name = "straight_key_follows_the_dash_input",
                .ticks = 100, .presses = {{1, 30, dash_in}}, .mode = 0, .events = straight_1_to_30},
        run_row{.name = "straight_key_ignores_the_dot_input",
                .ticks = 100, .presses = {{1, 30, dot_in | dash_in}}, .mode = 0,
                .events = straight_1_to_30},
        run_row{.name = "straight_key_hold_has_no_time_limit_and_no_hang_until_released",
                .ticks = 1600, .presses = {{1, 1500, dash_in}}, .mode = 0, .key = {{1, 1500}},
                .ptt = ptt_for(1510)},
        run_row{.name = "straight_key_with_rf_delay_keys_late_and_releases_late",
                .ticks = 100, .presses = {{1, 30, dash_in}}, .mode = 0, .delay = 20,
                .events = cat({key_on_at(1), {"21 +key", "30 -tone", "50 -key"}, drop_at(60)})},
        run_row{.name = "straight_key_released_while_the_dot_input_stays_gives_a_timed_dot",
                .ticks = 200, .presses = {{1, 30, dot_in | dash_in}, {30, 60, dot_in}}, .mode = 0,
                .key = {{1, 30}, {31, 79}}},
        run_row{.name = "timed_dot_held_gives_dots_each_followed_by_its_space_and_one_idle_tick",
                .ticks = 260, .presses = {{1, 1000, dot_in}}, .mode = 0,
                .key = {{1, 49}, {98, 146}, {195, 243}}},
        run_row{.name = "timed_dot_with_rf_delay_20_keeps_the_key_one_dot_long",
                .ticks = 110, .presses = {{1, 3, dot_in}, {98, 100, dot_in}}, .mode = 0,
                .delay = 20,
                .events = cat({key_on_at(1), {"21 +key", "49 -tone", "69 -key"}, drop_at(79),
                               key_on_at(98)})},
        run_row{.name = "disabling_ends_a_straight_key_hold_at_the_next_tick",
                .ticks = 300, .presses = {{1, 500, dash_in}}, .mode = 0,
                .hook = [](int32_t t) { if (t == 100) st(keyer_enabled, 0); },
                .key = {{1, 100}}, .ptt = ptt_for(110)},
        run_row{.name = "disabling_mid_letter_sends_only_the_element_the_memory_holds",
                .ticks = 400, .presses = {{1, 1000, dot_in | dash_in}}, .mode = 2,
                .hook = [](int32_t t) { if (t == 20) st(keyer_enabled, 0); },
                .key = {{1, 49}, {97, 241}}, .ptt = {{1, 1, 1}, {59, 0, 0}, {97, 1, 1}, {251, 0, 0}}},
        run_row{.name = "disabling_mid_letter_in_mode_1_clears_the_memory_at_the_next_tick",
                .ticks = 400, .presses = {{1, 1000, dot_in | dash_in}},
                .hook = [](int32_t t) { if (t == 20) st(keyer_enabled, 0); }, .key = {{1, 49}}},
        run_row{.name = "without_a_codec_the_sidetone_bit_is_never_written",
                .ticks = 100, .presses = {{1, 3, dot_in}}, .codec = false,
                .events = cat({key_on_at(1, false), {"1 +key", "49 -key"}, drop_at(59)})},
        // Clearing a bit that is clear still stores the byte ("=").
        run_row{.name = "sidetone_level_0_never_sets_the_sidetone_bit_but_still_clears_it",
                .ticks = 100, .presses = {{1, 3, dot_in}}, .level = 0,
                .events = cat({key_on_at(1, false), {"1 +key", "49 =", "49 -key"}, drop_at(59)})},
        // Hang time after the key-up of a single dot at tick 49, counted through
        // the space, the letter space and the idle loop alike; 0 stands for 10.
        run_row{.name = "hang_0", .ticks = 1100, .presses = {{1, 3, dot_in}}, .spacing = 1,
                .ptt = ptt_for(59)},
        run_row{.name = "hang_1", .ticks = 1100, .presses = {{1, 3, dot_in}}, .spacing = 1,
                .hang = 1, .ptt = ptt_for(50)},
        run_row{.name = "hang_10", .ticks = 1100, .presses = {{1, 3, dot_in}}, .spacing = 1,
                .hang = 10, .ptt = ptt_for(59)},
        run_row{.name = "hang_100", .ticks = 1100, .presses = {{1, 3, dot_in}}, .spacing = 1,
                .hang = 100, .ptt = ptt_for(149)},
        run_row{.name = "hang_1023", .ticks = 1100, .presses = {{1, 3, dot_in}}, .spacing = 1,
                .hang = 1023, .ptt = ptt_for(1072)},
        run_row{.name = "ptt_drops_inside_the_space_of_a_letter_and_rises_at_the_next_element",
                .ticks = 290, .presses = {{1, 1000, dot_in | dash_in}},
                .events = cat({dot_at_1, key_on_at(97), {"97 +key", "241 -tone", "241 -key"},
                               drop_at(251), key_on_at(289), {"289 +key"}}),
                .ptt = {{1, 1, 1}, {59, 0, 0}, {97, 1, 1}, {251, 0, 0}, {289, 1, 1}}},
        // Element lengths are the truncated quotients of speed and weight.
        run_row{.name = "length_dot_speed_25", .ticks = 600, .presses = {{1, 3, dot_in}},
                .key = {{1, 49}}},
        run_row{.name = "length_dash_speed_25", .ticks = 600, .presses = {{1, 3, dash_in}},
                .key = {{1, 145}}},
        run_row{.name = "length_dash_speed_7_not_3_dots", .ticks = 600,
                .presses = {{1, 3, dash_in}}, .speed = 7, .key = {{1, 515}}},
        run_row{.name = "length_dot_speed_63", .ticks = 600, .presses = {{1, 3, dot_in}},
                .speed = 63, .key = {{1, 20}}},
        run_row{.name = "length_dash_weight_127", .ticks = 600, .presses = {{1, 3, dash_in}},
                .weight = 127, .key = {{1, 366}}},
        run_row{.name = "length_dash_weight_0", .ticks = 600, .presses = {{1, 3, dash_in}},
                .weight = 0, .key = {{1, 1}}},
        // Speed 17: dot 70, key-up at 71, space to 141, letter space of 141 ticks to 282.
        run_row{.name = "letter_space_at_speed_17_is_141_ticks_not_two_dots",
                .ticks = 400, .presses = {{1, 3, dot_in}, {200, 202, dot_in}}, .speed = 17,
                .spacing = 1, .key = {{1, 71}, {282, 352}}},
        run_row{.name = "weight_0_sends_empty_dashes_with_their_spaces_and_keeps_ticking",
                .ticks = 288, .presses = {{1, 1000, dot_in | dash_in}}, .weight = 0,
                .key = {{1, 49}, {97, 97}, {145, 193}, {241, 241}}},
        run_row{.name = "speed_0_keeps_the_straight_key_working",
                .ticks = 100, .presses = {{1, 30, dash_in}}, .mode = 0, .speed = 0,
                .events = straight_1_to_30},
        // At speed 25 a delay of 100 would be capped to 48.
        run_row{.name = "speed_0_leaves_the_rf_delay_of_the_straight_key_uncapped",
                .ticks = 300, .presses = {{1, 150, dash_in}}, .mode = 0, .speed = 0, .delay = 100,
                .events = cat({key_on_at(1), {"101 +key", "150 -tone", "250 -key"}, drop_at(260)})},
        run_row{.name = "speed_set_to_0_mid_letter_finishes_the_element_and_lets_the_hang_run_out",
                .ticks = 400, .presses = {{1, 1000, dot_in | dash_in}},
                .hook = [](int32_t t) { if (t == 20) st(cw_speed, 0); }, .events = dot_at_1},
        // Mark of 0 ticks, tail of cw_delay ticks, no space, no further element.
        run_row{.name = "speed_set_to_0_in_the_rf_delay_ends_the_element_after_the_delay",
                .ticks = 200, .presses = {{1, 1000, dot_in}}, .delay = 20,
                .hook = [](int32_t t) { if (t == 10) st(cw_speed, 0); },
                .events = cat({key_on_at(1), {"21 +key", "21 -tone", "41 -key"}, drop_at(51)})},
        run_row{.name = "keying_resumes_when_the_speed_returns_from_0",
                .ticks = 200, .presses = {{1, 1000, dot_in}}, .speed = 0,
                .hook = [](int32_t t) { if (t == 50) st(cw_speed, 25); },
                .key = {{50, 98}, {146, 194}}}),
    test_rows::row_name);

TEST_F(keyer, rf_delay_100_leaves_no_space_between_elements) {
  st(cw_delay, 100);
  const keyer_run r = run_keyer(340, {{1, 400, dot_in | dash_in}});
  // Each element's sidetone starts in the tick of the previous key-up.
  EXPECT_THAT(
      r.intervals(tx_rst_bits::sidetone),
      ElementsAre(interval{1, 49}, interval{97, 189}, interval{237, 285}, interval{333, -1}));
  EXPECT_THAT(r.intervals(tx_rst_bits::key),
              ElementsAre(interval{49, 97}, interval{145, 237}, interval{285, 333}));
}

// A dot started by a short press of the dot input, then one more press
// while that dot is in progress or after it: where the next element starts
// tells where the space and the letter space end, and whether a dash touched
// during the dot follows it as the mode allows.
struct next_row {
  const char* name;
  int mode;
  int spacing;
  int delay;
  press second;
  std::vector<int32_t> element_starts;
};
class keyer_next : public keyer_test_base, public ::testing::WithParamInterface<next_row> {};

TEST_P(keyer_next, next_element_starts_where_the_space_ends_and_the_mode_allows) {
  const next_row& row = GetParam();
  st(cw_mode, row.mode);
  st(cw_spacing, row.spacing);
  st(cw_delay, row.delay);
  const keyer_run r = run_keyer(400, {{1, 3, dot_in}, row.second});
  const auto tone = r.intervals(tx_rst_bits::sidetone);
  EXPECT_EQ(starts(tone), row.element_starts);
  if (tone.size() == 2) {
    EXPECT_EQ(tone[1].second - tone[1].first, row.second.bits == dash_in ? 144 : 48);
  }
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_next,
    ::testing::Values(
        next_row{"dash_in_space_follows_after_48_ticks", 1, 1, 0, {60, 62, dash_in}, {1, 97}},
        next_row{
            "press_in_letter_space_follows_after_96_more", 1, 1, 0, {150, 152, dot_in}, {1, 193}},
        next_row{"without_letter_space_idle_sees_a_press_at_once",
                 1,
                 0,
                 0,
                 {150, 152, dot_in},
                 {1, 150}},
        next_row{
            "delay_20_space_of_28_ends_at_the_same_tick", 1, 1, 20, {80, 82, dash_in}, {1, 97}},
        next_row{"dot_in_its_own_space_counts_only_if_held_at_the_last_tick",
                 1,
                 1,
                 0,
                 {60, 98, dot_in},
                 {1, 97}},
        next_row{"mode_2_remembers_a_dash_released_within_the_mark",
                 2,
                 0,
                 0,
                 {10, 20, dash_in},
                 {1, 97}},
        next_row{"mode_3_remembers_it_too", 3, 0, 0, {10, 20, dash_in}, {1, 97}},
        next_row{"mode_1_forgets_it_at_the_next_released_sample", 1, 0, 0, {10, 20, dash_in}, {1}},
        next_row{"mode_1_forgets_a_dash_released_one_tick_before_the_last_mark_tick",
                 1,
                 0,
                 0,
                 {10, 49, dash_in},
                 {1}},
        next_row{
            "mode_1_keeps_a_dash_held_at_the_last_mark_tick", 1, 0, 0, {40, 50, dash_in}, {1, 97}},
        next_row{"mode_1_keeps_a_dash_seen_only_in_the_space", 1, 0, 0, {60, 62, dash_in}, {1, 97}},
        next_row{
            "mode_1_keeps_a_dash_seen_only_in_the_tail", 1, 0, 20, {55, 57, dash_in}, {1, 97}}),
    test_rows::row_name);

TEST_F(keyer, dot_held_alone_gives_dots_with_one_dot_spaces_and_never_latches_the_dash) {
  bool dash_latched = false;
  const keyer_run r = run_keyer(380, {{1, 1000, dot_in}}, [&](int32_t) {
    if (ld(paddle_memory) & 1u) dash_latched = true;
  });
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 49}, interval{97, 145},
                                                         interval{193, 241}, interval{289, 337}));
  EXPECT_FALSE(dash_latched);
}

TEST_F(keyer, disabling_the_keyer_ignores_the_paddles_without_reading_them_but_lets_the_hang_run) {
  st(cw_hang, 100);
  const keyer_run r = run_keyer(300, {{1, 3, dot_in}, {120, 140, dot_in | dash_in}}, [](int32_t t) {
    if (t == 60) st(keyer_enabled, 0);
  });
  EXPECT_EQ(r.events, cat({key_on_at(1), {"1 +key", "49 -tone", "49 -key"}, drop_at(149)}));
  EXPECT_EQ(r.gpio_loads_while_disabled, 0);
}

TEST_F(keyer, ptt_is_published_before_the_transmit_path_and_withdrawn_before_it) {
  const keyer_run r = run_keyer(100, {{1, 3, dot_in}});
  ASSERT_EQ(r.stores.size(), 10u);
  // Key-on: bit 5 with nothing published, bit 4 after cw_ptt, sidetone after both.
  EXPECT_EQ(r.stores[0].ptt * 10 + r.stores[0].mux, 0);
  EXPECT_EQ(r.stores[1].ptt * 10 + r.stores[1].mux, 10);
  EXPECT_EQ(r.stores[2].ptt * 10 + r.stores[2].mux, 11);
  // Drop: bit 5 while both are up, then cw_ptt gone before the restart pulse
  // and bit 4, keyer_owns_tx last.
  EXPECT_EQ(r.stores[6].ptt * 10 + r.stores[6].mux, 11);
  for (int i = 7; i < 10; ++i) EXPECT_EQ(r.stores[i].ptt * 10 + r.stores[i].mux, 1) << i;
  EXPECT_THAT(r.ptt.back(), (ptt_change{59, 0, 0}));
}

TEST_F(keyer, every_tx_rst_change_is_a_read_modify_write_of_the_byte) {
  // Bit 1 is set by start-up and never touched by the keyer.
  const keyer_run r = run_keyer(100, {{1, 3, dot_in}});
  ASSERT_FALSE(r.stores.empty());
  for (const auto& s : r.stores) EXPECT_TRUE(s.value & 0x02) << "0x" << std::hex << +s.value;
  for (const auto& s : r.all_stores) EXPECT_EQ(s.offset, 2u) << s;  // nothing but tx_rst
}

// Speed 0 pauses the timed keying.
TEST_F(keyer, speed_0_ignores_iambic_paddles_and_the_timed_dot) {
  st(cw_speed, 0);
  const keyer_run iambic = run_keyer(200, {{1, 1000, dot_in | dash_in}});
  EXPECT_THAT(iambic.stores, IsEmpty());
  st(cw_mode, 0);
  const keyer_run dot = run_keyer(200, {{1, 1000, dot_in}});
  EXPECT_THAT(dot.stores, IsEmpty());
  EXPECT_THAT(dot.ptt, IsEmpty());
}

}  // namespace
