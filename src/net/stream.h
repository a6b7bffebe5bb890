// Receive stream thread: packs the receivers' I/Q samples, the microphone
// samples and rotating status words into EP6 frames and sends them to the
// client that started the stream.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "hardware/fpga.h"
#include "net/frames.h"

// Thread entry, created detached with default attributes by the receive loop
// for each start command, after it has set addr_ep6 and enable_thread =
// active_thread = 1. The argument is ignored; returns null.
//
// Names its thread "stream", resets the receive FIFOs (the codec's first),
// then sends batches of 4..25 EP6 frames to addr_ep6 through sock_ep2, one
// sendmmsg per batch, while enable_thread is set. Between batches it sleeps
// until the FIFO holds the next one (ep6_wait_ns). A stop (enable_thread = 0)
// takes effect after the batch in hand has been sent, or within 1 ms while
// the thread waits for the FPGA to fill a batch. Clears active_thread
// (release) as its very last act. Works only on its own stack (about 46 KB);
// allocates nothing. Counts what it loses (control/counters.h): FIFO
// restarts, looks at rx_cntr that find the reset mark, failed or partial
// sends.
//
// The receive loop creates it with SCHED_FIFO priority stream_priority
// (below the keyer's), or with normal scheduling where that is refused.
void* handler_ep6(void* arg);

// Limits of one batch, which set the sizes of the thread's buffers.
constexpr int ep6_max_frames = 25;
// One FPGA sample record per sample instant.
constexpr size_t ep6_record_size = rx_record_bytes;
constexpr size_t ep6_record_buffer = 16384;  // bytes, one batch of records
constexpr size_t ep6_mic_buffer = 2048;      // bytes, one batch of codec words
constexpr size_t ep6_mic_buffer_words = ep6_mic_buffer / 4;
// rx_cntr at or above (a full FIFO): restart the FIFO.
constexpr uint16_t rx_fifo_overflow = rx_fifo_words;
constexpr uint16_t adc_fifo_overflow = 1024;  // adc_cntr at or above: restart both FIFOs

// The batch wait. While the receive FIFO holds less than a batch, the thread
// sleeps until the batch is due: the missing words at the FIFO's word rate,
// 8 words per sample instant at 48 kHz x 2^rate, to an absolute
// CLOCK_MONOTONIC deadline; never longer than ep6_wait_max_ns, so that a stop
// is seen within a millisecond, and never shorter than ep6_wait_min_ns, so
// that a FIFO a few words short is not polled in a tight loop. It reads
// rx_cntr after every wake-up and reads the batch only when the count says
// it is there. At 384 kHz a batch fills in about 1.3 ms and the FIFO reaches
// the reset mark about 1.36 ms after the batch is complete: that is the
// wake-up latency the wait tolerates (a wait that looked again every 1 ms
// tolerated about 0.36 ms in its worst phase).
constexpr int64_t ep6_wait_max_ns = 1000000;
constexpr int64_t ep6_wait_min_ns = 50000;
constexpr int64_t ep6_words_per_second(int rate_code) {
  return int64_t{8 * 48000} << (rate_code & 3);
}
// Sleep for `missing` words at rate code `rate_code`, rounded up to whole
// nanoseconds and held within [ep6_wait_min_ns, ep6_wait_max_ns].
//
// That is missing x 10^9 / (384000 x 2^rate) = missing x 15625 / (6 x 2^rate)
// ns, rounded up, computed without a division at run time (the board's
// processor has no divide instruction): in 32 bits, as a division by the
// constant 6 and a shift, since ceil(ceil(x / 6) / 2^rate) = ceil(x / (6 x
// 2^rate)). From 3072 words on, the sleep is the longest at every rate.
constexpr int64_t ep6_wait_ns(int missing, int rate_code) {
  static_assert(ep6_words_per_second(0) == 384000 && ep6_wait_max_ns == 1000000);
  if (missing <= 0) return ep6_wait_min_ns;
  if (missing >= 3072) return ep6_wait_max_ns;
  const uint32_t sixths = (static_cast<uint32_t>(missing) * 15625u + 5u) / 6u;
  const int shift = rate_code & 3;
  const int64_t ns = (sixths + (1u << shift) - 1u) >> shift;
  return ns < ep6_wait_min_ns ? ep6_wait_min_ns : ns > ep6_wait_max_ns ? ep6_wait_max_ns : ns;
}

