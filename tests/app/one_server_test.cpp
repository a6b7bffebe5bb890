// One server per board: a second start-up finds the lock held, says so and
// ends with status 1 before it touches a device; the first keeps streaming.
// (The board's start-up with its lock file, on the simulated devices.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "net/net_harness.h"

namespace {

using namespace net_test;

TEST(one_server, second_start_up_exits_1_before_any_device_and_the_first_keeps_streaming) {
  char dir[] = "/tmp/varnholt-lock-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string run_dir = std::string(dir) + "/run";  // missing: start-up creates it
  const std::string lock = run_dir + "/varnholt.lock";
  server_lock_path = lock.c_str();
  {
    running_server first;
    ASSERT_TRUE(first.started);
    EXPECT_GE(server_lock_fd, 0);
    const int first_lock_fd = server_lock_fd;
    client c(first.port);
    c.start();
    ASSERT_TRUE(eventually([&] { return first.model.rx_fifo_restarts == 1; }));

    const size_t i2c_before = sim_i2c_log.size();
    const auto lo_rst_before = first.model.lo_rst_log();
    testing::internal::CaptureStderr();
    EXPECT_EQ(start_up_with_ones(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "varnholt: another server is running (" + lock + " is locked)\n");
    EXPECT_EQ(sim_i2c_log.size(), i2c_before);           // no probe
    EXPECT_EQ(first.model.lo_rst_log(), lo_rst_before);  // no register written
    EXPECT_EQ(server_lock_fd, first_lock_fd);

    // The first server: still streaming, still answering.
    first.model.add_rx_words(static_cast<uint32_t>(ep6_geometry_for(1).fill_threshold));
    int frames = 0;
    for (int f = 0; f < ep6_geometry_for(1).frames; ++f) {
      const auto got = c.receive();
      if (got && got->size() == frame_size) ++frames;
    }
    EXPECT_EQ(frames, ep6_geometry_for(1).frames);
    EXPECT_EQ(running_server::sync(c), 3);
    c.stop();
    EXPECT_EQ(running_server::sync(c), 2);
  }
  ::close(server_lock_fd);
  server_lock_fd = -1;
  server_lock_path = nullptr;
  ::unlink(lock.c_str());
  ::rmdir(run_dir.c_str());
  ::rmdir(dir);
}

}  // namespace
