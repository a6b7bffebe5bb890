// Tick-exact transcripts of the keyer: tx_rst stores, cw_ptt and
// tx_mux_data, with the paddles set per tick on a virtual clock. Unless a
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

TEST_F(keyer, single_dot_at_speed_25_keys_at_once_and_drops_ptt_in_the_tenth_space_tick) {
  st(cw_spacing, 1);
  const keyer_run r = run_keyer(300, {{1, 3, dot_in}});
  EXPECT_EQ(r.events, cat({key_on_at(1), {"1 +key", "49 -tone", "49 -key"}, drop_at(59)}));
  EXPECT_THAT(r.ptt, ElementsAre(ptt_change{1, 1, 1}, ptt_change{59, 0, 0}));
}

TEST_F(keyer, rf_delay_20_delays_the_key_and_shortens_the_space_to_28_ticks) {
  st(cw_spacing, 1);
  st(cw_delay, 20);
  const keyer_run r = run_keyer(300, {{1, 3, dot_in}});
  EXPECT_EQ(r.events, cat({key_on_at(1), {"21 +key", "49 -tone", "69 -key"}, drop_at(79)}));
}

TEST_F(keyer, rf_delay_100_is_capped_at_one_dot_and_shortens_the_dash) {
  st(cw_delay, 100);
  const keyer_run r = run_keyer(300, {{1, 3, dash_in}});
  // RF for 48 + (144 - 100) = 92 ticks.
  EXPECT_EQ(r.events, cat({key_on_at(1), {"49 +key", "93 -tone", "141 -key"}, drop_at(151)}));
}

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

// One element after the first, started by a press at `press` while the
// first element is in progress or after it: where the next element starts
// tells where the space and the letter space end.
struct next_row {
  const char* name;
  int spacing;
  int delay;
  press second;
  int32_t next_start;
};
class keyer_next : public keyer_test_base, public ::testing::WithParamInterface<next_row> {};

TEST_P(keyer_next, next_element_starts_where_the_space_or_letter_space_ends) {
  const next_row& row = GetParam();
  st(cw_spacing, row.spacing);
  st(cw_delay, row.delay);
  const keyer_run r = run_keyer(300, {{1, 3, dot_in}, row.second});
  const auto tone = r.intervals(tx_rst_bits::sidetone);
  ASSERT_EQ(tone.size(), 2u);
  EXPECT_EQ(tone[1].first, row.next_start);
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_next,
    ::testing::Values(
        next_row{"dash_in_space_follows_after_48_ticks", 1, 0, {60, 62, dash_in}, 97},
        next_row{"press_in_letter_space_follows_after_96_more", 1, 0, {150, 152, dot_in}, 193},
        next_row{"without_letter_space_idle_sees_a_press_at_once", 0, 0, {150, 152, dot_in}, 150},
        next_row{"delay_20_space_of_28_ends_at_the_same_tick", 1, 20, {80, 82, dash_in}, 97},
        next_row{"dot_in_its_own_space_counts_only_if_held_at_the_last_tick",
                 1,
                 0,
                 {60, 98, dot_in},
                 97}),
    test_rows::row_name);

// Both paddles held: dot first, then alternating, in every iambic mode.
class keyer_both_held : public keyer_test_base, public ::testing::WithParamInterface<int> {};

TEST_P(keyer_both_held, alternate_dot_and_dash_starting_with_the_dot) {
  st(cw_mode, GetParam());
  const keyer_run r = run_keyer(540, {{1, 1000, dot_in | dash_in}});
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 49}, interval{97, 241},
                                                         interval{289, 337}, interval{385, 529}));
}

INSTANTIATE_TEST_SUITE_P(modes, keyer_both_held, ::testing::Values(1, 2, 3),
                         [](const auto& info) { return "mode_" + std::to_string(info.param); });

