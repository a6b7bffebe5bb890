// The reset that every test starts from puts back the values the shared
// variables hold when the process starts: each is read while this binary's
// static objects are constructed (the variables are constant-initialised, so
// they are in place by then), then changed, reset and read again.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "control/state.h"

namespace {

struct shared_var {
  const char* name;
  std::function<int64_t()> read;
  std::function<void(int64_t)> write;
};

#define VAR(var)                                                                      \
  shared_var {                                                                        \
#var, [] { return static_cast<int64_t>(ld(var)); }, [](int64_t x) { st(var, x); } \
  }

const std::vector<shared_var> vars = {
    VAR(receivers),
    VAR(rate),
    VAR(rx_sync_data),
    VAR(freq_data[0]),
    VAR(freq_data[1]),
    VAR(freq_data[2]),
    VAR(tx_eer_data),
    VAR(rx_att_data),
    VAR(dac_level_data),
    VAR(cw_int_data),
    VAR(cw_delay),
    VAR(cw_hang),
    VAR(cw_speed),
    VAR(cw_mode),
    VAR(cw_weight),
    VAR(cw_spacing),
    VAR(cw_reversed),
    VAR(cw_ptt),
    VAR(cw_ptt_delay),
    VAR(tx_mux_data),
    VAR(cw_memory[0]),
    VAR(cw_memory[1]),
    VAR(cw_release),
    VAR(cw_released),
    VAR(ptt_event_fd),
    VAR(alex_data_0),
    VAR(alex_data_1),
    VAR(alex_data_rx),
    VAR(alex_data_tx),
    VAR(alex_update),
    VAR(misc_data_0),
    VAR(misc_data_1),
    VAR(misc_data_2),
    VAR(i2c_misc_data),
    VAR(misc_update),
    VAR(nucleo_data_0),
    VAR(nucleo_data_1),
    VAR(nucleo_data_2),
    VAR(nucleo_data_3),
    VAR(i2c_nucleo_data[0]),
    VAR(i2c_nucleo_data[1]),
    VAR(nucleo_update),
    VAR(uart_fd),
    VAR(icom_band_data),
    VAR(i2c_fd),
    VAR(i2c_pene),
    VAR(i2c_alex),
    VAR(i2c_level),
    VAR(i2c_misc),
    VAR(i2c_drive),
    VAR(i2c_arduino),
    VAR(i2c_nucleo),
    VAR(i2c_dac0),
    VAR(i2c_dac1),
    VAR(i2c_codec),
    VAR(i2c_pene_data),
    VAR(i2c_alex_data),
    VAR(i2c_level_data),
    VAR(i2c_drive_data),
    VAR(i2c_dac0_data),
    VAR(i2c_dac1_data),
    VAR(i2c_boost_data),
    VAR(i2c_ard_ftx_data),
    VAR(i2c_ard_frx1_data),
    VAR(i2c_ard_frx2_data),
    VAR(i2c_ard_ocant_data),
    VAR(i2c_ard_txatt_data),
    VAR(i2c_ard_rxatt_data),
    VAR(sock_ep2),
    VAR(enable_thread),
    VAR(active_thread),
};

#undef VAR

// Taken during static initialisation, before main and any test.
struct snapshot {
  std::vector<int64_t> values;
  sockaddr_in addr = addr_ep6;
  std::vector<uint8_t> log_table{std::begin(log_table_lookup), std::end(log_table_lookup)};
  snapshot() {
    for (const auto& v : vars) values.push_back(v.read());
  }
};
const snapshot at_start;

TEST(initial_state, the_reset_puts_back_the_values_the_process_starts_with) {
  for (const auto& v : vars) v.write(v.read() + 1);
  addr_ep6.sin_port = 1;
  log_table_lookup[7] = 1;
  control_state_reset();
  for (size_t i = 0; i < vars.size(); ++i)
    EXPECT_EQ(vars[i].read(), at_start.values[i]) << vars[i].name;
  EXPECT_EQ(std::memcmp(&addr_ep6, &at_start.addr, sizeof addr_ep6), 0);
  EXPECT_EQ(std::vector<uint8_t>(std::begin(log_table_lookup), std::end(log_table_lookup)),
            at_start.log_table);
}

}  // namespace
