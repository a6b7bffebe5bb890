#include "hardware/i2c.h"

#include "control/state.h"
#include "hardware/platform.h"

ssize_t i2c_write_addr_data8(int fd, uint8_t command, uint8_t value) {
  const uint8_t b[2] = {command, value};
  return platform->write(fd, b, sizeof b);
}
ssize_t i2c_write_addr_data16(int fd, uint8_t command, uint16_t value) {
  const uint8_t b[3] = {command, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return platform->write(fd, b, sizeof b);
}
ssize_t i2c_write_addr_data24(int fd, uint8_t command, uint32_t value) {
  const uint8_t b[4] = {command, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16)};
  return platform->write(fd, b, sizeof b);
}
ssize_t i2c_write_data16(int fd, uint16_t value) {
  const uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return platform->write(fd, b, sizeof b);
}
ssize_t i2c_write_data40(int fd, uint32_t word, uint8_t value) {
  const uint8_t b[5] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                        static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24), value};
  return platform->write(fd, b, sizeof b);
}

ssize_t i2c_send(int address, const uint8_t* bytes, size_t len) {
  const int fd = ld(i2c_fd);
  if (platform->i2c_select(fd, i2c_slave, address) < 0) return -1;
  return platform->write(fd, bytes, len);
}

namespace {

// Codec control words, most significant byte first: register * 2 + value
// bit 8, then value bits 0-7.
constexpr uint8_t codec_setup[9][2] = {
    {0x0C, 0x51},  // R6 power down: line in, outputs, clock out off
    {0x12, 0x00},  // R9 interface inactive
    {0x04, 0x6F},  // R2 left headphone volume
    {0x06, 0x6F},  // R3 right headphone volume
    {0x08, 0x14},  // R4 analogue path: mic to ADC, DAC to output, no boost
    {0x0A, 0x00},  // R5 digital path: no mute, no de-emphasis, HPF on
    {0x0E, 0x42},  // R7 interface: master, I2S, 16 bit
    {0x12, 0x01},  // R9 interface active
    {0x0C, 0x41},  // R6 power down: outputs on
};

// Selects `address` and writes the probe; true when write() returned > 0.
bool probe(int fd, unsigned long request, int address, const uint8_t* msg, size_t len) {
  if (platform->i2c_select(fd, request, address) < 0) return false;
  return platform->write(fd, msg, len) > 0;
}

// I/O expander: outputs all low, then every line an output.
void probe_expander(int fd, unsigned long request, int address, std::atomic<int32_t>& flag) {
  static constexpr uint8_t outputs_low[3] = {0x02, 0x00, 0x00};
  static constexpr uint8_t all_outputs[3] = {0x06, 0x00, 0x00};
  if (!probe(fd, request, address, outputs_low, sizeof outputs_low)) return;
  st(flag, 1);
  platform->write(fd, all_outputs, sizeof all_outputs);
}

}  // namespace

void i2c_probe_accessories() {
  const int fd = ld(i2c_fd);

  probe_expander(fd, i2c_slave_force, i2c_addr::pene, i2c_pene);
  probe_expander(fd, i2c_slave, i2c_addr::alex, i2c_alex);
  probe_expander(fd, i2c_slave, i2c_addr::level, i2c_level);
  probe_expander(fd, i2c_slave, i2c_addr::misc, i2c_misc);

  static constexpr uint8_t drive_zero[3] = {0xA9, 0x00, 0x00};
  if (probe(fd, i2c_slave, i2c_addr::drive, drive_zero, sizeof drive_zero)) st(i2c_drive, 1);

  const uint16_t dac0 = ld(i2c_dac0_data);
  const uint8_t dac0_msg[2] = {static_cast<uint8_t>(dac0 >> 8), static_cast<uint8_t>(dac0)};
  if (probe(fd, i2c_slave, i2c_addr::dac0, dac0_msg, sizeof dac0_msg)) st(i2c_dac0, 1);

  const uint16_t dac1 = ld(i2c_dac1_data);
  const uint8_t dac1_msg[2] = {static_cast<uint8_t>(dac1 >> 8), static_cast<uint8_t>(dac1)};
  if (probe(fd, i2c_slave, i2c_addr::dac1, dac1_msg, sizeof dac1_msg)) st(i2c_dac1, 1);

  const uint16_t frx1 = ld(i2c_ard_frx1_data);
  const uint8_t ard_msg[3] = {0x01, static_cast<uint8_t>(frx1), static_cast<uint8_t>(frx1 >> 8)};
  if (probe(fd, i2c_slave, i2c_addr::arduino, ard_msg, sizeof ard_msg)) st(i2c_arduino, 1);

  static constexpr uint8_t nucleo_msg[5] = {0x00, 0x00, 0x10, 0x02, 0x00};
  if (probe(fd, i2c_slave, i2c_addr::nucleo, nucleo_msg, sizeof nucleo_msg)) st(i2c_nucleo, 1);

  static constexpr uint8_t codec_reset[2] = {0x1E, 0x00};
  if (probe(fd, i2c_slave, i2c_addr::codec, codec_reset, sizeof codec_reset)) {
    st(i2c_codec, 1);
    for (const auto& m : codec_setup) platform->write(fd, m, sizeof m);
  }
}
