// The I2C accessory bus "/dev/i2c-0": its descriptor, the accessories'
// addresses, one message builder per device kind and the start-up probe.
//
// A transaction selects the 7-bit address on i2c_fd (I2C_SLAVE, or
// I2C_SLAVE_FORCE for the probe of 0x20, where a kernel driver may sit) and
// then writes the whole message in one write(); the first byte is the
// target's command or register byte. Results of run-time messages are never
// examined. Main thread only (start-up, then the receive loop).
#pragma once

#include <linux/i2c-dev.h>  // I2C_SLAVE, I2C_SLAVE_FORCE
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/field.h"

// The bus; negative when "/dev/i2c-0" did not open. Written by start-up only.
constexpr int32_t i2c_fd_closed = -1;
extern std::atomic<int32_t> i2c_fd;

// The accessories, in the order the probe tries them. The presence mask the
// probe returns has bit i2c_present(a) set for each accessory a that answered.
enum class i2c_accessory : uint8_t {
  pene,
  filter_expander,
  level,
  misc,
  drive,
  dac0,
  dac1,
  arduino,
  nucleo,
  codec
};

// How the probe tries an accessory: its first message, and for an I/O
// expander the direction set-up that follows an answer.
enum class i2c_probe : uint8_t { expander_forced, expander, drive, dac, arduino, nucleo, codec };

struct i2c_accessory_entry {
  i2c_accessory id;
  const char* name;  // as the simulator's --accessories option names it
  uint8_t address;   // 7-bit
  i2c_probe probe;
};

// One row per accessory, in probe order (row i is accessory i).
constexpr i2c_accessory_entry i2c_accessories[] = {
    // 16-bit I/O expander: open-collector outputs, antennas, attenuator. A
    // kernel driver may sit at its address, hence the forced selection.
    {i2c_accessory::pene, "pene", 0x20, i2c_probe::expander_forced},
    // 16-bit I/O expander: the filter board's manual selections over I2C.
    {i2c_accessory::filter_expander, "alex", 0x21, i2c_probe::expander},
    {i2c_accessory::level, "level", 0x22, i2c_probe::expander},  // I/O expander: drive level
    {i2c_accessory::misc, "misc", 0x23, i2c_probe::expander},    // I/O expander: band board
    {i2c_accessory::drive, "drive", 0x28, i2c_probe::drive},     // drive-level device
    {i2c_accessory::dac0, "dac0", 0x60, i2c_probe::dac},  // 12-bit DAC: receive attenuation line
    {i2c_accessory::dac1, "dac1", 0x61, i2c_probe::dac},  // 12-bit DAC
    {i2c_accessory::arduino, "arduino", 0x40, i2c_probe::arduino},  // microcontroller board
    {i2c_accessory::nucleo, "nucleo", 0x55, i2c_probe::nucleo},     // microcontroller: band decoder
    {i2c_accessory::codec, "codec", 0x1A, i2c_probe::codec},        // audio codec
};
constexpr int i2c_accessory_count = sizeof i2c_accessories / sizeof i2c_accessories[0];
static_assert([] {
  for (int i = 0; i < i2c_accessory_count; ++i)
    if (static_cast<int>(i2c_accessories[i].id) != i) return false;
  return true;
}());

constexpr uint16_t i2c_present(i2c_accessory a) {
  return static_cast<uint16_t>(1u << static_cast<unsigned>(a));
}
constexpr int i2c_address(i2c_accessory a) {
  return i2c_accessories[static_cast<unsigned>(a)].address;
}

// One message: up to five bytes, written with one write().
struct i2c_message {
  uint8_t bytes[5];
  uint8_t len;
};

// I/O expander registers: output levels and line directions (0 = output),
// each followed by lines 0-7 and lines 8-15.
constexpr uint8_t expander_output = 0x02;
constexpr uint8_t expander_config = 0x06;
i2c_message expander_msg(uint8_t reg, uint16_t lines);

// 12-bit DAC: a 16-bit word, most significant byte first, with the value in
// bits 0..11 (bits 12..15, the power-down mode, stay 0). The probe writes
// full scale, which is also what the DACs' caches start from.
constexpr bit_field dac_value{0x0FFF};
constexpr uint16_t dac_full_scale = 4095;
i2c_message dac_msg(uint16_t value);

// Drive-level device: its level command, then the level twice.
constexpr uint8_t drive_set_level = 0xA9;
i2c_message drive_msg(uint8_t level);

// Arduino board: a command byte, then 16 or 24 bits least significant byte
// first.
namespace arduino_cmd {
constexpr uint8_t rx1_khz = 1;           // 16 bits
constexpr uint8_t rx2_khz = 2;           // 16 bits
constexpr uint8_t tx_khz = 3;            // 16 bits
constexpr uint8_t outputs_antennas = 4;  // 24 bits
constexpr uint8_t tx_attenuation = 5;    // 24 bits
constexpr uint8_t rx_attenuation = 6;    // 16 bits
}  // namespace arduino_cmd
i2c_message board16_msg(uint8_t command, uint16_t value);
i2c_message board24_msg(uint8_t command, uint32_t value);

// Nucleo board: the 32-bit word least significant byte first, then the band
// byte.
i2c_message nucleo_msg(uint32_t word, uint8_t bands);

// Audio codec: a 16-bit word, most significant byte first, with the
// register number in bits 9..15 and the value in bits 0..8.
namespace codec_word {
constexpr bit_field reg{0xFE00};
constexpr bit_field value{0x01FF};
}  // namespace codec_word
i2c_message codec_msg(uint8_t reg, uint16_t value);
// Codec register 4, the analogue path: mic to ADC, DAC to output; bit 0
// boosts the microphone.
constexpr uint8_t codec_analogue_path = 4;
constexpr uint16_t codec_analogue_base = 0x014;
constexpr bit_field codec_mic_boost{0x001};

// Selects `address` on i2c_fd with I2C_SLAVE and writes the message.
// Returns what write() returned, -1 when the select failed.
ssize_t i2c_send(int address, const i2c_message& m);

// Probes the accessories in table order and sets up the codec when it answers.
// The DACs' probes write the given values, the arduino board's its receiver-1
// frequency in kHz (the control state's caches, unchanged by the probe).
// Start-up only, with i2c_fd open. Returns the presence mask.
uint16_t i2c_probe_accessories(uint16_t dac0_value, uint16_t dac1_value, uint16_t arduino_rx1_khz);
