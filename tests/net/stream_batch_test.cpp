// The stream thread's batch building and overflow check, on buffers.
#include <gtest/gtest.h>

#include <ostream>

#include "net_harness.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using namespace net_test;

class stream_batch : public board_fixture {
 protected:
  stream_batch() : board_fixture(stub_board()) {}

  fake_fpga model;
  uint8_t frames[ep6_max_frames][frame_size];
  alignas(4) uint8_t records[ep6_record_buffer];
  alignas(4) uint8_t mic[ep6_mic_buffer];
  ep6_stream_state state;

  void SetUp() override {
    model.attach();
    std::memset(frames, 0xAA, sizeof frames);  // stale bytes must not survive
    for (size_t n = 0; n < ep6_record_buffer / ep6_record_size; ++n)
      for (unsigned j = 0; j < ep6_record_size; ++j)
        records[n * ep6_record_size + j] = record_byte(static_cast<uint32_t>(n), j);
    for (size_t w = 0; w < ep6_mic_buffer_words; ++w) {
      mic[4 * w] = mic_byte(static_cast<uint32_t>(w + 1), 0);
      mic[4 * w + 1] = mic_byte(static_cast<uint32_t>(w + 1), 1);
      mic[4 * w + 2] = 0xC3;
      mic[4 * w + 3] = 0x3C;
    }
  }

  uint8_t* block(int b) { return frames[b / 2] + frame_block_offset[b % 2]; }
  uint8_t* slot(const ep6_geometry& g, int b, int k) {
    return block(b) + block_payload_offset + k * g.slot_size;
  }
  void build(const ep6_geometry& g, bool codec = false, uint8_t ptt = 0) {
    ep6_build_batch(frames, g, records, mic, codec, ptt, &state);
  }
  // The microphone word number that slot k of block b carries (0 = none).
  uint32_t mic_number(const ep6_geometry& g, int b, int k) {
    const uint8_t* s = slot(g, b, k) + g.slot_size - 2;
    return static_cast<uint32_t>(s[0]) << 8 | s[1];
  }
};

struct geometry_row {
  int receivers, slot_size, per_block, frames, samples, threshold, tail;
};
std::ostream& operator<<(std::ostream& os, const geometry_row& r) {
  return os << r.receivers << " receivers";
}
class geometry : public testing::TestWithParam<geometry_row> {};

TEST_P(geometry, follows_from_the_number_of_receivers) {
  const geometry_row& r = GetParam();
  const ep6_geometry g = ep6_geometry_for(r.receivers);
  EXPECT_EQ(g.receivers, r.receivers);
  EXPECT_EQ(g.slot_size, r.slot_size);
  EXPECT_EQ(g.samples_per_block, r.per_block);
  EXPECT_EQ(g.frames, r.frames);
  EXPECT_EQ(g.samples, r.samples);
  EXPECT_EQ(g.fill_threshold, r.threshold);
  EXPECT_EQ(504 - g.samples_per_block * g.slot_size, r.tail);
}

INSTANTIATE_TEST_SUITE_P(one_to_eight, geometry,
                         testing::Values(geometry_row{1, 8, 63, 4, 504, 4032, 0},
                                         geometry_row{2, 14, 36, 7, 504, 4032, 0},
                                         geometry_row{3, 20, 25, 10, 500, 4000, 4},
                                         geometry_row{4, 26, 19, 13, 494, 3952, 10},
                                         geometry_row{5, 32, 15, 17, 510, 4080, 24},
                                         geometry_row{6, 38, 13, 19, 494, 3952, 10},
                                         geometry_row{7, 44, 11, 23, 506, 4048, 20},
                                         geometry_row{8, 50, 10, 25, 500, 4000, 4}));

TEST_F(stream_batch, sequence_numbers_count_frames_big_endian_and_wrap) {
  state.sequence = 0xFFFFFFFE;
  build(ep6_geometry_for(1));
  EXPECT_EQ(get_be32(frames[0] + 4), 0xFFFFFFFEu);
  EXPECT_EQ(get_be32(frames[1] + 4), 0xFFFFFFFFu);
  EXPECT_EQ(get_be32(frames[2] + 4), 0u);
  EXPECT_EQ(get_be32(frames[3] + 4), 1u);
  EXPECT_EQ(state.sequence, 2u);
}

TEST_F(stream_batch, status_headers_rotate_block_by_block_across_batches) {
  const ep6_geometry g = ep6_geometry_for(1);
  const uint8_t c0_of[5] = {0x00, 0x08, 0x10, 0x18, 0x20};
  build(g);
  const int first[8] = {0, 1, 2, 3, 4, 0, 1, 2};
  for (int b = 0; b < 8; ++b) {
    EXPECT_EQ(block(b)[0], 0x7F);
    EXPECT_EQ(block(b)[1], 0x7F);
    EXPECT_EQ(block(b)[2], 0x7F);
    EXPECT_EQ(block(b)[3], c0_of[first[b]]) << b;
  }
  EXPECT_EQ(std::vector<uint8_t>(block(0) + 4, block(0) + 8),
            (std::vector<uint8_t>{0, 0x21, 0x11, 0x15}));
  EXPECT_EQ(std::vector<uint8_t>(block(4) + 4, block(4) + 8),
            (std::vector<uint8_t>{0x42, 0x42, 0x42, 0x42}));
  build(g);
  EXPECT_EQ(block(0)[3], 0x18);  // the second batch goes on with header 3
  EXPECT_EQ(block(1)[3], 0x20);
  EXPECT_EQ(block(2)[3], 0x00);
}

