// Inside the simulated FPGA: the state that its three parts share.
//
//   sim_fpga.cpp         registers and FIFOs: the observer hooks, the register
//                        shadows, the four FIFOs, the record clock, the model
//                        thread and the input-line script;
//   sim_receivers.cpp    the receiver scene: carriers, noise, oscillators and
//                        the records they make;
//   sim_transmitter.cpp  the 48 kHz side: transmit and audio-out FIFOs played
//                        out, microphone test tone, keyed carrier, XADC.
//
// Everything here is touched only with model_lock held, except gpio_in_v
// (an atomic, loaded without the lock). Not for use outside src/sim.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "hardware/fpga.h"
#include "sim/sim_fpga.h"

namespace sim_model {

constexpr uint32_t record_bytes = rx_record_bytes;
constexpr uint32_t record_words = record_bytes / 4;
constexpr uint32_t rx_depth_words = rx_fifo_words;
constexpr uint32_t tx_depth_words = tx_fifo_words;
constexpr uint32_t dac_depth_words = dac_fifo_words;
constexpr uint32_t adc_depth_words = adc_fifo_words;
constexpr uint32_t max_chunk = 256;      // records generated with one set of phasors
constexpr uint32_t history_len = 16384;  // transmitted samples kept: 341 ms at 48 kHz
constexpr uint32_t tx_ramp_entries = 1002;

// A FIFO of 32-bit words as the FPGA holds it: a fixed depth, oldest first.
template <uint32_t N>
struct word_fifo {
  uint32_t word[N];
  uint32_t rd = 0;
  uint32_t count = 0;

  bool push(uint32_t w) {
    if (count == N) return false;
    word[(rd + count) % N] = w;
    ++count;
    return true;
  }
  bool pop(uint32_t* w) {
    if (count == 0) return false;
    *w = word[rd];
    rd = (rd + 1) % N;
    --count;
    return true;
  }
  // Takes up to `n` words into dst (any alignment); returns how many.
  uint32_t take(uint8_t* dst, uint32_t n) {
    n = std::min(n, count);
    const uint32_t first = std::min(n, N - rd);
    std::memcpy(dst, word + rd, first * 4);
    std::memcpy(dst + first * 4, word, (n - first) * 4);
    rd = (rd + n) % N;
    count -= n;
    return n;
  }
  // Drops the `n` oldest words (n <= count).
  void drop(uint32_t n) {
    rd = (rd + n) % N;
    count -= n;
  }
  void clear() { rd = count = 0; }
};

// sim_fpga.cpp
extern std::mutex model_lock;
extern sim_model_config model;
extern sim_fpga_counts counts;

// Register shadows, as last stored.
extern uint8_t rx_rst_v, lo_rst_v, tx_rst_v, gpio_out_v;
extern uint16_t rx_rate_v, tx_level_v, tx_ramp_steps_v;
extern uint32_t rx_freq_v[3], tx_freq_v;
extern int32_t tx_ramp_v[tx_ramp_entries];
extern std::atomic<uint8_t> gpio_in_v;

extern word_fifo<rx_depth_words> rx_fifo;
extern word_fifo<tx_depth_words> tx_fifo;
extern word_fifo<dac_depth_words> dac_fifo;
extern word_fifo<adc_depth_words> adc_fifo;
extern bool tx_full, dac_full, adc_full;  // overflow of this episode already traced

// The record clock: record rx_anchor_idx was due at rx_anchor_ns (restarted
// at every rate change); rx_next_idx is the next record to produce.
extern int64_t rx_anchor_ns, rx_anchor_idx, rx_next_idx, rx_counter_base;

// sim_receivers.cpp
// Builds the carriers and the noise table of the model's scene; oscillators
// at phase 0, tuning to be recomputed.
void receivers_reset();
// The next word of the model's random generator (noise, XADC jitter).
uint32_t next_random();
// The tuning registers changed: oscillator steps and audible signals are
// recomputed before the next record.
void receivers_retune();
// Restarts oscillators on the rising bits of `lo_rst`.
void receivers_restart(uint8_t rose);
// Makes `count` records (count x 32 bytes) into out, advancing the
// oscillators, the keying and rx_next_idx.
void receivers_generate(uint8_t* out, uint32_t count);
// Lets `n` records pass unkept: the oscillators run on.
void receivers_skip(int64_t n);

// sim_transmitter.cpp
void transmitter_reset();
// Brings the 48 kHz side up to `now`: FIFOs played out, tone pushed.
void advance_tx(int64_t now);
// The transmitted sample n (48 kHz, scaled by the drive) for the receivers'
// monitor; false when it is no longer (or not yet) in the history.
bool transmitted(int64_t n, float* i, float* q);
// An XADC word (byte offset in the xadc block); `memory` for the others.
uint32_t xadc_load(uint32_t offset, uint32_t memory);

}  // namespace sim_model
