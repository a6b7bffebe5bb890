// Keying envelopes: running sums of a 4-term Blackman-Harris window, scaled
// so that the last entry is the peak. The FPGA steps through them at every
// key-down and key-up.
#pragma once

#include <cstdint>

constexpr int tx_ramp_steps_count = 1001;  // transmit envelope: 1002 entries
constexpr int32_t tx_ramp_peak = 4100000;
constexpr int dac_ramp_steps_count = 481;  // sidetone envelope: 482 entries
constexpr int32_t dac_ramp_peak = 32000;

// Computes the N + 1 entries of an envelope with `steps` = N (at most
// tx_ramp_steps_count) into `out`. The accumulation is in single precision;
// the result is bit-exact on every target built without fused multiply-add.
// When given, `sum` receives the last running sum a[N] and `scale` the factor
// k = peak / a[N].
void envelope_compute(int steps, float peak, int32_t* out, float* sum = nullptr,
                      float* scale = nullptr);

// Computes and writes the transmit envelope into tx_ramp, entries 0..1001.
void envelope_write_tx();
// Computes and writes the sidetone envelope into dac_ramp, entries 0..481
// (low 16 bits of each entry).
void envelope_write_dac();
