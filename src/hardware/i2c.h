// I2C accessories: message layouts and the start-up probe.
//
// A transaction selects the 7-bit address on i2c_fd (I2C_SLAVE, or
// I2C_SLAVE_FORCE for the probe of 0x20) and then writes the whole message
// in one write(); results of run-time messages are never examined.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr unsigned long i2c_slave = 0x0703;        // I2C_SLAVE
constexpr unsigned long i2c_slave_force = 0x0706;  // I2C_SLAVE_FORCE

// Accessory addresses (7-bit)
namespace i2c_addr {
constexpr int pene = 0x20;     // 16-bit I/O expander
constexpr int alex = 0x21;     // 16-bit I/O expander
constexpr int level = 0x22;    // 16-bit I/O expander
constexpr int misc = 0x23;     // 16-bit I/O expander (band board)
constexpr int drive = 0x28;    // drive-level device
constexpr int arduino = 0x40;  // microcontroller board
constexpr int nucleo = 0x55;   // microcontroller board
constexpr int dac0 = 0x60;     // 12-bit DAC
constexpr int dac1 = 0x61;     // 12-bit DAC
constexpr int codec = 0x1A;    // audio codec
}  // namespace i2c_addr

// Each is one write() of the given bytes to the already selected target and
// returns what write() returned.
ssize_t i2c_write_addr_data8(int fd, uint8_t command, uint8_t value);
ssize_t i2c_write_addr_data16(int fd, uint8_t command, uint16_t value);  // value LSB first
ssize_t i2c_write_addr_data24(int fd, uint8_t command, uint32_t value);  // 24 bits LSB first
ssize_t i2c_write_data16(int fd, uint16_t value);                        // MSB first
ssize_t i2c_write_data40(int fd, uint32_t word, uint8_t value);          // word LSB first, value

// Selects `address` on i2c_fd with I2C_SLAVE and writes `len` bytes; the
// result is ignored by every caller at run time. Main thread only.
ssize_t i2c_send(int address, const uint8_t* bytes, size_t len);

// Probes the ten accessories in order, sets their presence flags and sets up
// the codec when it answers. Start-up only, with i2c_fd open.
void i2c_probe_accessories();
