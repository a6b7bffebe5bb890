// Transmit sample sink: moves the 126 samples of one EP2 frame into the
// FPGA's transmit FIFO (through `fifo`) and, with a codec, its audio into the
// codec's DAC FIFO (through `codec`).
#pragma once

#include <atomic>
#include <cstdint>

#include "hardware/fpga.h"

// Fill levels are in 32-bit words. A part waits while its FIFO is above the
// threshold (depth less one frame's words) and primes an empty FIFO with ten
// frames' worth of zero words before adding the frame.
constexpr uint16_t tx_fifo_threshold = tx_fifo_words - 252;    // 3844
constexpr unsigned tx_fifo_prime_words = 2520;                 // 10 x 252
constexpr unsigned tx_words_per_frame = 252;                   // 126 samples x 2 words
constexpr uint16_t dac_fifo_threshold = dac_fifo_words - 126;  // 1922
constexpr unsigned dac_fifo_prime_words = 1260;                // 10 x 126
constexpr unsigned dac_words_per_frame = 126;
constexpr unsigned fifo_poll_us = 1000;     // sleep between two readings of a fill level
constexpr int64_t fifo_wait_limit_ms = 20;  // longest wait for room in one FIFO

// Set while a FIFO counts as stalled (it had no room for fifo_wait_limit_ms);
// receive loop only.
extern std::atomic<uint8_t> tx_fifo_stalled;
extern std::atomic<uint8_t> dac_fifo_stalled;

// Called by the receive loop (main thread) with one whole 1032-byte EP2 frame,
// before the frame's control words are decoded, so the samples are gated by
// the transmit request, PTT input and tx_eer as they stood before it.
//
// Transmit part, skipped while keyer_owns_tx is set (the keyer owns the
// transmitter; tx_cntr is then not read and nothing reaches `fifo`): waits in
// 1 ms sleeps while tx_cntr > 3844, primes 2520 zero words when tx_cntr reads
// 0 (counted in count_tx_fifo_empty), then writes 252 words: zero words
// while neither gpio_out nor gpio_in bit 0 is set, else per sample the audio
// word (or a zero word when tx_eer is 0) followed by the I/Q word.
// Audio part, only with a codec and whatever keyer_owns_tx holds: the same with
// dac_cntr, 1922 and 1260, then the 126 audio words.
// Words keep the wire byte order (see wire_word).
//
// Each wait gives up after fifo_wait_limit_ms (CLOCK_MONOTONIC through
// platform->clock_now): the frame's 126 samples for that FIFO are dropped and
// counted (count_tx_samples_dropped, count_codec_samples_dropped) and the
// FIFO counts as stalled. A stalled FIFO is not waited for again: each later
// frame reads its level once and, while it is still above the threshold,
// drops and counts its samples; once it has fallen to the threshold the FIFO
// is fed (and primed, and waited for) as usual. So a FIFO that never drains
// costs the receive loop one wait, not one per frame.
void tx_sink_frame(const uint8_t* frame);
