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
// process starts: X(type, name, initial value). The definitions and
// control_state_reset() are both made from this list, so no variable can
// start from one value and be reset to another.
#define CONTROL_STATE(X)                        \
  X(int32_t, receivers, 1)                      \
  X(int32_t, rate, 0)                           \
  X(uint16_t, rx_synced, 0)                     \
  X(uint32_t, tx_freq_hz, 0)                    \
  X(uint32_t, rx1_freq_hz, 0)                   \
  X(uint32_t, rx2_freq_hz, 0)                   \
  X(uint8_t, tx_eer, 0)                         \
  X(uint8_t, rx_att_db, 0)                      \
  X(uint8_t, sidetone_level, 0)                 \
  X(uint8_t, keyer_enabled, 0)                  \
  X(uint8_t, cw_delay, 0)                       \
  X(uint16_t, cw_hang, 0)                       \
  X(uint8_t, cw_speed, 25)                      \
  X(uint8_t, cw_mode, 0)                        \
  X(uint8_t, cw_weight, 50)                     \
  X(uint8_t, cw_spacing, 0)                     \
  X(uint8_t, cw_reversed, 0)                    \
  X(uint8_t, cw_ptt, 0)                         \
  X(int32_t, cw_ptt_delay, 0)                   \
  X(uint8_t, keyer_owns_tx, 0)                  \
  X(uint32_t, paddle_latest, 0)                 \
  X(uint32_t, paddle_memory, 0)                 \
  X(uint8_t, cw_release, 0)                     \
  X(uint8_t, cw_released, 0)                    \
  X(uint32_t, keyer_ticks, 0)                   \
  X(uint32_t, stream_progress, 0)               \
  X(int32_t, ptt_event_fd, -1)                  \
  X(uint16_t, filter_settings, 0)               \
  X(uint16_t, filter_manual, 0)                 \
  X(uint16_t, alex_rx_sent, 0)                  \
  X(uint16_t, alex_tx_sent, 0)                  \
  X(uint16_t, alex_update, 0)                   \
  X(uint16_t, misc_rx_att_db, 0)                \
  X(uint16_t, misc_rx2_att_db, 0)               \
  X(uint16_t, misc_relays, 0)                   \
  X(uint16_t, misc_word_sent, 0)                \
  X(uint16_t, misc_update, 0)                   \
  X(uint32_t, nucleo_settings, 0)               \
  X(uint32_t, nucleo_relays, 0)                 \
  X(uint32_t, nucleo_rx_att_db, 0)              \
  X(uint32_t, nucleo_rx2_att_db, 0)             \
  X(uint32_t, nucleo_word_sent, 0)              \
  X(uint32_t, nucleo_bands_sent, 0)             \
  X(int32_t, nucleo_update, 0)                  \
  X(int32_t, uart_fd, -1)                       \
  X(uint8_t, icom_band_data, 0)                 \
  X(uint16_t, i2c_found, 0)                     \
  X(uint16_t, i2c_pene_data, 0)                 \
  X(uint16_t, filter_expander_sent, 0)          \
  X(uint16_t, i2c_level_data, 0)                \
  X(uint16_t, i2c_drive_data, 0)                \
  X(uint16_t, i2c_dac0_data, dac_full_scale)    \
  X(uint16_t, i2c_dac1_data, dac_full_scale)    \
  X(uint8_t, i2c_boost_data, 0)                 \
  X(uint16_t, arduino_tx_khz_sent, 0)           \
  X(uint16_t, arduino_rx1_khz_sent, 0)          \
  X(uint16_t, arduino_rx2_khz_sent, 0)          \
  X(uint32_t, arduino_outputs_antennas_sent, 0) \
  X(uint32_t, arduino_tx_attenuation_sent, 0)   \
  X(uint16_t, arduino_rx_attenuation_sent, 0)   \
  X(int32_t, sock_ep2, -1)                      \
  X(int32_t, enable_thread, 0)                  \
  X(int32_t, active_thread, 0)

#define DEFINE_ATOMIC(type, name, initial) std::atomic<type> name{initial};
CONTROL_STATE(DEFINE_ATOMIC)
#undef DEFINE_ATOMIC

// Zero when the process starts.
uint8_t drive_db_table[256];
sockaddr_in addr_ep6{};

void probe_i2c_accessories() {
  st(i2c_found,
     i2c_probe_accessories(ld(i2c_dac0_data), ld(i2c_dac1_data), ld(arduino_rx1_khz_sent)));
}

void control_state_reset() {
#define RESET_ATOMIC(type, name, initial) st(name, static_cast<type>(initial));
  CONTROL_STATE(RESET_ATOMIC)
#undef RESET_ATOMIC
  std::memset(drive_db_table, 0, sizeof drive_db_table);
  addr_ep6 = sockaddr_in{};
  st(i2c_fd, i2c_fd_closed);
}
