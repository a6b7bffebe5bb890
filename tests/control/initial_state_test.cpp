// The values every shared variable holds when the process starts, before
// start-up or any test has touched them: read while this binary's static
// objects are constructed (the variables themselves are constant-initialised,
// so they are in place by then), and compared with the table below. The reset
// that tests use must put back the same values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <vector>

#include "control/counters.h"
#include "control/state.h"
#include "hardware/stop_signal.h"
#include "net/tx_release.h"
#include "net/tx_sink.h"

namespace {

struct initial {
  const char* name;
  std::function<int64_t()> read;
  std::function<void(int64_t)> write;  // null: not part of the control state's reset
  int64_t value;
};

#define CONTROL(var, v)                                                                  \
  initial {                                                                              \
#var, [] { return static_cast<int64_t>(ld(var)); }, [](int64_t x) { st(var, x); }, v \
  }
#define OTHER(var, v)                                              \
  initial {                                                        \
#var, [] { return static_cast<int64_t>(ld(var)); }, nullptr, v \
  }

const std::vector<initial> table = {
    CONTROL(receivers, 1),
    CONTROL(rate, 0),
    CONTROL(rx_sync_data, 0),
    CONTROL(freq_data[0], 0),
    CONTROL(freq_data[1], 0),
    CONTROL(freq_data[2], 0),
    CONTROL(tx_eer_data, 0),
    CONTROL(rx_att_data, 0),
    CONTROL(dac_level_data, 0),
    CONTROL(cw_int_data, 0),
    CONTROL(cw_delay, 0),
    CONTROL(cw_hang, 0),
    CONTROL(cw_speed, 25),
    CONTROL(cw_mode, 0),
    CONTROL(cw_weight, 50),
    CONTROL(cw_spacing, 0),
    CONTROL(cw_reversed, 0),
    CONTROL(cw_ptt, 0),
    CONTROL(cw_ptt_delay, 0),
    CONTROL(tx_mux_data, 0),
    CONTROL(cw_memory[0], 0),
    CONTROL(cw_memory[1], 0),
    CONTROL(cw_release, 0),
    CONTROL(cw_released, 0),
    CONTROL(alex_data_0, 0),
    CONTROL(alex_data_1, 0),
    CONTROL(alex_data_rx, 0),
    CONTROL(alex_data_tx, 0),
    CONTROL(alex_update, 0),
    CONTROL(misc_data_0, 0),
    CONTROL(misc_data_1, 0),
    CONTROL(misc_data_2, 0),
    CONTROL(i2c_misc_data, 0),
    CONTROL(misc_update, 0),
    CONTROL(nucleo_data_0, 0),
    CONTROL(nucleo_data_1, 0),
    CONTROL(nucleo_data_2, 0),
    CONTROL(nucleo_data_3, 0),
    CONTROL(i2c_nucleo_data[0], 0),
    CONTROL(i2c_nucleo_data[1], 0),
    CONTROL(nucleo_update, 0),
    CONTROL(uart_fd, -1),
    CONTROL(icom_band_data, 0),
    CONTROL(i2c_fd, -1),
    CONTROL(i2c_pene, 0),
    CONTROL(i2c_alex, 0),
    CONTROL(i2c_level, 0),
    CONTROL(i2c_misc, 0),
    CONTROL(i2c_drive, 0),
    CONTROL(i2c_arduino, 0),
    CONTROL(i2c_nucleo, 0),
    CONTROL(i2c_dac0, 0),
    CONTROL(i2c_dac1, 0),
    CONTROL(i2c_codec, 0),
    CONTROL(i2c_pene_data, 0),
    CONTROL(i2c_alex_data, 0),
    CONTROL(i2c_level_data, 0),
    CONTROL(i2c_drive_data, 0),
    CONTROL(i2c_dac0_data, 4095),
    CONTROL(i2c_dac1_data, 4095),
    CONTROL(i2c_boost_data, 0),
    CONTROL(i2c_ard_ftx_data, 0),
    CONTROL(i2c_ard_frx1_data, 0),
    CONTROL(i2c_ard_frx2_data, 0),
    CONTROL(i2c_ard_ocant_data, 0),
    CONTROL(i2c_ard_txatt_data, 0),
    CONTROL(i2c_ard_rxatt_data, 0),
    CONTROL(sock_ep2, -1),
    CONTROL(enable_thread, 0),
    CONTROL(active_thread, 0),
    OTHER(tx_general_word[0], 0),
    OTHER(tx_fifo_stalled, 0),
    OTHER(dac_fifo_stalled, 0),
    OTHER(stop_requested, 0),
    OTHER(count_rx_fifo_resets, 0),
    OTHER(count_tx_released, 0),
    OTHER(count_tx_samples_dropped, 0),
    OTHER(count_codec_samples_dropped, 0),
};

#undef CONTROL
#undef OTHER

// Taken during static initialisation, before main and any test.
struct snapshot {
  std::vector<int64_t> values;
  bool addr_ep6_zero;
  bool log_table_zero;
  snapshot() {
    for (const auto& row : table) values.push_back(row.read());
    const auto* a = reinterpret_cast<const uint8_t*>(&addr_ep6);
    addr_ep6_zero = std::all_of(a, a + sizeof addr_ep6, [](uint8_t b) { return b == 0; });
    log_table_zero = std::all_of(std::begin(log_table_lookup), std::end(log_table_lookup),
                                 [](uint8_t b) { return b == 0; });
  }
};
const snapshot at_start;

TEST(initial_state, every_shared_variable_starts_at_its_value) {
  ASSERT_EQ(at_start.values.size(), table.size());
  for (size_t i = 0; i < table.size(); ++i)
    EXPECT_EQ(at_start.values[i], table[i].value) << table[i].name;
  EXPECT_TRUE(at_start.addr_ep6_zero);
  EXPECT_TRUE(at_start.log_table_zero);  // filled by start-up
}

TEST(initial_state, the_tests_reset_puts_back_the_same_values) {
  for (const auto& row : table) {
    if (row.write) row.write(row.value + 1);
  }
  control_state_reset();
  for (const auto& row : table) {
    if (row.write) {
      EXPECT_EQ(row.read(), row.value) << row.name;
    }
  }
}

}  // namespace