TEST_F(stream_batch, xadc_words_carry_bits_3_to_18_big_endian) {
  xadc[16] = 0x1234u << 3 | 0x7;          // low bits dropped
  xadc[17] = 0xFFF80000u | 0xBEEFu << 3;  // high bits dropped
  xadc[24] = 0xFFF80007u;                 // nothing of bits 3..18
  xadc[25] = 0xA5C3u << 3;
  build(ep6_geometry_for(1));
  // Blocks 1, 2, 3 carry headers 1, 2, 3.
  EXPECT_EQ(std::vector<uint8_t>(block(1) + 4, block(1) + 8), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(block(2) + 4, block(2) + 8),
            (std::vector<uint8_t>{0x12, 0x34, 0xBE, 0xEF}));
  EXPECT_EQ(std::vector<uint8_t>(block(3) + 4, block(3) + 8),
            (std::vector<uint8_t>{0xA5, 0xC3, 0, 0}));
  xadc[24] = 0x0ABCu << 3;
  build(ep6_geometry_for(1));  // header 1 is now in block 3
  EXPECT_EQ(std::vector<uint8_t>(block(3) + 4, block(3) + 8),
            (std::vector<uint8_t>{0, 0, 0x0A, 0xBC}));
}

TEST_F(stream_batch, gpio_in_bits_0_to_2_and_ptt_go_into_every_c0) {
  model.gpio_in_value = 0xFA;  // paddle bit 1, and bits 3..7 that must not show
  build(ep6_geometry_for(2), false, 1);
  const uint8_t c0_of[5] = {0x00, 0x08, 0x10, 0x18, 0x20};
  for (int b = 0; b < 14; ++b) EXPECT_EQ(block(b)[3], c0_of[b % 5] | 0x03) << b;
  model.gpio_in_value = 0x04;
  state = {};
  build(ep6_geometry_for(2), false, 0);
  for (int b = 0; b < 14; ++b) EXPECT_EQ(block(b)[3], c0_of[b % 5] | 0x04) << b;
}

// The microphone word in each slot of two batches: each codec word serves
// 2^rate samples, held at the last word the codec read brought in when the
// rate dropped or the batch grew since; a buffer no read has filled yet
// gives zeros (word number 0) however far the index runs.
struct mic_row {
  const char* name;
  int receivers, rate, mic_words, mic_index;
  bool zeroed;
};
class microphone_words : public stream_batch, public testing::WithParamInterface<mic_row> {};

TEST_P(microphone_words, fill_slots_from_the_index_at_the_rate) {
  const mic_row& r = GetParam();
  if (r.zeroed) std::memset(mic, 0, sizeof mic);
  st(rate, r.rate);
  state.mic_words = r.mic_words;
  state.mic_index = r.mic_index;
  const ep6_geometry g = ep6_geometry_for(r.receivers);
  for (int batch = 0; batch < 2; ++batch) {
    build(g, true);
    for (int b = 0; b < 2 * g.frames; ++b)
      for (int k = 0; k < g.samples_per_block; ++k) {
        const int sample = batch * g.samples + b * g.samples_per_block + k;
        const int word = std::min((r.mic_index + sample) >> r.rate, r.mic_words - 1);
        ASSERT_EQ(mic_number(g, b, k), r.zeroed ? 0u : static_cast<uint32_t>(word + 1))
            << "sample " << sample;
      }
  }
  EXPECT_EQ(state.mic_index, r.mic_index + 2 * g.samples);
}

INSTANTIATE_TEST_SUITE_P(
    cases, microphone_words,
    testing::Values(mic_row{"rate_2_four_slots_a_word", 1, 2, 504, 0, false},
                    // The last read brought 504 words for rate 2; the rate is now 0.
                    mic_row{"held_when_the_rate_drops", 1, 0, 504, 504, false},
                    // Read with 3 receivers (500 words) at rate 1; now 5 receivers.
                    mic_row{"held_when_the_batch_grows", 5, 1, 500, 500, false},
                    mic_row{"zeroed_buffer_before_the_first_read", 1, 0, ep6_mic_buffer_words, 1000,
                            true}),
    test_rows::row_name);