// Batch geometry for a number of receivers (clamped to 1..8), all integer
// divisions: the slot and the slots per block of the EP6 payload
// (common/protocol.h), 256 / (slots per block) frames, two blocks per frame. The eight geometries
// are worked out when compiling: a batch looks its one up.
struct ep6_geometry {
  int receivers;          // 1..8
  int slot_size;          // bytes
  int samples_per_block;  // slots filled in each block
  int frames;             // frames per batch, 4..25
  int samples;            // sample instants per batch, 2 x frames x samples_per_block
  int fill_threshold;     // rx_cntr words that hold the batch's records (8 per record)
};
constexpr ep6_geometry ep6_geometry_of(int r) {
  const int slot = ep6_slot_size(r);
  const int per_block = ep6_samples_per_block(r);
  const int frames = 256 / per_block;
  return {r, slot, per_block, frames, 2 * frames * per_block, 16 * frames * per_block};
}
inline constexpr ep6_geometry ep6_geometries[ep6_max_receivers] = {
    ep6_geometry_of(1), ep6_geometry_of(2), ep6_geometry_of(3), ep6_geometry_of(4),
    ep6_geometry_of(5), ep6_geometry_of(6), ep6_geometry_of(7), ep6_geometry_of(8)};
constexpr const ep6_geometry& ep6_geometry_for(int receivers) {
  return ep6_geometries[std::clamp(receivers, 1, ep6_max_receivers) - 1];
}

// What one stream thread carries from batch to batch.
struct ep6_stream_state {
  int status_index = 0;   // 0..4: status header of the next block
  uint32_t sequence = 0;  // number of the next frame, wraps
  int32_t mic_index = 0;  // microphone samples placed since the last codec read
  // Words the most recent codec read brought in; the microphone word number
  // never passes the last of them. Before the first read the whole zeroed
  // buffer counts.
  int32_t mic_words = ep6_mic_buffer_words;
  // The layout whose zero bytes the frames' payloads hold (receivers 0: none
  // yet). A batch of another layout zeroes them first; a batch of this one
  // writes only the bytes that carry samples.
  int zeroed_receivers = 0;
  bool zeroed_codec = false;
};

// Builds frames 0 .. g.frames - 1 of `frames` (whose bytes 0..3 are already
// EF FE 01 06): sequence numbers, per block the status header with gpio_in
// bits 0..2, `ptt` and the xadc values it names (read from the FPGA here,
// gpio_in once per block), and the payload from `records` (g.samples records
// of 32 bytes) and, when `with_codec`, the microphone words of `mic` (each word
// placed into 2^rate consecutive slots, rate read for every sample). Advances
// `s`. Allocates nothing; stream thread only.
//
// The payload bytes that carry nothing (receivers 5..8, the microphone without
// a codec, the tail after the last slot) are zero. They are written when the
// layout (receivers, codec) differs from the one `s` records, for all of the
// batch's frames, and not again while it stays: the frames are to be the same
// buffers from batch to batch, written by nothing else.
void ep6_build_batch(uint8_t (*frames)[frame_size], const ep6_geometry& g, const uint8_t* records,
                     const uint8_t* mic, bool with_codec, uint8_t ptt, ep6_stream_state* s);

// The overflow check made before each batch's wait: with a codec, adc_cntr >=
// 1024 or rx_cntr >= 8192 restarts both FIFOs (the codec's first); without,
// rx_cntr >= 8192 restarts the receive FIFO. Each restart is a pulse of the
// rx_rst bit, counted in count_rx_fifo_resets (and count_codec_fifo_resets),
// with the sample instants it throws away (rx_cntr / 8) in
// count_rx_samples_discarded. Stream thread only.
void ep6_overflow_check(bool with_codec);
