// Entry and start-up sequence.
#pragma once

#include <cstdint>

// The exact text written to standard error for a wrong command line. The
// simulated board replaces it with its own usage line.
extern const char* usage_text;

// UDP port of the server.
constexpr uint16_t ep2_port = 1024;

// Checks the six arguments (argv[1..6], each "1" or "2" as strtol reads it)
// and builds the mask: bit i = value of argument i+1 minus 1. False on a
// wrong count or the first rejected argument.
bool parse_arguments(int argc, char** argv, uint8_t* mask);

// Maps the eight FPGA blocks from the "/dev/mem" descriptor through the
// platform and points the block and register pointers at them. False, with
// nothing mapped in use, when a mapping fails.
bool map_fpga_blocks(int mem_fd);

// Runs the whole start-up sequence on the current platform: argument check,
// devices, I2C probe, FPGA mappings, initial registers and envelopes, drive
// table, socket, the keyer's PTT event descriptor, keyer thread. Returns 0
// when the receive loop may start, 1 after a failure has been reported on
// standard error.
int startup(int argc, char** argv);

// The process: start-up, then the receive loop. Returns only with status 1.
int varnholt_main(int argc, char** argv);