// A batch holds exactly its layout: receivers 1-2 from record bytes 0..11,
// 3-4 from 18..29 (12..17 skipped), receivers 5-8 zero, the microphone words
// with a codec or zeros, and a zero tail. The frames are the same buffers
// from batch to batch, and the bytes that carry nothing are zeroed only when
// the layout changes: after batches of other layouts (receivers, codec) in
// turn, the last batch still holds exactly its own.
struct layout {
  int receivers;
  bool codec;
};
struct layout_change_row {
  const char* name;
  std::vector<layout> batches;
};
class layout_change : public stream_batch, public testing::WithParamInterface<layout_change_row> {};

TEST_P(layout_change, batch_holds_its_layout_and_no_byte_of_an_earlier_one) {
  st(rate, 0);
  const std::vector<layout>& batches = GetParam().batches;
  for (size_t i = 0; i + 1 < batches.size(); ++i)
    build(ep6_geometry_for(batches[i].receivers), batches[i].codec);
  const layout last = batches.back();
  const ep6_geometry g = ep6_geometry_for(last.receivers);
  state.mic_index = 0;
  state.mic_words = ep6_mic_buffer_words;
  build(g, last.codec);
  for (int b = 0; b < 2 * g.frames; ++b) {
    SCOPED_TRACE(testing::Message() << "block " << b);
    const uint8_t* payload = block(b) + block_payload_offset;
    for (int j = 0; j < static_cast<int>(block_payload_size); ++j) {
      const int k = j / g.slot_size;
      const int at = j % g.slot_size;
      const uint32_t n = static_cast<uint32_t>(b * g.samples_per_block + k);
      uint8_t want = 0;
      if (k >= g.samples_per_block)
        want = 0;  // the tail
      else if (at < 6 * std::min(g.receivers, 2))
        want = record_byte(n, static_cast<unsigned>(at));
      else if (at >= 12 && at < 12 + 6 * std::clamp(g.receivers - 2, 0, 2))
        want = record_byte(n, static_cast<unsigned>(at + 6));
      else if (last.codec && at >= g.slot_size - 2)
        want = mic_byte(n + 1, static_cast<unsigned>(at - (g.slot_size - 2)));
      ASSERT_EQ(payload[j], want) << "payload byte " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    sequences, layout_change,
    testing::Values(layout_change_row{"1_receivers", {{1, false}}},
                    layout_change_row{"2_receivers", {{2, false}}},
                    layout_change_row{"3_receivers", {{3, false}}},
                    layout_change_row{"4_receivers", {{4, false}}},
                    layout_change_row{"5_receivers", {{5, false}}},
                    layout_change_row{"8_receivers", {{8, false}}},
                    layout_change_row{"eight_with_codec_then_three", {{8, true}, {3, false}}},
                    layout_change_row{"one_then_eight", {{1, false}, {8, false}}},
                    layout_change_row{"eight_then_one_then_eight",
                                      {{8, false}, {1, false}, {8, false}}},
                    layout_change_row{"five_with_codec_then_without", {{5, true}, {5, false}}},
                    layout_change_row{"two_then_two_with_codec", {{2, false}, {2, true}}},
                    layout_change_row{"seven_then_four", {{7, false}, {4, false}}}),
    test_rows::row_name);

struct overflow_row {
  const char* name;
  bool codec;
  uint16_t rx_cntr;
  uint16_t adc_cntr;
  std::vector<uint8_t> rx_rst_stores;
};
class overflow_check : public stream_batch, public testing::WithParamInterface<overflow_row> {};

TEST_P(overflow_check, resets_at_inclusive_bounds) {
  const overflow_row& r = GetParam();
  // rx_rst as a running stream leaves it: both restart bits set, and bit 2
  // without a codec.
  *rx_rst = r.codec ? 0x03 : 0x05;
  model.rx_words = r.rx_cntr;
  model.adc_level = r.adc_cntr;
  model.clear_logs();
  ep6_overflow_check(r.codec);
  EXPECT_EQ(model.rx_rst_log(), r.rx_rst_stores);
  if (!r.codec) {
    EXPECT_EQ(model.adc_cntr_loads, 0);
  }
}

const std::vector<uint8_t> none;
const std::vector<uint8_t> rx_only = {0x04, 0x05};
const std::vector<uint8_t> codec_then_rx = {0x01, 0x03, 0x02, 0x03};

INSTANTIATE_TEST_SUITE_P(
    bounds, overflow_check,
    testing::Values(overflow_row{"no_codec_rx_8191", false, 8191, 0, none},
                    overflow_row{"no_codec_rx_8192", false, 8192, 0, rx_only},
                    overflow_row{"no_codec_adc_ignored", false, 0, 5000, none},
                    overflow_row{"codec_below_both", true, 8191, 1023, none},
                    overflow_row{"codec_rx_8192", true, 8192, 0, codec_then_rx},
                    overflow_row{"codec_adc_1024", true, 0, 1024, codec_then_rx},
                    overflow_row{"codec_both", true, 9000, 2000, codec_then_rx}),
    test_rows::row_name);

}  // namespace
