// Entry and start-up sequence.
#pragma once

#include <cstdint>

// The exact text written to standard error for a wrong command line. The
// simulated board replaces it with its own usage line.
extern const char* usage_text;

// UDP port of the server.
constexpr uint16_t ep2_port = 1024;

// One server per board: start-up locks this file (flock, exclusive, without
// waiting) right after the argument check, before any device is opened, and
// holds it for the life of the process in server_lock_fd. The board's entry
// sets it to board_lock_path; null (the simulated board, which refuses a
// taken port instead, and the tests) takes no lock.
constexpr const char* board_lock_path = "/run/varnholt/varnholt.lock";
extern const char* server_lock_path;
extern int server_lock_fd;  // -1 while no lock is held

// Checks the six arguments (argv[1..6], each "1" or "2" as strtol reads it)
// and builds the mask: bit i = value of argument i+1 minus 1. False on a
// wrong count or the first rejected argument.
bool parse_arguments(int argc, char** argv, uint8_t* mask);

// Maps the eight FPGA blocks from the "/dev/mem" descriptor through the
// platform and points the block and register pointers at them. False, with
// nothing mapped in use, when a mapping fails.
bool map_fpga_blocks(int mem_fd);

// Runs the whole start-up sequence on the current platform: argument check,
// server lock, devices, I2C probe, FPGA mappings, initial registers and
// envelopes, drive table, socket, the keyer's PTT event descriptor, keyer
// thread. Returns 0 when the receive loop may start, 1 after a failure has
// been reported on standard error (a lock held by another server: "varnholt:
// another server is running (PATH is locked)").
int startup(int argc, char** argv);

// The process: the SIGINT/SIGTERM handler (hardware/stop_signal.h), start-up,
// the service manager's notification socket when NOTIFY_SOCKET names one
// (net/service.h), the receive loop, then the counts of the last partial
// period (counters_report_final). Returns 1 after a failure, 0 after a stop
// signal.
int varnholt_main(int argc, char** argv);
