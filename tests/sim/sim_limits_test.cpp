// Limits of the simulated board: the serial port that start-up opens while
// the FPGA model's thread already runs (the sanitizer builds check it for a
// race).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "model_fixture.h"

TEST(sim_serial_port, the_model_thread_reads_a_port_opened_after_it_started) {
  sim_config = sim_config_t{};
  sim_config.uart_present = true;
  sim_reset();
  platform = &sim_platform;
  sim_fpga_init(sim_model_config{});
  ASSERT_TRUE(sim_fpga_start_thread());

  // As start-up opens it, with the model's thread running.
  const int fd = platform->open("/dev/ttyPS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  cfmakeraw(&t);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  const uint8_t frame[] = {0xFE, 0xFE, 0x04, 0xE0, 0x05, 0x00, 0x00, 0x00, 0x07, 0xFD};
  ASSERT_EQ(write(fd, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (sim_fpga_stats().uart_frames == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(sim_fpga_stats().uart_frames, 1u);

  sim_fpga_shutdown();
  sim_reset();
  sim_config = sim_config_t{};
}
