#include "hardware/i2c.h"

#include "common/bytes.h"
#include "hardware/platform.h"

std::atomic<int32_t> i2c_fd{i2c_fd_closed};

i2c_message expander_msg(uint8_t reg, uint16_t lines) {
  return {{reg, static_cast<uint8_t>(lines), static_cast<uint8_t>(lines >> 8)}, 3};
}
i2c_message dac_msg(uint16_t value) {
  i2c_message m{{}, 2};
  put_be16(m.bytes, static_cast<uint16_t>(field_put(dac_value, value)));
  return m;
}
i2c_message drive_msg(uint8_t level) {
  return {{drive_set_level, level, level}, 3};
}
i2c_message board16_msg(uint8_t command, uint16_t value) {
  i2c_message m{{command}, 3};
  put_le16(m.bytes + 1, value);
  return m;
}
i2c_message board24_msg(uint8_t command, uint32_t value) {
  i2c_message m{{command}, 4};
  put_le24(m.bytes + 1, value);
  return m;
}
i2c_message nucleo_msg(uint32_t word, uint8_t bands) {
  i2c_message m{{}, 5};
  put_le32(m.bytes, word);
  m.bytes[4] = bands;
  return m;
}
i2c_message codec_msg(uint8_t reg, uint16_t value) {
  i2c_message m{{}, 2};
  put_be16(m.bytes, static_cast<uint16_t>(field_put(codec_word::reg, reg) |
                                          field_put(codec_word::value, value)));
  return m;
}

namespace {

ssize_t write_msg(int fd, const i2c_message& m) {
  return platform->write(fd, m.bytes, m.len);
}

// Codec registers and the values start-up gives them, in order.
struct codec_setting {
  uint8_t reg;
  uint16_t value;
};
constexpr uint8_t codec_reset_reg = 15;
constexpr codec_setting codec_setup[] = {
    {6, 0x051},  // power down: line in, outputs, clock out off
    {9, 0x000},  // interface inactive
    {2, 0x06F},  // left headphone volume
    {3, 0x06F},  // right headphone volume
    // analogue path: mic to ADC, DAC to output, no boost
    {codec_analogue_path, codec_analogue_base},
    {5, 0x000},  // digital path: no mute, no de-emphasis, high-pass on
    {7, 0x042},  // interface: master, I2S, 16 bit
    {9, 0x001},  // interface active
    {6, 0x041},  // power down: outputs on
};

// Selects `address` and writes the probe; true when write() returned > 0.
bool probe(int fd, unsigned long request, int address, const i2c_message& m) {
  if (platform->i2c_select(fd, request, address) < 0) return false;
  return write_msg(fd, m) > 0;
}

// I/O expander: outputs all low, then every line an output (same selection).
bool probe_expander(int fd, unsigned long request, int address) {
  if (!probe(fd, request, address, expander_msg(expander_output, 0))) return false;
  write_msg(fd, expander_msg(expander_config, 0));
  return true;
}

}  // namespace

ssize_t i2c_send(int address, const i2c_message& m) {
  const int fd = i2c_fd.load(std::memory_order_relaxed);
  if (platform->i2c_select(fd, I2C_SLAVE, address) < 0) return -1;
  return write_msg(fd, m);
}

uint16_t i2c_probe_accessories(uint16_t dac0_value, uint16_t dac1_value, uint16_t arduino_rx1_khz) {
  const int fd = i2c_fd.load(std::memory_order_relaxed);
  uint16_t found = 0;
  for (const i2c_accessory_entry& a : i2c_accessories) {
    bool answered = false;
    switch (a.probe) {
      case i2c_probe::expander_forced:
        answered = probe_expander(fd, I2C_SLAVE_FORCE, a.address);
        break;
      case i2c_probe::expander:
        answered = probe_expander(fd, I2C_SLAVE, a.address);
        break;
      case i2c_probe::drive:
        answered = probe(fd, I2C_SLAVE, a.address, drive_msg(0));
        break;
      case i2c_probe::dac:
        answered = probe(fd, I2C_SLAVE, a.address,
                         dac_msg(a.id == i2c_accessory::dac0 ? dac0_value : dac1_value));
        break;
      case i2c_probe::arduino:
        answered =
            probe(fd, I2C_SLAVE, a.address, board16_msg(arduino_cmd::rx1_khz, arduino_rx1_khz));
        break;
      case i2c_probe::nucleo:
        // Word 0x02100000: the board's power-on state; no band yet.
        answered = probe(fd, I2C_SLAVE, a.address, nucleo_msg(0x02100000, 0));
        break;
      case i2c_probe::codec:
        answered = probe(fd, I2C_SLAVE, a.address, codec_msg(codec_reset_reg, 0));
        if (answered)
          for (const codec_setting& s : codec_setup) write_msg(fd, codec_msg(s.reg, s.value));
        break;
    }
    if (answered) found |= i2c_present(a.id);
  }
  return found;
}
