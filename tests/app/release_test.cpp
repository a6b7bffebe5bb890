// The release program on the simulated device: after a server ended keyed
// (a crash, kill -9, the watchdog's kill), it clears gpio_out bit 0 and the
// keyer's key and PTT bits of tx_rst, and nothing else; it leaves a running
// server's transmitter alone.
#include "app/release.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <ostream>
#include <string>

#include "app/startup.h"
#include "hardware/fpga.h"
#include "support/board.h"
#include "support/rows.h"
#include "support/sim_process.h"

namespace {

using test_rows::operator<<;

struct release_row {
  const char* name;
  uint8_t gpio_out, tx_rst;              // as the server left them
  uint8_t gpio_out_after, tx_rst_after;  // after the release
};
class release_program : public board_fixture, public testing::WithParamInterface<release_row> {
 protected:
  // Values written by a server that is gone: the device keeps them.
  void left_by_a_server(const release_row& r) {
    write8(gpio_out, r.gpio_out);
    write8(tx_rst, r.tx_rst);
    write8(rx_rst, 0x05);
    write8(lo_rst, 0x03);
    board.rec.stores.clear();
  }
};

TEST_P(release_program, clears_mox_and_the_keyers_key_and_ptt_only) {
  const release_row& r = GetParam();
  left_by_a_server(r);
  fpga_clear_pointers();  // a process of its own: it maps the blocks itself
  EXPECT_EQ(release_transmitter(), 0);
  EXPECT_EQ(read8(gpio_out), r.gpio_out_after);
  EXPECT_EQ(read8(tx_rst), r.tx_rst_after);
  EXPECT_EQ(read8(rx_rst), 0x05);
  EXPECT_EQ(read8(lo_rst), 0x03);
  for (const recorded_store& s : board.rec.stores) {
    const bool released = s.block == fpga_block::cfg && (s.offset == 2 || s.offset == 3);
    EXPECT_TRUE(released) << "a store beyond the release: " << s;
  }
}

INSTANTIATE_TEST_SUITE_P(rows, release_program,
                         testing::Values(release_row{"mox_and_keyer_keyed", 0xF7, 0x3F, 0xF6, 0x1B},
                                         release_row{"keyer_ptt_only", 0x02, 0x33, 0x02, 0x13},
                                         release_row{"nothing_keyed", 0x06, 0x03, 0x06, 0x03}),
                         test_rows::row_name);

TEST_F(board_fixture, release_leaves_a_running_servers_transmitter_alone) {
  temp_dir dir;
  const std::string lock = dir.file("varnholt.lock");
  const int held = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);  // the running server's
  write8(gpio_out, 0x01);
  write8(tx_rst, 0x24);
  server_lock_path = lock.c_str();
  testing::internal::CaptureStderr();
  EXPECT_EQ(release_transmitter(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "varnholt-release: a server is running (" + lock + " is locked): nothing written\n");
  EXPECT_EQ(read8(gpio_out), 0x01);
  EXPECT_EQ(read8(tx_rst), 0x24);

  ::close(held);  // the server ended: its lock went with it
  EXPECT_EQ(release_transmitter(), 0);
  EXPECT_EQ(read8(gpio_out), 0x00);
  EXPECT_EQ(read8(tx_rst), 0x00);
  server_lock_path = nullptr;
}

struct failure_row {
  const char* name;
  bool mem_present, mmap_fails;
  const char* message;
};
class release_failure : public board_fixture, public testing::WithParamInterface<failure_row> {};

TEST_P(release_failure, is_reported_with_status_1) {
  sim_config.mem_present = GetParam().mem_present;
  sim_config.mmap_fails = GetParam().mmap_fails;
  fpga_clear_pointers();
  testing::internal::CaptureStderr();
  EXPECT_EQ(release_transmitter(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(GetParam().message, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(rows, release_failure,
                         testing::Values(failure_row{"no_dev_mem", false, false, "open: "},
                                         failure_row{"mapping_fails", true, true, "mmap: "}),
                         test_rows::row_name);

TEST(release_main, takes_no_arguments) {
  char name[] = "varnholt-release", extra[] = "1";
  char* argv[] = {name, extra, nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(release_main(2, argv), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Usage: varnholt-release\n");
}

}  // namespace
