// Band-decoder boards: the misc board (I/O expander at 0x23) and the nucleo
// board (microcontroller at 0x55) switch band filters and amplifiers from
// the bands of the three current frequencies.
#include <cstddef>
#include <iterator>

#include "common/field.h"
#include "control/state.h"
#include "control/writers.h"
#include "hardware/i2c.h"

namespace {

// The misc board's 16 output lines.
namespace misc_bits {
constexpr bit_field rx1_band{0x000F};
constexpr bit_field rx2_band{0x00F0};
constexpr bit_field tx_band_differs{0x0100};  // the transmit frequency is outside rx 1's band
constexpr bit_field rx_att{0x0600};           // misc_rx_att_db bits 3..4
constexpr bit_field rx_att2{0x1800};          // misc_rx2_att_db bits 3..4
constexpr bit_field relays{0x6000};           // misc_relays
}  // namespace misc_bits
// Bits 3..4 of an attenuation in dB (its 8 and 16 dB steps): what the misc
// board takes of it.
constexpr bit_field att_steps_8_16db{0x18};

// The nucleo board's word and band byte.
namespace nucleo_bits {
constexpr bit_field tx_band_differs{0x00000001};
constexpr bit_field data_0{0x0001FFFE};  // nucleo_settings (outputs, antennas, MOX)
constexpr bit_field data_1{0x000E0000};  // nucleo_relays (relays)
constexpr bit_field data_2{0x01F00000};  // nucleo_rx_att_db (receive attenuation)
constexpr bit_field data_3{0x3E000000};  // nucleo_rx2_att_db (second receive attenuation)
}  // namespace nucleo_bits
namespace band_byte_bits {
constexpr bit_field rx1_band{0x0F};
constexpr bit_field rx2_band{0xF0};
}  // namespace band_byte_bits

// Band edges in Hz, pairs of lower and upper edge, ascending.
constexpr int32_t misc_edges[] = {
    1700000,  2100000,  3400000,  3900000,  6900000,  7350000,  9900000,
    10250000, 13900000, 14450000, 17950000, 18250000, 20900000, 21550000,
    24800000, 25100000, 26900000, 30000000, 49000000, 55000000,
};
constexpr int32_t nucleo_edges[] = {
    1700000,  2100000,  3400000,  3900000,  5250000,  5450000,  6900000,  7350000,
    9900000,  10250000, 13900000, 14450000, 17950000, 18250000, 20900000, 21550000,
    24800000, 25100000, 26900000, 30000000, 49000000, 55000000,
};
static_assert(std::size(misc_edges) == 20 && std::size(nucleo_edges) == 22);

// Counts the edges strictly below f by binary search: an odd count means f
// lies inside band count / 2 + 1, an even count between bands.
template <size_t n>
int band_of(const int32_t (&edges)[n], uint32_t hz) {
  const int32_t f = static_cast<int32_t>(hz);
  size_t lo = 0, hi = n;
  while (hi > lo) {
    const size_t mid = lo + (hi - lo) / 2;
    if (f > edges[mid])
      lo = mid + 1;
    else
      hi = mid;
  }
  return (lo & 1) ? static_cast<int>(lo / 2) + 1 : 0;
}

}  // namespace

int misc_band(uint32_t hz) {
  return band_of(misc_edges, hz);
}
int nucleo_band(uint32_t hz) {
  return band_of(nucleo_edges, hz);
}

void misc_write() {
  using namespace misc_bits;
  const int b_tx = misc_band(ld(tx_freq_hz));
  const int b_rx1 = misc_band(ld(rx1_freq_hz));
  const int b_rx2 = misc_band(ld(rx2_freq_hz));
  const uint16_t word =
      static_cast<uint16_t>(field_put(rx1_band, b_rx1) | field_put(rx2_band, b_rx2) |
                            field_put(tx_band_differs, b_tx != b_rx1) |
                            field_put(rx_att, field_get(att_steps_8_16db, ld(misc_rx_att_db))) |
                            field_put(rx_att2, field_get(att_steps_8_16db, ld(misc_rx2_att_db))) |
                            field_put(relays, ld(misc_relays)));
  if (word == ld(misc_word_sent)) return;
  st(misc_word_sent, word);
  i2c_send(i2c_address(i2c_accessory::misc), expander_msg(expander_output, word));
}

void nucleo_write() {
  // The receive loop merges the keyer's PTT into nucleo_settings and calls this
  // whether or not the board exists; an absent board is never addressed.
  if (!i2c_has(i2c_accessory::nucleo)) return;
  using namespace nucleo_bits;
  const int b_tx = nucleo_band(ld(tx_freq_hz));
  const int b_rx1 = nucleo_band(ld(rx1_freq_hz));
  const int b_rx2 = nucleo_band(ld(rx2_freq_hz));
  const uint32_t word =
      field_put(data_0, ld(nucleo_settings)) | field_put(data_1, ld(nucleo_relays)) |
      field_put(data_2, ld(nucleo_rx_att_db)) | field_put(data_3, ld(nucleo_rx2_att_db)) |
      field_put(tx_band_differs, b_tx != b_rx1);
  const uint32_t bands =
      field_put(band_byte_bits::rx1_band, b_rx1) | field_put(band_byte_bits::rx2_band, b_rx2);
  if (word == ld(nucleo_word_sent) && bands == ld(nucleo_bands_sent)) return;
  st(nucleo_word_sent, word);
  st(nucleo_bands_sent, bands);
  i2c_send(i2c_address(i2c_accessory::nucleo), nucleo_msg(word, static_cast<uint8_t>(bands)));
}
