// The EP6 reader and the counter mode's gap check of the end-to-end tests,
// on frames built here: what they miss, the stream tests miss.
#include "support/ep6_reader.h"

#include <gtest/gtest.h>

namespace {

struct sent_frame {
  uint32_t seq, first_count;
};
struct gap_row {
  const char* name;
  int receivers;
  std::vector<sent_frame> frames;
  long sequence_gaps, frames_missing, out_of_order, steps, missing, restarts;
  int corrupt_byte = -1;  // one byte of the second frame changed
};
std::ostream& operator<<(std::ostream& os, const gap_row& r) {
  return os << r.name;
}
class gap_check : public ::testing::TestWithParam<gap_row> {};

TEST_P(gap_check, counts_every_missing_sample_and_frame) {
  const gap_row& row = GetParam();
  counter_check check(row.receivers);
  const int per_frame = 2 * ep6_samples_per_block(row.receivers);
  for (size_t k = 0; k < row.frames.size(); ++k) {
    std::vector<uint8_t> d = counter_frame(row.frames[k].seq, row.frames[k].first_count,
                                           row.receivers, static_cast<uint8_t>(k));
    if (k == 1 && row.corrupt_byte >= 0) d[row.corrupt_byte] ^= 0x01;
    const auto f = read_ep6(d.data(), static_cast<ssize_t>(d.size()), row.receivers);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sequence, row.frames[k].seq);
    EXPECT_EQ(f->status[1][0], k);
    ASSERT_EQ(f->samples, per_frame);
    check.add(*f);
  }
  EXPECT_EQ(check.frames, static_cast<long>(row.frames.size()));
  EXPECT_EQ(check.sequence_gaps, row.sequence_gaps);
  EXPECT_EQ(check.frames_missing, row.frames_missing);
  EXPECT_EQ(check.out_of_order, row.out_of_order);
  EXPECT_EQ(check.steps, row.steps);
  EXPECT_EQ(check.missing, row.missing);
  EXPECT_EQ(check.restarts, row.restarts);
  EXPECT_EQ(check.bad, row.corrupt_byte >= 0 ? 1 : 0) << check.first_bad;
}

// One receiver: 126 samples a frame; eight: 20.
INSTANTIATE_TEST_SUITE_P(
    rows, gap_check,
    ::testing::Values(
        gap_row{"clean", 1, {{0, 40}, {1, 166}, {2, 292}}, 0, 0, 0, 0, 0, 0},
        gap_row{"clean_eight_receivers", 8, {{0, 0}, {1, 20}, {2, 40}}, 0, 0, 0, 0, 0, 0},
        gap_row{"one_sample_missing", 1, {{0, 0}, {1, 127}, {2, 253}}, 0, 0, 0, 1, 1, 0},
        gap_row{"a_frame_missing", 1, {{0, 0}, {2, 252}, {3, 378}}, 1, 1, 0, 1, 126, 0},
        gap_row{"a_frame_late", 1, {{0, 0}, {2, 252}, {1, 126}}, 2, 1, 1, 2, 126, 1},
        gap_row{"count_restarted", 1, {{0, 0}, {1, 126}, {2, 5}}, 0, 0, 0, 1, 0, 1},
        gap_row{"count_restarted_past_half_the_range",
                1,
                {{0, 0xA00000}, {1, 0xA00000 + 126}, {2, 5}},
                0,
                0,
                0,
                1,
                0,
                1},
        gap_row{"count_wraps", 1, {{0, 0xFFFFFF - 125}, {1, 0}}, 0, 0, 0, 0, 0, 0},
        // I of receiver 2, Q of receiver 1, receiver 5's I, the microphone.
        gap_row{"receivers_disagree", 2, {{0, 0}, {1, 72}}, 0, 0, 0, 0, 0, 0, 16 + 8},
        gap_row{"wrong_q", 1, {{0, 0}, {1, 126}}, 0, 0, 0, 0, 0, 0, 16 + 5},
        gap_row{"receiver_five_not_silent", 8, {{0, 0}, {1, 20}}, 0, 0, 0, 0, 0, 0, 16 + 26},
        gap_row{"microphone", 1, {{0, 0}, {1, 126}}, 0, 0, 0, 0, 0, 0, 16 + 7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ep6_reader, reads_no_frame_of_the_wrong_size_header_or_sync) {
  const std::vector<uint8_t> good = counter_frame(7, 0, 2);
  ASSERT_TRUE(read_ep6(good.data(), 1032, 2));
  EXPECT_FALSE(read_ep6(good.data(), 1031, 2));
  for (int byte : {3, 8 + 2, 520}) {
    std::vector<uint8_t> d = good;
    d[byte] ^= 0x01;
    EXPECT_FALSE(read_ep6(d.data(), 1032, 2)) << "byte " << byte;
  }
}

TEST(ep6_reader, reads_negative_samples_and_finds_bytes_after_the_last_slot) {
  std::vector<uint8_t> d = counter_frame(0, 0, 3);  // 25 slots of 20 bytes, 4 left over
  put_be24(d.data() + 16, 0xFFFFFE);
  EXPECT_EQ(read_ep6(d.data(), 1032, 3)->at(0, 0).first, -2);
  EXPECT_TRUE(read_ep6(d.data(), 1032, 3)->padding_zero);
  d[520 + 8 + 503] = 1;
  EXPECT_FALSE(read_ep6(d.data(), 1032, 3)->padding_zero);
}

}  // namespace
