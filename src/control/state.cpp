#include "control/state.h"

#include <cstddef>
#include <cstring>

#include "hardware/i2c.h"

// Shared words are single loads and stores of their width, on the 32-bit
// board as on the build machine.
static_assert(std::atomic<uint8_t>::is_always_lock_free &&
              std::atomic<uint16_t>::is_always_lock_free &&
              std::atomic<int32_t>::is_always_lock_free &&
              std::atomic<uint32_t>::is_always_lock_free);

// Every shared atomic of the control state, with the value it holds when the
// process starts: X(type, name, array extent or nothing, initial value). The
// definitions and control_state_reset() are both made from this list, so no
// variable can start from one value and be reset to another.
#define CONTROL_STATE(X)                       \
  X(int32_t, receivers, , 1)                   \
  X(int32_t, rate, , 0)                        \
  X(uint16_t, rx_sync_data, , 0)               \
  X(uint32_t, freq_data, [3], 0)               \
  X(uint8_t, tx_eer_data, , 0)                 \
  X(uint8_t, rx_att_data, , 0)                 \
  X(uint8_t, dac_level_data, , 0)              \
  X(uint8_t, cw_int_data, , 0)                 \
  X(uint8_t, cw_delay, , 0)                    \
  X(uint16_t, cw_hang, , 0)                    \
  X(uint8_t, cw_speed, , 25)                   \
  X(uint8_t, cw_mode, , 0)                     \
  X(uint8_t, cw_weight, , 50)                  \
  X(uint8_t, cw_spacing, , 0)                  \
  X(uint8_t, cw_reversed, , 0)                 \
  X(uint8_t, cw_ptt, , 0)                      \
  X(int32_t, cw_ptt_delay, , 0)                \
  X(uint8_t, tx_mux_data, , 0)                 \
  X(uint32_t, cw_memory, [2], 0)               \
  X(uint8_t, cw_release, , 0)                  \
  X(uint8_t, cw_released, , 0)                 \
  X(uint32_t, keyer_ticks, , 0)                \
  X(uint32_t, stream_progress, , 0)            \
  X(int32_t, ptt_event_fd, , -1)               \
  X(uint16_t, alex_data_0, , 0)                \
  X(uint16_t, alex_data_1, , 0)                \
  X(uint16_t, alex_data_rx, , 0)               \
  X(uint16_t, alex_data_tx, , 0)               \
  X(uint16_t, alex_update, , 0)                \
  X(uint16_t, misc_data_0, , 0)                \
  X(uint16_t, misc_data_1, , 0)                \
  X(uint16_t, misc_data_2, , 0)                \
  X(uint16_t, i2c_misc_data, , 0)              \
  X(uint16_t, misc_update, , 0)                \
  X(uint32_t, nucleo_data_0, , 0)              \
  X(uint32_t, nucleo_data_1, , 0)              \
  X(uint32_t, nucleo_data_2, , 0)              \
  X(uint32_t, nucleo_data_3, , 0)              \
  X(uint32_t, i2c_nucleo_data, [2], 0)         \
  X(int32_t, nucleo_update, , 0)               \
  X(int32_t, uart_fd, , -1)                    \
  X(uint8_t, icom_band_data, , 0)              \
  X(uint16_t, i2c_found, , 0)                  \
  X(uint16_t, i2c_pene_data, , 0)              \
  X(uint16_t, i2c_alex_data, , 0)              \
  X(uint16_t, i2c_level_data, , 0)             \
  X(uint16_t, i2c_drive_data, , 0)             \
  X(uint16_t, i2c_dac0_data, , dac_full_scale) \
  X(uint16_t, i2c_dac1_data, , dac_full_scale) \
  X(uint8_t, i2c_boost_data, , 0)              \
  X(uint16_t, i2c_ard_ftx_data, , 0)           \
  X(uint16_t, i2c_ard_frx1_data, , 0)          \
  X(uint16_t, i2c_ard_frx2_data, , 0)          \
  X(uint32_t, i2c_ard_ocant_data, , 0)         \
  X(uint32_t, i2c_ard_txatt_data, , 0)         \
  X(uint16_t, i2c_ard_rxatt_data, , 0)         \
  X(int32_t, sock_ep2, , -1)                   \
  X(int32_t, enable_thread, , 0)               \
  X(int32_t, active_thread, , 0)

#define DEFINE_ATOMIC(type, name, extent, initial) std::atomic<type> name extent{initial};
CONTROL_STATE(DEFINE_ATOMIC)
#undef DEFINE_ATOMIC

// Zero when the process starts.
uint8_t log_table_lookup[256];
sockaddr_in addr_ep6{};

void probe_i2c_accessories() {
  st(i2c_found, i2c_probe_accessories(ld(i2c_dac0_data), ld(i2c_dac1_data), ld(i2c_ard_frx1_data)));
}

namespace {

template <class T, class U>
void reset_to(std::atomic<T>& v, U initial) {
  st(v, initial);
}
template <class T, size_t N, class U>
void reset_to(std::atomic<T> (&a)[N], U initial) {
  for (auto& v : a) st(v, initial);
}

}  // namespace

void control_state_reset() {
#define RESET_ATOMIC(type, name, extent, initial) reset_to(name, initial);
  CONTROL_STATE(RESET_ATOMIC)
#undef RESET_ATOMIC
  std::memset(log_table_lookup, 0, sizeof log_table_lookup);
  addr_ep6 = sockaddr_in{};
  st(i2c_fd, i2c_fd_closed);
}
