// Band-decoder boards: the misc board (I/O expander at 0x23) and the nucleo
// board (microcontroller at 0x55) switch band filters and amplifiers from
// the bands of the three current frequencies.
#include <cstddef>
#include <iterator>

#include "control/state.h"
#include "control/writers.h"
#include "hardware/i2c.h"

namespace {

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
  const int b_tx = misc_band(ld(freq_data[0]));
  const int b_rx1 = misc_band(ld(freq_data[1]));
  const int b_rx2 = misc_band(ld(freq_data[2]));
  const uint16_t word = static_cast<uint16_t>(
      b_rx1 | b_rx2 << 4 | (b_tx != b_rx1 ? 0x100 : 0) | ((ld(misc_data_0) << 6) & 0x600) |
      ((ld(misc_data_1) << 8) & 0x1800) | ((ld(misc_data_2) << 13) & 0x6000));
  if (word == ld(i2c_misc_data)) return;
  st(i2c_misc_data, word);
  i2c_send(i2c_addr::misc, expander_msg(expander_output, word));
}

void nucleo_write() {
  // The receive loop merges the keyer's PTT into nucleo_data_0 and calls this
  // whether or not the board exists; an absent board is never addressed.
  if (!ld(i2c_nucleo)) return;
  const int b_tx = nucleo_band(ld(freq_data[0]));
  const int b_rx1 = nucleo_band(ld(freq_data[1]));
  const int b_rx2 = nucleo_band(ld(freq_data[2]));
  const uint32_t word = ld(nucleo_data_0) << 1 | ld(nucleo_data_1) << 17 | ld(nucleo_data_2) << 20 |
                        ld(nucleo_data_3) << 25 | (b_tx != b_rx1 ? 1u : 0u);
  const uint32_t bands = static_cast<uint32_t>(b_rx1 | b_rx2 << 4);
  if (word == ld(i2c_nucleo_data[0]) && bands == ld(i2c_nucleo_data[1])) return;
  st(i2c_nucleo_data[0], word);
  st(i2c_nucleo_data[1], bands);
  i2c_send(i2c_addr::nucleo, nucleo_msg(word, static_cast<uint8_t>(bands)));
}
