// Process-wide radio control state.
//
// One global per setting, presence flag, last-sent cache, update flag and
// keyer output. Every variable that more than one thread touches is a
// std::atomic of the width the radio uses for it; ld()/st() are single relaxed
// loads and stores (plain loads and stores on the ARM target). The stream
// hand-shake flags enable_thread/active_thread use release/acquire instead.
//
// Who writes what at run time:
//   main thread (receive loop, process_ep2, the *_write functions): settings,
//     packed words, caches, update flags, enable_thread, addr_ep6, cw_release;
//   keyer thread: cw_ptt, cw_ptt_delay, keyer_owns_tx, paddle_latest/paddle_memory, cw_released,
//     keyer_ticks;
//   stream thread: active_thread (cleared as its last act), stream_progress.
// Presence flags and descriptors are written only during start-up, before any
// other thread exists.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "hardware/i2c.h"  // i2c_fd, dac_full_scale

template <class T>
inline T ld(const std::atomic<T>& v) {
  return v.load(std::memory_order_relaxed);
}
template <class T, class U>
inline void st(std::atomic<T>& v, U x) {
  v.store(static_cast<T>(x), std::memory_order_relaxed);
}

// Receiver and stream settings
extern std::atomic<int32_t> receivers;     // 1..8 streamed receivers
extern std::atomic<int32_t> rate;          // 0..3: 48, 96, 192, 384 kHz
extern std::atomic<uint16_t> rx_synced;    // 1: receivers 1 and 2 locked together
extern std::atomic<uint32_t> tx_freq_hz;   // Hz, transmit
extern std::atomic<uint32_t> rx1_freq_hz;  // Hz, receiver 1
extern std::atomic<uint32_t> rx2_freq_hz;  // Hz, receiver 2
constexpr uint32_t freq_max = 30720000;    // Hz
constexpr uint32_t freq_min = 0;           // Hz

// Transmit and keyer settings written by decoding
extern std::atomic<uint8_t> tx_eer;          // EER bit: C2 bit 0 of the word with C0 = 0x00
extern std::atomic<uint8_t> rx_att_db;       // dB, 0..31: the word with C0 = 0x14
extern std::atomic<uint8_t> sidetone_level;  // sidetone level 0..255
extern std::atomic<uint8_t> keyer_enabled;   // 1: internal keyer enabled
extern std::atomic<uint8_t> cw_delay;        // RF delay, ms
extern std::atomic<uint16_t> cw_hang;        // PTT hang, ms, 0..1023 (0 stands for 10)
extern std::atomic<uint8_t> cw_speed;        // words per minute, 0..63
extern std::atomic<uint8_t> cw_mode;         // 0 straight, 1..3 iambic
extern std::atomic<uint8_t> cw_weight;       // 0..127, 50 = dash of three dots
extern std::atomic<uint8_t> cw_spacing;      // 1: enforce letter space
extern std::atomic<uint8_t> cw_reversed;     // 1: paddles swapped

// Keyer-owned state
extern std::atomic<uint8_t> cw_ptt;          // 1 while the keyer holds the transmitter
extern std::atomic<int32_t> cw_ptt_delay;    // hang countdown, ticks
extern std::atomic<uint8_t> keyer_owns_tx;   // 1 while the keyer owns the transmit path
extern std::atomic<uint32_t> paddle_latest;  // latest paddle sample
extern std::atomic<uint32_t> paddle_memory;  // paddle presses latched for the next element
// Shutdown hand-shake: the main thread sets cw_release to ask the keyer to end
// any keying and drop its PTT in the usual order; the keyer sets cw_released
// when that is done and keys nothing from then on.
extern std::atomic<uint8_t> cw_release;   // written by the main thread
extern std::atomic<uint8_t> cw_released;  // written by the keyer thread
// Progress, for the service manager's watchdog (net/service.h): the keyer
// adds 1 after every sleep it wakes from (a tick, a step of a longer sleep,
// the released keyer's idle sleep); the stream thread adds 1 after every
// batch it sends and at every look at the FIFO of its bounded batch wait.
// Each is written by its own thread only and wraps.
extern std::atomic<uint32_t> keyer_ticks;
extern std::atomic<uint32_t> stream_progress;
// Event descriptor (eventfd) the keyer signals at every change of cw_ptt and
// the receive loop waits on; negative when none was made. Set at start-up.
extern std::atomic<int32_t> ptt_event_fd;

