// Alex filter board words, written through the FPGA's alex register.
#include <algorithm>

#include "common/field.h"
#include "control/state.h"
#include "control/words.h"
#include "control/writers.h"
#include "hardware/fpga.h"

namespace {

// The alex register: a word in bits 0..15 and a mark telling the FPGA which
// word it is.
constexpr bit_field alex_word{0x0FFFF};
constexpr uint32_t alex_rx_mark = 0x10000;
constexpr uint32_t alex_tx_mark = 0x20000;

// Receive word: high-pass filters, 50 MHz path, receive antenna, attenuator.
namespace rx_bits {
constexpr uint16_t always = 0x0001;
constexpr uint16_t hpf_13mhz = 0x0002;
constexpr uint16_t hpf_20mhz = 0x0004;
constexpr uint16_t six_metres = 0x0008;  // the 50 MHz path
constexpr uint16_t hpf_9_5mhz = 0x0010;
constexpr uint16_t hpf_6_5mhz = 0x0020;
constexpr uint16_t hpf_1_5mhz = 0x0040;
constexpr int antenna_top = 11;  // antenna code r = 1, 2, 3 sets bit 11 - r: 10, 9, 8
constexpr bit_field rx_out{0x0800};
constexpr uint16_t hpf_bypass = 0x1000;
constexpr bit_field att_20db{0x2000};
constexpr bit_field att_10db{0x4000};
constexpr bit_field mox{0x8000};
}  // namespace rx_bits

// Transmit word: low-pass filters, transmit antenna, relay.
namespace tx_bits {
constexpr uint16_t always = 0x0008;
constexpr bit_field lpf_low{0x00F0};  // manual low-pass selections of filter_manual bits 8..11
constexpr uint16_t lpf_15mhz = 0x0010;
constexpr uint16_t lpf_8mhz = 0x0020;
constexpr uint16_t lpf_4_5mhz = 0x0040;
constexpr uint16_t lpf_2_4mhz = 0x0080;
constexpr int antenna_base = 8;  // antenna code t = 0, 1, 2 sets bit 8 + t
constexpr bit_field relay{0x0800};
constexpr bit_field mox{0x1000};
constexpr bit_field lpf_high{0xE000};  // manual low-pass selections of filter_manual bits 12..14
constexpr uint16_t lpf_above_32mhz = 0x2000;
constexpr uint16_t lpf_32mhz = 0x4000;
constexpr uint16_t lpf_22mhz = 0x8000;
}  // namespace tx_bits

uint16_t bit(uint16_t word, int n) {
  return (word >> n) & 1;
}

uint16_t auto_high_pass(uint32_t f_lo) {
  using namespace rx_bits;
  if (f_lo < 1416000) return hpf_bypass;
  if (f_lo < 6500000) return hpf_1_5mhz;
  if (f_lo < 9500000) return hpf_6_5mhz;
  if (f_lo < 13000000) return hpf_9_5mhz;
  if (f_lo < 20000000) return hpf_13mhz;
  return hpf_20mhz;
}

// filter_manual bits 0, 1, 2, 3, 4, 5 select receive bits 1, 2, 4, 5, 6, 12.
uint16_t manual_high_pass(uint16_t d1) {
  return static_cast<uint16_t>(bit(d1, 0) << 1 | bit(d1, 1) << 2 | bit(d1, 2) << 4 |
                               bit(d1, 3) << 5 | bit(d1, 4) << 6 | bit(d1, 5) << 12);
}

uint16_t auto_low_pass(uint32_t f) {
  using namespace tx_bits;
  if (f > 32000000) return lpf_above_32mhz;
  if (f > 22000000) return lpf_32mhz;
  if (f > 15000000) return lpf_22mhz;
  if (f > 8000000) return lpf_15mhz;
  if (f > 4500000) return lpf_8mhz;
  if (f > 2400000) return lpf_4_5mhz;
  return lpf_2_4mhz;
}

uint16_t manual_low_pass(uint16_t d1) {
  return static_cast<uint16_t>(
      field_put(tx_bits::lpf_low, field_get(filter_manual_bits::low_pass_low, d1)) |
      field_put(tx_bits::lpf_high, field_get(filter_manual_bits::low_pass_high, d1)));
}

}  // namespace

void alex_write() {
  // Boards with a codec have no Alex port behind the register.
  if (i2c_has(i2c_accessory::codec)) return;

  const uint16_t d0 = ld(filter_settings);
  const uint16_t d1 = ld(filter_manual);
  const uint32_t rx1 = ld(rx1_freq_hz);
  const uint32_t rx2 = ld(rx2_freq_hz);
  const uint32_t f_hi = std::max(rx1, rx2);
  const uint32_t f_lo = std::min(rx1, rx2);
  const bool manual = field_get(filter_manual_bits::manual, d1) != 0;
  const uint32_t mox = field_get(filter_settings_bits::mox, d0);

  // High-pass filters follow the lower receive frequency, the 6 m path the
  // higher one; the 6 m path bypasses every high-pass filter.
  const bool six_metres =
      manual ? field_get(filter_manual_bits::six_metres, d1) != 0 : f_hi > 50000000;
  uint32_t rx = rx_bits::always;
  if (six_metres)
    rx |= rx_bits::six_metres;
  else
    rx |= manual ? manual_high_pass(d1) : auto_high_pass(f_lo);
  const uint32_t rx_ant = field_get(filter_settings_bits::rx_antenna, d0);
  if (rx_ant != 0) rx |= 1u << (rx_bits::antenna_top - rx_ant);
  rx |= field_put(rx_bits::rx_out, field_get(filter_settings_bits::rx_out, d0)) |
        field_put(rx_bits::att_20db, field_get(filter_settings_bits::att_20db, d0)) |
        field_put(rx_bits::att_10db, field_get(filter_settings_bits::att_10db, d0)) |
        field_put(rx_bits::mox, mox);
  if (rx != ld(alex_rx_sent)) {
    st(alex_rx_sent, rx);
    write32(alex, alex_rx_mark | field_put(alex_word, rx));
  }

  // The low-pass filter protects the transmitter while transmitting and
  // follows the higher receive frequency otherwise.
  const uint32_t f_tx = mox ? ld(tx_freq_hz) : f_hi;
  uint32_t tx = tx_bits::always;
  tx |= manual ? manual_low_pass(d1) : auto_low_pass(f_tx);
  const uint32_t tx_ant = field_get(filter_settings_bits::tx_antenna, d0);
  if (tx_ant != 3) tx |= 1u << (tx_bits::antenna_base + tx_ant);
  const uint32_t relay = mox && !field_get(filter_manual_bits::relay_disable, d1);
  tx |= field_put(tx_bits::relay, relay) | field_put(tx_bits::mox, mox);
  if (tx != ld(alex_tx_sent)) {
    st(alex_tx_sent, tx);
    write32(alex, alex_tx_mark | field_put(alex_word, tx));
  }
}