TEST_F(keyer, dot_held_alone_gives_dots_with_one_dot_spaces_and_never_latches_the_dash) {
  bool dash_latched = false;
  const keyer_run r = run_keyer(380, {{1, 1000, dot_in}}, [&](int32_t) {
    if (ld(cw_memory[1]) & 1u) dash_latched = true;
  });
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 49}, interval{97, 145},
                                                         interval{193, 241}, interval{289, 337}));
  EXPECT_FALSE(dash_latched);
}

// The memory rules: a dot started by a short press of the dot input, and the
// dash input touched at various points of that dot.
struct memory_row {
  const char* name;
  int mode;
  int delay;
  press dash;
  std::vector<int32_t> element_starts;
};
class keyer_memory : public keyer_test_base, public ::testing::WithParamInterface<memory_row> {};

TEST_P(keyer_memory, dash_touched_during_a_dot_follows_it_only_as_the_mode_allows) {
  const memory_row& row = GetParam();
  st(cw_mode, row.mode);
  st(cw_delay, row.delay);
  const keyer_run r = run_keyer(400, {{1, 3, dot_in}, row.dash});
  const auto tone = r.intervals(tx_rst_bits::sidetone);
  EXPECT_EQ(starts(tone), row.element_starts);
  if (tone.size() == 2) {
    EXPECT_EQ(tone[1].second - tone[1].first, 144) << "a dash follows";
  }
}

INSTANTIATE_TEST_SUITE_P(
    rows, keyer_memory,
    ::testing::Values(
        memory_row{
            "mode_2_remembers_a_dash_released_within_the_mark", 2, 0, {10, 20, dash_in}, {1, 97}},
        memory_row{"mode_3_remembers_it_too", 3, 0, {10, 20, dash_in}, {1, 97}},
        memory_row{"mode_1_forgets_it_at_the_next_released_sample", 1, 0, {10, 20, dash_in}, {1}},
        memory_row{"mode_1_forgets_a_dash_released_one_tick_before_the_last_mark_tick",
                   1,
                   0,
                   {10, 49, dash_in},
                   {1}},
        memory_row{
            "mode_1_keeps_a_dash_held_at_the_last_mark_tick", 1, 0, {40, 50, dash_in}, {1, 97}},
        memory_row{"mode_1_keeps_a_dash_seen_only_in_the_space", 1, 0, {60, 62, dash_in}, {1, 97}},
        memory_row{"mode_1_keeps_a_dash_seen_only_in_the_tail", 1, 20, {55, 57, dash_in}, {1, 97}}),
    test_rows::row_name);

TEST_F(keyer, reversed_paddles_make_the_dot_input_the_dash_paddle_and_the_straight_key) {
  st(cw_reversed, 1);
  const keyer_run iambic = run_keyer(300, {{1, 3, dot_in}});
  EXPECT_THAT(iambic.intervals(tx_rst_bits::key), ElementsAre(interval{1, 145}));

  st(cw_mode, 0);
  const keyer_run straight = run_keyer(300, {{1, 30, dot_in}});
  EXPECT_THAT(straight.intervals(tx_rst_bits::key), ElementsAre(interval{1, 30}));

  const keyer_run timed = run_keyer(300, {{1, 3, dash_in}});
  EXPECT_THAT(timed.intervals(tx_rst_bits::key), ElementsAre(interval{1, 49}));
}

TEST_F(keyer, straight_key_follows_the_dash_input_whatever_the_dot_input_does) {
  st(cw_mode, 0);
  const keyer_run dash = run_keyer(100, {{1, 30, dash_in}});
  EXPECT_EQ(dash.events, cat({key_on_at(1), {"1 +key", "30 -tone", "30 -key"}, drop_at(40)}));
  const keyer_run both = run_keyer(100, {{1, 30, dot_in | dash_in}});
  EXPECT_EQ(both.events, dash.events);
}

