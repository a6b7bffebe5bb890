// The simulated board's devices behind the platform seam.
//
// "/dev/mem" is a set of ordinary memory blocks (one per FPGA block, zeroed
// by sim_reset), "/dev/i2c-0" a simulated bus whose present accessories the
// caller chooses and which records every transaction, and "/dev/ttyPS1" a
// pseudo-terminal (real termios) or absent, whose far side the model thread
// reads and traces one CI-V frame at a time. The UDP socket is real; its
// bind goes to the configured address and port instead of 0.0.0.0:1024, and
// SO_REUSEADDR is not applied to it, so a port that another server holds is
// refused (EADDRINUSE; with sim_config.report_taken_port, "varnholt-sim:
// another server is running on port N" on standard error): one server per
// simulated board, as the board's lock file makes it one per board.
//
// Configure sim_config, then call sim_board_select before start-up. Not
// thread-safe against concurrent reconfiguration; the I2C log is written
// only by the thread that talks to the bus (the main thread after start-up).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hardware/platform.h"

struct sim_i2c_transaction {
  uint8_t addr;                // 7-bit address selected
  std::vector<uint8_t> bytes;  // the message written
  bool ok;                     // the write succeeded (the device acknowledged)
  bool forced;                 // selected with I2C_SLAVE_FORCE
};

struct sim_config_t {
  bool mem_present = true;     // "/dev/mem" opens
  bool mmap_fails = false;     // every mapping fails
  bool i2c_present = true;     // "/dev/i2c-0" opens
  bool uart_present = false;   // "/dev/ttyPS1" opens (a pseudo-terminal)
  bool i2c_devices[128] = {};  // accessories that acknowledge writes
  bool i2c_busy[128] = {};     // addresses held by a kernel driver: I2C_SLAVE select fails
  bool socket_fails = false;
  uint8_t hwaddr[6] = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};  // MAC of "eth0"
  bool hwaddr_present = true;
  in_addr_t bind_addr = htonl(INADDR_ANY);  // network byte order
  uint16_t bind_port = 1024;                // 0: an ephemeral port
  // Say once for the keyer and once for the stream thread when SCHED_FIFO is
  // refused and the thread runs at normal priority instead.
  bool keyer_realtime_warning = true;
  bool report_taken_port = false;  // say which port another server holds
  // Keep every I2C transaction in sim_i2c_log. The simulated radio turns it
  // off (its trace records the bus) so that a long run does not grow it.
  bool record_i2c = true;
  // Called once the UDP socket is bound (address in network order, port in
  // host order), on the thread running start-up; null: nothing is called.
  void (*on_bound)(in_addr_t addr, uint16_t port) = nullptr;
};
extern sim_config_t sim_config;

extern const platform_ops sim_platform;

struct sim_model_config;

// Puts the devices in their power-on state: zeroed memory blocks, an empty
// I2C log, closed serial port. Keeps sim_config.
void sim_reset();

// Selects the simulated board, in one call: stops a running FPGA model,
// resets the devices (sim_reset), sets platform to `ops` (the simulated
// board's operations, or a test's copy of them with some replaced) and, with
// a model configuration, puts the FPGA model in its power-on state and
// attaches it as the FPGA observer (sim_fpga_init; the model's epoch is read
// through `ops`). Without one no observer is attached. Before any server
// thread starts.
void sim_board_select(const platform_ops* ops = &sim_platform,
                      const sim_model_config* model = nullptr);

// Every I2C transaction since sim_reset (the probe included), while
// sim_config.record_i2c is set. Each transaction also goes to the trace
// (sim/sim_trace.h) when one is open.
extern std::vector<sim_i2c_transaction> sim_i2c_log;

// Bytes the server wrote to the serial port (read from the terminal's far side).
std::vector<uint8_t> sim_uart_drain();
// The far side of the serial pseudo-terminal, -1 when closed. Any thread.
int sim_uart_master_fd();
// Reads what the server wrote to the serial port since the last call and
// traces it, one event per CI-V frame (ended by 0xFD; a frame without its
// end after 100 ms, or 256 bytes without one, are traced as they are).
// The model thread's (sim_fpga_step), at `now` (sim_now_ns).
void sim_uart_poll(int64_t now);
// Frames traced since sim_reset.
uint32_t sim_uart_frames();
// The termios settings the server left on its side of the serial port.
bool sim_uart_termios(struct termios* t);

// The port the socket was bound to (after an ephemeral bind), host order.
uint16_t sim_bound_port();

// The I2C address of the accessory of that name in hardware/i2c.h's
// i2c_accessories (the names command-line options use); -1 when unknown.
int sim_accessory_address(const std::string& name);
