// Limits of the simulated board: the latest time an input-line script may
// name, and the serial port that start-up opens while the FPGA model's
// thread already runs (the sanitizer builds check the latter for a race).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "model_fixture.h"
#include "sim/sim_scene.h"

TEST_F(model_test, a_script_time_up_to_about_24_days_is_accepted_and_waits_for_its_time) {
  std::vector<sim_gpio_step> steps, rejected;
  std::string error;
  ASSERT_TRUE(sim_gpio_parse("0 1\n2147483647 2\n", &steps, &error)) << error;
  // Beyond it the model's nanosecond clock would overflow.
  EXPECT_FALSE(sim_gpio_parse("0 1\n2147483648 2\n", &rejected, &error));
  EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;

  sim_model_config config;
  config.gpio = steps;
  start(config);
  sim_fpga_step();
  EXPECT_EQ(read8(gpio_in), 1);
  advance_us(3'600'000'000);  // an hour later the last step is still ahead
  sim_fpga_step();
  EXPECT_EQ(read8(gpio_in), 1);
}

TEST(sim_serial_port, the_model_thread_reads_a_port_opened_after_it_started) {
  sim_board board({.model = &default_model});
  sim_config.uart_present = true;
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
}
