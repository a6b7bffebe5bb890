// Serial band message: a CI-V "set frequency" frame that moves the device on
// the serial port to a typical frequency of the transmit band.
#include "common/civ.h"
#include "control/state.h"
#include "control/writers.h"
#include "hardware/platform.h"

namespace {

constexpr uint8_t civ_device = 0x04;      // destination address
constexpr uint8_t civ_controller = 0xE0;  // source address
constexpr uint8_t civ_set_frequency = 0x05;

struct icom_band {
  uint32_t below;   // Hz: the band holds the frequencies under this edge
  uint8_t khz_100;  // BCD digits 100 kHz, 10 kHz of the announced frequency
  uint8_t mhz;      // BCD digits 10 MHz, 1 MHz; also the band code
};
constexpr icom_band icom_bands[] = {
    {2000000, 0x80, 0x01},  {4000000, 0x50, 0x03},  {8000000, 0x00, 0x07},
    {11000000, 0x00, 0x10}, {15000000, 0x00, 0x14}, {20000000, 0x00, 0x18},
    {22000000, 0x00, 0x21}, {26000000, 0x00, 0x24}, {UINT32_MAX, 0x00, 0x28},
};

}  // namespace

void icom_write() {
  const uint32_t f = ld(tx_freq_hz);
  const icom_band* band = icom_bands;
  // The last row holds every frequency from 26 MHz up.
  while (f >= band->below && band->below != UINT32_MAX) ++band;

  if (band->mhz == ld(icom_band_data)) return;
  st(icom_band_data, band->mhz);
  const int fd = ld(uart_fd);
  if (fd < 0) return;
  const uint8_t frame[10] = {civ_preamble,      civ_preamble, civ_device, civ_controller,
                             civ_set_frequency, 0x00,         0x00,       band->khz_100,
                             band->mhz,         civ_end};
  platform->write(fd, frame, sizeof frame);
}
