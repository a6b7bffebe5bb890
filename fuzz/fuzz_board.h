// The simulated board for the fuzz targets: its devices behind a platform
// double that keeps every run in this thread and in virtual time, so that
// the same input always takes the same path.
//
// The double is the test platform (tests/support/test_platform.h) with its
// virtual sleeps and threads that end at once, and these changes: the UDP
// socket is a descriptor number that no call reaches the kernel with (bind,
// options and sends succeed, nothing is received); the keyer never ticks,
// and a stream "runs" until the next sleep after its enable flag drops, as
// the stream thread would end at its next poll. The virtual sleeps let the
// FPGA model's FIFOs drain while the transmit sample sink waits.
#pragma once

#include <cstdint>

// Accessories by presence bit (i2c_present of hardware/i2c.h).
constexpr uint16_t fuzz_all_accessories = 0x3FF;

// Puts devices, control state and clock in their power-on state and runs the
// whole start-up with the six arguments 1, with the accessories of
// `accessories` answering on the I2C bus and the serial port present. With
// `model`, the simulated FPGA (a quiet scene) is attached first and keeps the
// FIFO counts. Aborts when start-up fails.
void fuzz_board_up(uint16_t accessories, bool model);

// Stops a stream left running, detaches the model and closes the serial
// port, so that the next fuzz_board_up starts from scratch.
void fuzz_board_down();
