// Shared set-up of the control tests: the simulated board with a chosen set
// of I2C accessories (found by the real start-up probe), the FPGA blocks
// mapped as plain memory, the drive table filled, and a recorder of every
// FPGA store made after set-up.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "app/startup.h"
#include "control/decoder.h"
#include "control/log_table.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/i2c.h"
#include "sim/sim_platform.h"
#include "support/board.h"

// One I2C message as the bus saw it.
struct i2c_msg {
  uint8_t addr;
  std::vector<uint8_t> bytes;
  bool operator==(const i2c_msg&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const i2c_msg& m) {
  os << "0x" << std::hex << int(m.addr) << ":";
  for (uint8_t b : m.bytes) os << " " << (b < 16 ? "0" : "") << int(b);
  return os << std::dec;
}

// Every accessory of the bus, codec excluded.
inline constexpr std::array<int, 9> all_but_codec = {
    i2c_address(i2c_accessory::pene),   i2c_address(i2c_accessory::filter_expander),
    i2c_address(i2c_accessory::level),  i2c_address(i2c_accessory::misc),
    i2c_address(i2c_accessory::drive),  i2c_address(i2c_accessory::arduino),
    i2c_address(i2c_accessory::nucleo), i2c_address(i2c_accessory::dac0),
    i2c_address(i2c_accessory::dac1)};

// The store a register write should produce.
inline recorded_store store_of(const volatile void* reg, unsigned width, uint32_t value) {
  recorded_store s{{}, 0, width, value};
  if (!fpga_locate(reg, &s.block, &s.offset)) ADD_FAILURE() << "not a register";
  return s;
}

class control_fixture : public board_fixture {
 protected:
  store_recorder& rec = board.rec;

  explicit control_fixture(const board_options& o = {}) : board_fixture(o) {}

  // Brings the simulated board up with the accessories at `devices` present
  // and, when asked, the serial port open in raw mode: the devices and the
  // control state from scratch, then the real start-up probe. Clears the I2C
  // log of the probe and the stores made so far.
  template <class Devices = std::initializer_list<int>>
  void bring_up(const Devices& devices, bool serial_port = false) {
    sim_board::reset_server_state();
    for (int a : devices) sim_config.i2c_devices[a] = true;
    sim_config.uart_present = serial_port;
    sim_reset();
    if (serial_port) {
      const int uart = platform->open("/dev/ttyPS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_GE(uart, 0);
      termios t{};
      platform->tcgetattr(uart, &t);
      cfmakeraw(&t);
      platform->tcsetattr(uart, TCSANOW, &t);
      st(uart_fd, uart);
    }
    st(i2c_fd, platform->open("/dev/i2c-0", O_RDWR));
    probe_i2c_accessories();
    fill_drive_db_table();
    sim_i2c_log.clear();
    rec.stores.clear();
  }

  // The I2C messages since set-up (or the last call), in order.
  static std::vector<i2c_msg> take_i2c() {
    std::vector<i2c_msg> out;
    for (const auto& t : sim_i2c_log) out.push_back({t.addr, t.bytes});
    sim_i2c_log.clear();
    return out;
  }

  // Values stored into one register (any block) since set-up, in order.
  std::vector<uint32_t> stores_to(const volatile void* reg) const {
    const recorded_store at = store_of(reg, 0, 0);
    return rec.values_of(at.block, at.offset);
  }

  // Reads `n` bytes from the far side of the serial port, waiting up to a
  // generous deadline (the pseudo-terminal passes bytes on asynchronously).
  static std::vector<uint8_t> serial_read(size_t n) {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
      pollfd p{sim_uart_master_fd(), POLLIN, 0};
      ::poll(&p, 1, 50);
      const auto got = sim_uart_drain();
      out.insert(out.end(), got.begin(), got.end());
    }
    return out;
  }
};

inline void send_word(uint8_t c0, uint8_t c1 = 0, uint8_t c2 = 0, uint8_t c3 = 0, uint8_t c4 = 0) {
  const uint8_t c[5] = {c0, c1, c2, c3, c4};
  process_ep2(c);
}

inline void send_frequency(uint8_t c0, uint32_t hz) {
  send_word(c0, static_cast<uint8_t>(hz >> 24), static_cast<uint8_t>(hz >> 16),
            static_cast<uint8_t>(hz >> 8), static_cast<uint8_t>(hz));
}