// Alex filter board
extern std::atomic<uint16_t> filter_settings;  // the word with C0 = 0x00, packed (control/words.h)
extern std::atomic<uint16_t> filter_manual;    // the word with C0 = 0x12: manual filters
extern std::atomic<uint16_t> alex_rx_sent;     // cache: last receive word written
extern std::atomic<uint16_t> alex_tx_sent;     // cache: last transmit word written
extern std::atomic<uint16_t> alex_update;

// Misc board (0x23)
extern std::atomic<uint16_t> misc_rx_att_db;   // dB, the word with C0 = 0x14
extern std::atomic<uint16_t> misc_rx2_att_db;  // dB, the word with C0 = 0x16
extern std::atomic<uint16_t> misc_relays;      // relay bits, the word with C0 = 0x12
extern std::atomic<uint16_t> misc_word_sent;
extern std::atomic<uint16_t> misc_update;

// Nucleo board (0x55)
extern std::atomic<uint32_t> nucleo_settings;   // the word with C0 = 0x00, packed (control/words.h)
extern std::atomic<uint32_t> nucleo_relays;     // relay bits, the word with C0 = 0x12
extern std::atomic<uint32_t> nucleo_rx_att_db;  // dB, the word with C0 = 0x14
extern std::atomic<uint32_t> nucleo_rx2_att_db;  // dB, the word with C0 = 0x16
extern std::atomic<uint32_t> nucleo_word_sent;   // cache: last word sent
extern std::atomic<uint32_t> nucleo_bands_sent;  // cache: last band byte sent
extern std::atomic<int32_t> nucleo_update;

// Serial band message
extern std::atomic<int32_t> uart_fd;         // negative when the port did not open
extern std::atomic<uint8_t> icom_band_data;  // cache: last band code sent

// Accessories that answered the start-up probe: bit i2c_present(a) for
// accessory a (hardware/i2c.h). Set only during start-up.
extern std::atomic<uint16_t> i2c_found;
inline bool i2c_has(i2c_accessory a) {
  return (ld(i2c_found) & i2c_present(a)) != 0;
}
// Marks one accessory present or absent; for tests and benchmarks.
inline void set_i2c_has(i2c_accessory a, bool present) {
  const uint16_t others = static_cast<uint16_t>(ld(i2c_found) & ~i2c_present(a));
  st(i2c_found, present ? others | i2c_present(a) : others);
}

// Last-sent caches of I2C messages
extern std::atomic<uint16_t> i2c_pene_data;
extern std::atomic<uint16_t> filter_expander_sent;
extern std::atomic<uint16_t> i2c_level_data;
extern std::atomic<uint16_t> i2c_drive_data;
extern std::atomic<uint16_t> i2c_dac0_data;  // initial 4095
extern std::atomic<uint16_t> i2c_dac1_data;  // initial 4095
extern std::atomic<uint8_t> i2c_boost_data;
extern std::atomic<uint16_t> arduino_tx_khz_sent;            // kHz
extern std::atomic<uint16_t> arduino_rx1_khz_sent;           // kHz
extern std::atomic<uint16_t> arduino_rx2_khz_sent;           // kHz
extern std::atomic<uint32_t> arduino_outputs_antennas_sent;  // 24 bits used
extern std::atomic<uint32_t> arduino_tx_attenuation_sent;    // 18 bits used
extern std::atomic<uint16_t> arduino_rx_attenuation_sent;

// Drive level 0..255 -> attenuation in dB; filled once at start-up, then read only.
extern uint8_t drive_db_table[256];

// Network
extern std::atomic<int32_t> sock_ep2;
// Destination of the EP6 stream. Written by the receive loop only while no
// stream thread runs (ordered by the enable_thread/active_thread hand-shake).
extern sockaddr_in addr_ep6;

// Receive stream thread hand-shake: the receive loop alone writes
// enable_thread (release); active_thread is set by the loop before the
// thread is created and cleared by the thread as its last act (release).
extern std::atomic<int32_t> enable_thread;
extern std::atomic<int32_t> active_thread;

// Probes the accessories on i2c_fd with the cached DAC and arduino values and
// sets i2c_found from what answered. Start-up only.
void probe_i2c_accessories();

// Puts every variable above, and i2c_fd, back to the value it holds when the
// process starts. For in-process tests and the simulator only, while no other
// thread of theirs runs; the board process never calls it.
void control_state_reset();
