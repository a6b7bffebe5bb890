// The control state: widths the other threads rely on and the values every
// client starts from.
#include "control/state.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

template <class V, class T>
constexpr bool is_word = std::is_same_v<V, std::atomic<T>>&& std::atomic<T>::is_always_lock_free;

// Shared words are single loads and stores of exactly their width, on the
// 32-bit board as on the build machine.
static_assert(is_word<decltype(receivers), int32_t>);
static_assert(is_word<decltype(rate), int32_t>);
static_assert(is_word<decltype(rx_sync_data), uint16_t>);
static_assert(is_word<std::remove_extent_t<decltype(freq_data)>, uint32_t>);
static_assert(std::extent_v<decltype(freq_data)> == 3);
static_assert(is_word<decltype(tx_eer_data), uint8_t>);
static_assert(is_word<decltype(rx_att_data), uint8_t>);
static_assert(is_word<decltype(dac_level_data), uint8_t>);
static_assert(is_word<decltype(cw_int_data), uint8_t>);
static_assert(is_word<decltype(cw_delay), uint8_t>);
static_assert(is_word<decltype(cw_hang), uint16_t>);
static_assert(is_word<decltype(cw_speed), uint8_t>);
static_assert(is_word<decltype(cw_mode), uint8_t>);
static_assert(is_word<decltype(cw_weight), uint8_t>);
static_assert(is_word<decltype(cw_spacing), uint8_t>);
static_assert(is_word<decltype(cw_reversed), uint8_t>);
static_assert(is_word<decltype(cw_ptt), uint8_t>);
static_assert(is_word<decltype(cw_ptt_delay), int32_t>);
static_assert(is_word<decltype(tx_mux_data), uint8_t>);
static_assert(is_word<std::remove_extent_t<decltype(cw_memory)>, uint32_t>);
static_assert(is_word<decltype(alex_data_0), uint16_t>);
static_assert(is_word<decltype(alex_data_1), uint16_t>);
static_assert(is_word<decltype(alex_data_rx), uint16_t>);
static_assert(is_word<decltype(alex_data_tx), uint16_t>);
static_assert(is_word<decltype(alex_update), uint16_t>);
static_assert(is_word<decltype(misc_data_0), uint16_t>);
static_assert(is_word<decltype(i2c_misc_data), uint16_t>);
static_assert(is_word<decltype(misc_update), uint16_t>);
static_assert(is_word<decltype(nucleo_data_0), uint32_t>);
static_assert(is_word<std::remove_extent_t<decltype(i2c_nucleo_data)>, uint32_t>);
static_assert(is_word<decltype(nucleo_update), int32_t>);
static_assert(is_word<decltype(uart_fd), int32_t>);
static_assert(is_word<decltype(icom_band_data), uint8_t>);
static_assert(is_word<decltype(i2c_fd), int32_t>);
static_assert(is_word<decltype(i2c_codec), int32_t>);
static_assert(is_word<decltype(i2c_dac0_data), uint16_t>);
static_assert(is_word<decltype(i2c_boost_data), uint8_t>);
static_assert(is_word<decltype(i2c_ard_ocant_data), uint32_t>);
static_assert(is_word<decltype(i2c_ard_rxatt_data), uint16_t>);
static_assert(is_word<decltype(sock_ep2), int32_t>);
static_assert(is_word<decltype(enable_thread), int32_t>);
static_assert(is_word<decltype(active_thread), int32_t>);
static_assert(sizeof log_table_lookup == 256);
static_assert(sizeof addr_ep6 == 16);
static_assert(freq_max == 30720000 && freq_min == 0);

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