TEST_F(keyer, straight_key_hold_has_no_time_limit_and_no_hang_until_released) {
  st(cw_mode, 0);
  const keyer_run r = run_keyer(1600, {{1, 1500, dash_in}});
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 1500}));
  EXPECT_THAT(r.ptt, ElementsAre(ptt_change{1, 1, 1}, ptt_change{1510, 0, 0}));
}

TEST_F(keyer, straight_key_with_rf_delay_keys_late_and_releases_late) {
  st(cw_mode, 0);
  st(cw_delay, 20);
  const keyer_run r = run_keyer(100, {{1, 30, dash_in}});
  EXPECT_EQ(r.events, cat({key_on_at(1), {"21 +key", "30 -tone", "50 -key"}, drop_at(60)}));
}

TEST_F(keyer, straight_key_released_while_the_dot_input_stays_gives_a_timed_dot_next_tick) {
  st(cw_mode, 0);
  const keyer_run r = run_keyer(200, {{1, 30, dot_in | dash_in}, {30, 60, dot_in}});
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 30}, interval{31, 79}));
}

TEST_F(keyer, timed_dot_held_gives_dots_each_followed_by_its_space_and_one_idle_tick) {
  st(cw_mode, 0);
  const keyer_run r = run_keyer(260, {{1, 1000, dot_in}});
  EXPECT_THAT(r.intervals(tx_rst_bits::key),
              ElementsAre(interval{1, 49}, interval{98, 146}, interval{195, 243}));
}

TEST_F(keyer, timed_dot_with_rf_delay_20_keeps_the_key_one_dot_long) {
  st(cw_mode, 0);
  st(cw_delay, 20);
  const keyer_run r = run_keyer(110, {{1, 3, dot_in}, {98, 100, dot_in}});
  EXPECT_EQ(r.events,
            cat({key_on_at(1), {"21 +key", "49 -tone", "69 -key"}, drop_at(79), key_on_at(98)}));
}

TEST_F(keyer, disabling_the_keyer_ignores_the_paddles_without_reading_them_but_lets_the_hang_run) {
  st(cw_hang, 100);
  const keyer_run r = run_keyer(300, {{1, 3, dot_in}, {120, 140, dot_in | dash_in}}, [](int32_t t) {
    if (t == 60) st(cw_int_data, 0);
  });
  EXPECT_EQ(r.events, cat({key_on_at(1), {"1 +key", "49 -tone", "49 -key"}, drop_at(149)}));
  EXPECT_EQ(r.gpio_loads_while_disabled, 0);
}

TEST_F(keyer, disabling_the_keyer_ends_a_straight_key_hold_at_the_next_tick) {
  st(cw_mode, 0);
  const keyer_run r = run_keyer(300, {{1, 500, dash_in}}, [](int32_t t) {
    if (t == 100) st(cw_int_data, 0);
  });
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 100}));
  EXPECT_THAT(r.ptt, ElementsAre(ptt_change{1, 1, 1}, ptt_change{110, 0, 0}));
}

TEST_F(keyer, disabling_the_keyer_mid_letter_sends_only_the_element_the_memory_holds) {
  st(cw_mode, 2);
  const keyer_run r = run_keyer(400, {{1, 1000, dot_in | dash_in}}, [](int32_t t) {
    if (t == 20) st(cw_int_data, 0);
  });
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 49}, interval{97, 241}));
  EXPECT_THAT(r.ptt, ElementsAre(ptt_change{1, 1, 1}, ptt_change{59, 0, 0}, ptt_change{97, 1, 1},
                                 ptt_change{251, 0, 0}));
}

TEST_F(keyer, disabling_the_keyer_mid_letter_in_mode_1_clears_the_memory_at_the_next_tick) {
  const keyer_run r = run_keyer(400, {{1, 1000, dot_in | dash_in}}, [](int32_t t) {
    if (t == 20) st(cw_int_data, 0);
  });
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 49}));
}

