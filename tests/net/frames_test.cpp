#include "net/frames.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>

#include "support/rows.h"

namespace {

using test_rows::operator<<;

struct classify_row {
  const char* name;
  std::array<uint8_t, 4> head;
  datagram_kind kind;
};
class classify_datagram_test : public testing::TestWithParam<classify_row> {};

TEST_P(classify_datagram_test, first_four_bytes_decide_the_kind) {
  EXPECT_EQ(classify_datagram(GetParam().head.data()), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    accepted_and_ignored, classify_datagram_test,
    testing::Values(classify_row{"discovery", {0xEF, 0xFE, 0x02, 0x00}, datagram_kind::discovery},
                    classify_row{
                        "discovery_byte3_01", {0xEF, 0xFE, 0x02, 0x01}, datagram_kind::other},
                    classify_row{"stop", {0xEF, 0xFE, 0x04, 0x00}, datagram_kind::stop},
                    classify_row{"start_01", {0xEF, 0xFE, 0x04, 0x01}, datagram_kind::start},
                    classify_row{"start_02", {0xEF, 0xFE, 0x04, 0x02}, datagram_kind::start},
                    classify_row{"start_03", {0xEF, 0xFE, 0x04, 0x03}, datagram_kind::start},
                    classify_row{"command_04", {0xEF, 0xFE, 0x04, 0x04}, datagram_kind::other},
                    classify_row{"command_ff", {0xEF, 0xFE, 0x04, 0xFF}, datagram_kind::other},
                    classify_row{"ep2", {0xEF, 0xFE, 0x01, 0x02}, datagram_kind::ep2},
                    classify_row{"ep6_preset", {0xEF, 0xFE, 0x01, 0x06}, datagram_kind::other},
                    classify_row{"ep4", {0xEF, 0xFE, 0x01, 0x04}, datagram_kind::other},
                    classify_row{"wrong_sync_0", {0xEE, 0xFE, 0x01, 0x02}, datagram_kind::other},
                    classify_row{"wrong_sync_1", {0xEF, 0xFF, 0x02, 0x00}, datagram_kind::other},
                    classify_row{"type_03", {0xEF, 0xFE, 0x03, 0x00}, datagram_kind::other}),
    test_rows::row_name);

TEST(discovery_reply, is_template_with_status_then_zeros) {
  uint8_t buf[discovery_reply_size];
  std::memset(buf, 0xAA, sizeof buf);
  build_discovery_reply(buf, 3);
  EXPECT_EQ(buf[0], 0xEF);
  EXPECT_EQ(buf[1], 0xFE);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(buf[9], 0x20);
  EXPECT_EQ(buf[10], 0x01);
  for (size_t i = discovery_template_size; i < discovery_reply_size; ++i) EXPECT_EQ(buf[i], 0) << i;
  build_discovery_reply(buf, 2);
  EXPECT_EQ(buf[2], 2);
}

TEST(wire_word, keeps_wire_byte_order_in_little_endian_word) {
  const uint8_t bytes[5] = {0x00, 0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(wire_word(bytes + 1), 0x78563412u);  // misaligned source on purpose
}

}  // namespace
