// The control state: the values every client starts from.
#include "control/state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

namespace {

// Shared words are single loads and stores of their width, on the 32-bit
// board as on the build machine.
static_assert(std::atomic<uint8_t>::is_always_lock_free &&
              std::atomic<uint16_t>::is_always_lock_free &&
              std::atomic<int32_t>::is_always_lock_free &&
              std::atomic<uint32_t>::is_always_lock_free);

TEST(control_state_defaults, a_reset_restores_every_default_a_new_client_relies_on) {
  st(receivers, 8);
  st(rate, 3);
  st(cw_speed, 60);
  st(cw_weight, 0);
  st(i2c_dac0_data, 0);
  st(i2c_dac1_data, 0);
  st(freq_data[1], 7100000);
  st(i2c_codec, 1);
  st(cw_ptt, 1);
  st(alex_update, 1);
  addr_ep6.sin_port = 1;
  control_state_reset();
  EXPECT_EQ(ld(receivers), 1);
  EXPECT_EQ(ld(rate), 0);
  EXPECT_EQ(ld(cw_speed), 25);
  EXPECT_EQ(ld(cw_weight), 50);
  EXPECT_EQ(ld(i2c_dac0_data), 4095);
  EXPECT_EQ(ld(i2c_dac1_data), 4095);
  EXPECT_EQ(ld(freq_data[1]), 0u);
  EXPECT_EQ(ld(i2c_codec), 0);
  EXPECT_EQ(ld(cw_ptt), 0);
  EXPECT_EQ(ld(alex_update), 0);
  EXPECT_EQ(addr_ep6.sin_port, 0);
  EXPECT_LT(ld(uart_fd), 0);
  EXPECT_LT(ld(i2c_fd), 0);
  EXPECT_LT(ld(sock_ep2), 0);
}

}  // namespace
