// Alex filter board words, written through the FPGA's alex register.
#include <algorithm>

#include "control/state.h"
#include "control/writers.h"
#include "hardware/fpga.h"

namespace {

// Marks in the alex register telling the FPGA which word bits 0-15 carry.
constexpr uint32_t alex_rx_mark = 0x10000;
constexpr uint32_t alex_tx_mark = 0x20000;

// Receive word
constexpr uint16_t rx_always = 0x0001;
constexpr uint16_t rx_hpf_13mhz = 0x0002;
constexpr uint16_t rx_hpf_20mhz = 0x0004;
constexpr uint16_t rx_6m_path = 0x0008;
constexpr uint16_t rx_hpf_9_5mhz = 0x0010;
constexpr uint16_t rx_hpf_6_5mhz = 0x0020;
constexpr uint16_t rx_hpf_1_5mhz = 0x0040;
constexpr uint16_t rx_hpf_bypass = 0x1000;
constexpr int rx_ant_shift = 8;  // bits 8-10: antenna 3, 2, 1
constexpr int rx_out_shift = 11;
constexpr int rx_att20_shift = 13;
constexpr int rx_att10_shift = 14;
constexpr int rx_mox_shift = 15;

// Transmit word
constexpr uint16_t tx_always = 0x0008;
constexpr uint16_t tx_lpf_15mhz = 0x0010;
constexpr uint16_t tx_lpf_8mhz = 0x0020;
constexpr uint16_t tx_lpf_4_5mhz = 0x0040;
constexpr uint16_t tx_lpf_2_4mhz = 0x0080;
constexpr uint16_t tx_lpf_above_32mhz = 0x2000;
constexpr uint16_t tx_lpf_32mhz = 0x4000;
constexpr uint16_t tx_lpf_22mhz = 0x8000;
constexpr int tx_ant_shift = 8;  // bits 8-10: antenna 0, 1, 2
constexpr int tx_relay_shift = 11;
constexpr int tx_mox_shift = 12;

// alex_data_1
constexpr uint16_t manual_on = 0x8000;
constexpr uint16_t manual_6m = 0x0040;
constexpr uint16_t relay_disable = 0x0080;

uint16_t bit(uint16_t word, int n) {
  return (word >> n) & 1;
}

uint16_t auto_high_pass(uint32_t f_lo) {
  if (f_lo < 1416000) return rx_hpf_bypass;
  if (f_lo < 6500000) return rx_hpf_1_5mhz;
  if (f_lo < 9500000) return rx_hpf_6_5mhz;
  if (f_lo < 13000000) return rx_hpf_9_5mhz;
  if (f_lo < 20000000) return rx_hpf_13mhz;
  return rx_hpf_20mhz;
}

// alex_data_1 bits 0, 1, 2, 3, 4, 5 select receive bits 1, 2, 4, 5, 6, 12.
uint16_t manual_high_pass(uint16_t d1) {
  return static_cast<uint16_t>(bit(d1, 0) << 1 | bit(d1, 1) << 2 | bit(d1, 2) << 4 |
                               bit(d1, 3) << 5 | bit(d1, 4) << 6 | bit(d1, 5) << 12);
}

uint16_t auto_low_pass(uint32_t f) {
  if (f > 32000000) return tx_lpf_above_32mhz;
  if (f > 22000000) return tx_lpf_32mhz;
  if (f > 15000000) return tx_lpf_22mhz;
  if (f > 8000000) return tx_lpf_15mhz;
  if (f > 4500000) return tx_lpf_8mhz;
  if (f > 2400000) return tx_lpf_4_5mhz;
  return tx_lpf_2_4mhz;
}

// alex_data_1 bits 8-11 select transmit bits 4-7, bits 12-14 bits 13-15.
uint16_t manual_low_pass(uint16_t d1) {
  return static_cast<uint16_t>(((d1 >> 8) & 0x0F) << 4 | ((d1 >> 12) & 0x07) << 13);
}

}  // namespace

void alex_write() {
  // Boards with a codec have no Alex port behind the register.
  if (ld(i2c_codec)) return;

  const uint16_t d0 = ld(alex_data_0);
  const uint16_t d1 = ld(alex_data_1);
  const uint32_t rx1 = ld(freq_data[1]);
  const uint32_t rx2 = ld(freq_data[2]);
  const uint32_t f_hi = std::max(rx1, rx2);
  const uint32_t f_lo = std::min(rx1, rx2);
  const bool manual = (d1 & manual_on) != 0;
  const uint16_t mox = d0 & 1;

  // High-pass filters follow the lower receive frequency, the 6 m path the
  // higher one; the 6 m path bypasses every high-pass filter.
  const bool six_metres = manual ? (d1 & manual_6m) != 0 : f_hi > 50000000;
  uint16_t rx = rx_always;
  if (six_metres)
    rx |= rx_6m_path;
  else
    rx |= manual ? manual_high_pass(d1) : auto_high_pass(f_lo);
  const unsigned rx_ant = (d0 >> 5) & 3;
  if (rx_ant != 0) rx |= static_cast<uint16_t>(1u << (rx_ant_shift + 3 - rx_ant));
  rx |= static_cast<uint16_t>(bit(d0, 7) << rx_out_shift | bit(d0, 2) << rx_att20_shift |
                              bit(d0, 1) << rx_att10_shift | mox << rx_mox_shift);
  if (rx != ld(alex_data_rx)) {
    st(alex_data_rx, rx);
    write32(alex, alex_rx_mark | rx);
  }

  // The low-pass filter protects the transmitter while transmitting and
  // follows the higher receive frequency otherwise.
  const uint32_t f_tx = mox ? ld(freq_data[0]) : f_hi;
  uint16_t tx = tx_always;
  tx |= manual ? manual_low_pass(d1) : auto_low_pass(f_tx);
  const unsigned tx_ant = (d0 >> 8) & 3;
  if (tx_ant != 3) tx |= static_cast<uint16_t>(1u << (tx_ant_shift + tx_ant));
  const uint16_t relay = mox & ((d1 & relay_disable) ? 0 : 1);
  tx |= static_cast<uint16_t>(relay << tx_relay_shift | mox << tx_mox_shift);
  if (tx != ld(alex_data_tx)) {
    st(alex_data_tx, tx);
    write32(alex, alex_tx_mark | tx);
  }
}
