#include "control/state.h"

#include <cstring>

#include "hardware/i2c.h"

std::atomic<int32_t> receivers{1};
std::atomic<int32_t> rate{0};
std::atomic<uint16_t> rx_sync_data{0};
std::atomic<uint32_t> freq_data[3]{};

std::atomic<uint8_t> tx_eer_data{0};
std::atomic<uint8_t> rx_att_data{0};
std::atomic<uint8_t> dac_level_data{0};
std::atomic<uint8_t> cw_int_data{0};
std::atomic<uint8_t> cw_delay{0};
std::atomic<uint16_t> cw_hang{0};
std::atomic<uint8_t> cw_speed{25};
std::atomic<uint8_t> cw_mode{0};
std::atomic<uint8_t> cw_weight{50};
std::atomic<uint8_t> cw_spacing{0};
std::atomic<uint8_t> cw_reversed{0};

std::atomic<uint8_t> cw_ptt{0};
std::atomic<int32_t> cw_ptt_delay{0};
std::atomic<uint8_t> tx_mux_data{0};
std::atomic<uint32_t> cw_memory[2]{};
std::atomic<uint8_t> cw_release{0};
std::atomic<uint8_t> cw_released{0};
std::atomic<uint32_t> keyer_ticks{0};
std::atomic<uint32_t> stream_progress{0};
std::atomic<int32_t> ptt_event_fd{-1};

std::atomic<uint16_t> alex_data_0{0};
std::atomic<uint16_t> alex_data_1{0};
std::atomic<uint16_t> alex_data_rx{0};
std::atomic<uint16_t> alex_data_tx{0};
std::atomic<uint16_t> alex_update{0};

std::atomic<uint16_t> misc_data_0{0};
std::atomic<uint16_t> misc_data_1{0};
std::atomic<uint16_t> misc_data_2{0};
std::atomic<uint16_t> i2c_misc_data{0};
std::atomic<uint16_t> misc_update{0};

std::atomic<uint32_t> nucleo_data_0{0};
std::atomic<uint32_t> nucleo_data_1{0};
std::atomic<uint32_t> nucleo_data_2{0};
std::atomic<uint32_t> nucleo_data_3{0};
std::atomic<uint32_t> i2c_nucleo_data[2]{};
std::atomic<int32_t> nucleo_update{0};

std::atomic<int32_t> uart_fd{-1};
std::atomic<uint8_t> icom_band_data{0};

std::atomic<int32_t> i2c_pene{0};
std::atomic<int32_t> i2c_alex{0};
std::atomic<int32_t> i2c_level{0};
std::atomic<int32_t> i2c_misc{0};
std::atomic<int32_t> i2c_drive{0};
std::atomic<int32_t> i2c_arduino{0};
std::atomic<int32_t> i2c_nucleo{0};
std::atomic<int32_t> i2c_dac0{0};
std::atomic<int32_t> i2c_dac1{0};
std::atomic<int32_t> i2c_codec{0};

std::atomic<uint16_t> i2c_pene_data{0};
std::atomic<uint16_t> i2c_alex_data{0};
std::atomic<uint16_t> i2c_level_data{0};
std::atomic<uint16_t> i2c_drive_data{0};
std::atomic<uint16_t> i2c_dac0_data{dac_full_scale};
std::atomic<uint16_t> i2c_dac1_data{dac_full_scale};
std::atomic<uint8_t> i2c_boost_data{0};
std::atomic<uint16_t> i2c_ard_ftx_data{0};
std::atomic<uint16_t> i2c_ard_frx1_data{0};
std::atomic<uint16_t> i2c_ard_frx2_data{0};
std::atomic<uint32_t> i2c_ard_ocant_data{0};
std::atomic<uint32_t> i2c_ard_txatt_data{0};
std::atomic<uint16_t> i2c_ard_rxatt_data{0};

uint8_t log_table_lookup[256];