TEST_F(keyer, without_a_codec_the_sidetone_bit_is_never_written) {
  st(i2c_codec, 0);
  const keyer_run r = run_keyer(100, {{1, 3, dot_in}});
  EXPECT_EQ(r.events, cat({key_on_at(1, false), {"1 +key", "49 -key"}, drop_at(59)}));
}

TEST_F(keyer, sidetone_level_0_never_sets_the_sidetone_bit_but_still_clears_it) {
  st(dac_level_data, 0);
  const keyer_run r = run_keyer(100, {{1, 3, dot_in}});
  EXPECT_EQ(r.events, cat({key_on_at(1, false), {"1 +key", "49 =", "49 -key"}, drop_at(59)}));
  for (const auto& s : r.stores) EXPECT_FALSE(s.value & tx_rst_bits::sidetone);
}

// Hang time after the key-up of a single dot at tick 49, counted through the
// space, the letter space and the idle loop alike.
struct hang_row {
  uint16_t hang;
  int32_t drop;
};
std::ostream& operator<<(std::ostream& os, const hang_row& r) {
  return os << "hang " << r.hang;
}

class keyer_hang : public keyer_test_base, public ::testing::WithParamInterface<hang_row> {};

TEST_P(keyer_hang, ptt_drops_after_the_hang_time_counted_from_the_key_up) {
  st(cw_spacing, 1);
  st(cw_hang, GetParam().hang);
  const keyer_run r = run_keyer(1100, {{1, 3, dot_in}});
  EXPECT_THAT(r.ptt, ElementsAre(ptt_change{1, 1, 1}, ptt_change{GetParam().drop, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(rows, keyer_hang,
                         ::testing::Values(hang_row{0, 59}, hang_row{1, 50}, hang_row{10, 59},
                                           hang_row{100, 149}, hang_row{1023, 1072}),
                         [](const auto& info) {
                           return "hang_" + std::to_string(info.param.hang);
                         });

TEST_F(keyer, ptt_drops_inside_the_space_of_a_letter_and_rises_again_at_the_next_element) {
  const keyer_run r = run_keyer(290, {{1, 1000, dot_in | dash_in}});
  EXPECT_EQ(r.events, cat({key_on_at(1),
                           {"1 +key", "49 -tone", "49 -key"},
                           drop_at(59),
                           key_on_at(97),
                           {"97 +key", "241 -tone", "241 -key"},
                           drop_at(251),
                           key_on_at(289),
                           {"289 +key"}}));
  EXPECT_THAT(r.ptt, ElementsAre(ptt_change{1, 1, 1}, ptt_change{59, 0, 0}, ptt_change{97, 1, 1},
                                 ptt_change{251, 0, 0}, ptt_change{289, 1, 1}));
}

TEST_F(keyer, ptt_is_published_before_the_transmit_path_and_withdrawn_before_it) {
  const keyer_run r = run_keyer(100, {{1, 3, dot_in}});
  ASSERT_EQ(r.stores.size(), 10u);
  // Key-on: bit 5 with nothing published, bit 4 after cw_ptt, sidetone after both.
  EXPECT_EQ(r.stores[0].ptt * 10 + r.stores[0].mux, 0);
  EXPECT_EQ(r.stores[1].ptt * 10 + r.stores[1].mux, 10);
  EXPECT_EQ(r.stores[2].ptt * 10 + r.stores[2].mux, 11);
  // Drop: bit 5 while both are up, then cw_ptt gone before the restart pulse
  // and bit 4, tx_mux_data last.
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

// Element lengths from the speed and weight, as the sidetone shows them.
struct length_row {
  uint8_t speed;
  uint8_t weight;
  uint8_t input;
  int32_t length;
};
std::ostream& operator<<(std::ostream& os, const length_row& r) {
  return os << "speed " << +r.speed << " weight " << +r.weight << " input " << +r.input;
}

class keyer_length : public keyer_test_base, public ::testing::WithParamInterface<length_row> {};

TEST_P(keyer_length, element_length_is_the_truncated_quotient_of_the_settings) {
  st(cw_speed, GetParam().speed);
  st(cw_weight, GetParam().weight);
  const keyer_run r = run_keyer(600, {{1, 3, GetParam().input}});
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{1, 1 + GetParam().length}));
}

INSTANTIATE_TEST_SUITE_P(rows, keyer_length,
                         ::testing::Values(length_row{25, 50, dot_in, 48},
                                           length_row{25, 50, dash_in, 144},
                                           length_row{7, 50, dash_in, 514},  // not 3 x 171
                                           length_row{63, 50, dot_in, 19},
                                           length_row{25, 127, dash_in, 365},
                                           length_row{25, 0, dash_in, 0}));

TEST_F(keyer, letter_space_at_speed_17_is_141_ticks_not_two_dots) {
  st(cw_speed, 17);  // dot 70
  st(cw_spacing, 1);
  const keyer_run r = run_keyer(400, {{1, 3, dot_in}, {200, 202, dot_in}});
  // Key-up at 71, space to 141, letter space of 141 ticks to 282.
  EXPECT_THAT(starts(r.intervals(tx_rst_bits::sidetone)), ElementsAre(1, 282));
}

TEST_F(keyer, weight_0_sends_empty_dashes_with_their_spaces_and_keeps_ticking) {
  st(cw_weight, 0);
  const keyer_run w0 = run_keyer(288, {{1, 1000, dot_in | dash_in}});
  EXPECT_THAT(w0.intervals(tx_rst_bits::key), ElementsAre(interval{1, 49}, interval{97, 97},
                                                          interval{145, 193}, interval{241, 241}));
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

TEST_F(keyer, speed_0_keeps_the_straight_key_working_with_the_rf_delay_uncapped) {
  st(cw_speed, 0);
  st(cw_mode, 0);
  const keyer_run plain = run_keyer(100, {{1, 30, dash_in}});
  EXPECT_EQ(plain.events, cat({key_on_at(1), {"1 +key", "30 -tone", "30 -key"}, drop_at(40)}));
  st(cw_delay, 100);  // at speed 25 this would be capped to 48
  const keyer_run delayed = run_keyer(300, {{1, 150, dash_in}});
  EXPECT_EQ(delayed.events,
            cat({key_on_at(1), {"101 +key", "150 -tone", "250 -key"}, drop_at(260)}));
}

TEST_F(keyer, speed_set_to_0_mid_letter_finishes_the_element_and_lets_the_hang_run_out) {
  const keyer_run r = run_keyer(400, {{1, 1000, dot_in | dash_in}}, [](int32_t t) {
    if (t == 20) st(cw_speed, 0);
  });
  EXPECT_EQ(r.events, cat({key_on_at(1), {"1 +key", "49 -tone", "49 -key"}, drop_at(59)}));
}

TEST_F(keyer, speed_set_to_0_in_the_rf_delay_ends_the_element_after_the_configured_delay) {
  st(cw_delay, 20);
  const keyer_run r = run_keyer(200, {{1, 1000, dot_in}}, [](int32_t t) {
    if (t == 10) st(cw_speed, 0);
  });
  // Mark of 0 ticks, tail of cw_delay ticks, no space, no further element.
  EXPECT_EQ(r.events, cat({key_on_at(1), {"21 +key", "21 -tone", "41 -key"}, drop_at(51)}));
}

TEST_F(keyer, keying_resumes_when_the_speed_returns_from_0) {
  st(cw_speed, 0);
  const keyer_run r = run_keyer(200, {{1, 1000, dot_in}}, [](int32_t t) {
    if (t == 50) st(cw_speed, 25);
  });
  EXPECT_THAT(r.intervals(tx_rst_bits::key), ElementsAre(interval{50, 98}, interval{146, 194}));
}

}  // namespace
