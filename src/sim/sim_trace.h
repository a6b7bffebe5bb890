// The simulated board's event trace: JSON Lines, one event per line.
//
// Every line is built in a local buffer and handed to the kernel with one
// write() (the line is on disk, or in the pipe, when the call returns), so a
// trace survives the process being killed at any moment. Lines are stamped
// and written under one lock, so t_us never decreases from one line to the
// next. Events, exactly:
//
//   {"t_us":T,"ev":"reg","name":"tx_freq","value":N}
//   {"t_us":T,"ev":"table","name":"tx_ramp","index":J,"value":V}
//   {"t_us":T,"ev":"i2c","addr":A,"bytes":"0a1b","ok":true}
//   {"t_us":T,"ev":"uart","bytes":"fefe04e0..."}
//   {"t_us":T,"ev":"fifo","fifo":"rx|tx|dac|adc","what":"overflow|underrun|reset"}
//   {"t_us":T,"ev":"gpio","value":V}
//
// T is microseconds since sim_epoch_ns (CLOCK_MONOTONIC through
// platform->clock_now); numbers are decimal, byte strings lower-case hex.
// Every function may be called from any thread; with no trace open they
// return at once.
#pragma once

#include <cstddef>
#include <cstdint>

// Start of simulated time (CLOCK_MONOTONIC, ns); set by sim_fpga_init.
extern int64_t sim_epoch_ns;
// CLOCK_MONOTONIC now, in ns, through the platform seam.
int64_t sim_now_ns();

// Opens (truncates) the trace file. False with errno set on failure.
bool sim_trace_open(const char* path);
// Writes to an already open descriptor instead (tests); -1 turns tracing off.
void sim_trace_set_fd(int fd);
void sim_trace_close();
bool sim_trace_enabled();

void sim_trace_reg(const char* name, uint32_t value);
void sim_trace_table(const char* name, uint32_t index, int32_t value);
void sim_trace_i2c(uint8_t addr, const uint8_t* bytes, size_t len, bool ok);
void sim_trace_uart(const uint8_t* bytes, size_t len);
void sim_trace_fifo(const char* fifo, const char* what);
void sim_trace_gpio(uint8_t value);