std::atomic<int32_t> sock_ep2{-1};
sockaddr_in addr_ep6{};

std::atomic<int32_t> enable_thread{0};
std::atomic<int32_t> active_thread{0};

void set_i2c_presence(uint16_t found) {
  using A = i2c_accessory;
  const struct {
    A accessory;
    std::atomic<int32_t>* flag;
  } flags[] = {{A::pene, &i2c_pene},  {A::alex, &i2c_alex},       {A::level, &i2c_level},
               {A::misc, &i2c_misc},  {A::drive, &i2c_drive},     {A::dac0, &i2c_dac0},
               {A::dac1, &i2c_dac1},  {A::arduino, &i2c_arduino}, {A::nucleo, &i2c_nucleo},
               {A::codec, &i2c_codec}};
  static_assert(sizeof flags / sizeof flags[0] == i2c_accessory_count);
  for (const auto& f : flags) st(*f.flag, (found & i2c_present(f.accessory)) ? 1 : 0);
}

void probe_i2c_accessories() {
  set_i2c_presence(
      i2c_probe_accessories(ld(i2c_dac0_data), ld(i2c_dac1_data), ld(i2c_ard_frx1_data)));
}

void control_state_reset() {
  st(receivers, 1);
  st(rate, 0);
  st(rx_sync_data, 0);
  for (auto& f : freq_data) st(f, 0);
  st(tx_eer_data, 0);
  st(rx_att_data, 0);
  st(dac_level_data, 0);
  st(cw_int_data, 0);
  st(cw_delay, 0);
  st(cw_hang, 0);
  st(cw_speed, 25);
  st(cw_mode, 0);
  st(cw_weight, 50);
  st(cw_spacing, 0);
  st(cw_reversed, 0);
  st(cw_ptt, 0);
  st(cw_ptt_delay, 0);
  st(tx_mux_data, 0);
  for (auto& m : cw_memory) st(m, 0);
  st(cw_release, 0);
  st(cw_released, 0);
  st(keyer_ticks, 0);
  st(stream_progress, 0);
  st(ptt_event_fd, -1);
  st(alex_data_0, 0);
  st(alex_data_1, 0);
  st(alex_data_rx, 0);
  st(alex_data_tx, 0);
  st(alex_update, 0);
  st(misc_data_0, 0);
  st(misc_data_1, 0);
  st(misc_data_2, 0);
  st(i2c_misc_data, 0);
  st(misc_update, 0);
  st(nucleo_data_0, 0);
  st(nucleo_data_1, 0);
  st(nucleo_data_2, 0);
  st(nucleo_data_3, 0);
  for (auto& n : i2c_nucleo_data) st(n, 0);
  st(nucleo_update, 0);
  st(uart_fd, -1);
  st(icom_band_data, 0);
  st(i2c_fd, -1);
  for (auto* f : {&i2c_pene, &i2c_alex, &i2c_level, &i2c_misc, &i2c_drive, &i2c_arduino,
                  &i2c_nucleo, &i2c_dac0, &i2c_dac1, &i2c_codec})
    st(*f, 0);
  st(i2c_pene_data, 0);
  st(i2c_alex_data, 0);
  st(i2c_level_data, 0);
  st(i2c_drive_data, 0);
  st(i2c_dac0_data, dac_full_scale);
  st(i2c_dac1_data, dac_full_scale);
  st(i2c_boost_data, 0);
  st(i2c_ard_ftx_data, 0);
  st(i2c_ard_frx1_data, 0);
  st(i2c_ard_frx2_data, 0);
  st(i2c_ard_ocant_data, 0);
  st(i2c_ard_txatt_data, 0);
  st(i2c_ard_rxatt_data, 0);
  std::memset(log_table_lookup, 0, sizeof log_table_lookup);
  st(sock_ep2, -1);
  addr_ep6 = sockaddr_in{};
  enable_thread.store(0, std::memory_order_release);
  active_thread.store(0, std::memory_order_release);
}
