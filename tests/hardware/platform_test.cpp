// Both backends fill every entry of the seam: start-up and the loops call
// them without checking, so a missing one would only show on the board.
#include "hardware/platform.h"

#include <gtest/gtest.h>

#include "sim/sim_platform.h"

namespace {

struct backend_row {
  const char* label;
  const platform_ops* ops;
};
std::ostream& operator<<(std::ostream& os, const backend_row& r) {
  return os << r.label;
}

class platform_backend : public testing::TestWithParam<backend_row> {};

TEST_P(platform_backend, fills_every_entry) {
  const platform_ops& o = *GetParam().ops;
  EXPECT_NE(o.name, nullptr);
  EXPECT_NE(o.open, nullptr);
  EXPECT_NE(o.write, nullptr);
  EXPECT_NE(o.tcgetattr, nullptr);
  EXPECT_NE(o.tcsetattr, nullptr);
  EXPECT_NE(o.tcflush, nullptr);
  EXPECT_NE(o.i2c_select, nullptr);
  EXPECT_NE(o.page_size, nullptr);
  EXPECT_NE(o.mmap, nullptr);
  EXPECT_NE(o.socket, nullptr);
  EXPECT_NE(o.get_hwaddr, nullptr);
  EXPECT_NE(o.setsockopt, nullptr);
  EXPECT_NE(o.bind, nullptr);
  EXPECT_NE(o.poll, nullptr);
  EXPECT_NE(o.recvmmsg, nullptr);
  EXPECT_NE(o.sendto, nullptr);
  EXPECT_NE(o.sendmmsg, nullptr);
  EXPECT_NE(o.thread_create, nullptr);
  EXPECT_NE(o.usleep, nullptr);
  EXPECT_NE(o.sleep_until, nullptr);
  EXPECT_NE(o.clock_now, nullptr);
  EXPECT_NE(o.set_thread_name, nullptr);
  EXPECT_NE(o.eventfd, nullptr);
  EXPECT_NE(o.eventfd_read, nullptr);
  EXPECT_NE(o.eventfd_write, nullptr);
}

INSTANTIATE_TEST_SUITE_P(each_backend, platform_backend,
                         testing::Values(backend_row{"board", &board_platform},
                                         backend_row{"sim", &sim_platform}),
                         [](const testing::TestParamInfo<backend_row>& i) {
                           return std::string(i.param.label);
                         });

}  // namespace
