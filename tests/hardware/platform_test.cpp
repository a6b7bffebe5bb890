// Both backends and the test platform fill every entry of the seam: start-up
// and the loops call them without checking, so a missing one would only show
// on the board (or, in the test platform, as a null call in some test).
#include "hardware/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "sim/sim_platform.h"
#include "support/rows.h"
#include "support/test_platform.h"

namespace {

using test_rows::operator<<;

struct backend_row {
  const char* label;
  const platform_ops* ops;
};
class platform_backend : public testing::TestWithParam<backend_row> {};

// Every entry is a pointer (the name, then the operations), entries added
// later included.
TEST_P(platform_backend, fills_every_entry) {
  static_assert(sizeof(platform_ops) % sizeof(void*) == 0);
  const void* entries[sizeof(platform_ops) / sizeof(void*)];
  std::memcpy(entries, GetParam().ops, sizeof entries);
  for (size_t i = 0; i < std::size(entries); ++i) EXPECT_NE(entries[i], nullptr) << "entry " << i;
}

INSTANTIATE_TEST_SUITE_P(each_backend, platform_backend,
                         testing::Values(backend_row{"board", &board_platform},
                                         backend_row{"sim", &sim_platform},
                                         backend_row{"test", &test_platform::defaults}),
                         test_rows::row_name);

}  // namespace
