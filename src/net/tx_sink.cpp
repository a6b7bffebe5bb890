#include "net/tx_sink.h"

#include "control/counters.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "net/frames.h"

namespace {

void write_zero_words(volatile uint32_t* port, unsigned count) {
  for (unsigned i = 0; i < count; ++i) fifo_write(port, 0);
}

// Waits for room for one frame, then primes the FIFO if it ran empty.
// Returns whether it had.
bool make_room(volatile uint32_t* port, const volatile uint16_t* level, uint16_t threshold,
               unsigned prime_words) {
  while (read16(level) > threshold) platform->usleep(fifo_poll_us);
  if (read16(level) != 0) return false;
  write_zero_words(port, prime_words);
  return true;
}

void transmit_part(const uint8_t* frame) {
  if (make_room(fifo, tx_cntr, tx_fifo_threshold, tx_fifo_prime_words)) tally(count_tx_fifo_empty);
  // The word count never depends on the gate, only the content does, so the
  // FPGA's transmit path keeps its timing whether or not the client keys.
  const bool keyed = ((read8(gpio_out) | read8(gpio_in)) & gpio_in_bits::ptt) != 0;
  if (!keyed) {
    write_zero_words(fifo, tx_words_per_frame);
    return;
  }
  const bool eer = ld(tx_eer_data) != 0;
  for (unsigned k = 0; k < ep2_samples_per_frame; ++k) {
    const uint8_t* s = ep2_sample(frame, k);
    fifo_write(fifo, eer ? wire_word(s + ep2_sample_audio) : 0);
    fifo_write(fifo, wire_word(s + ep2_sample_iq));
  }
}

void audio_part(const uint8_t* frame) {
  make_room(codec, dac_cntr, dac_fifo_threshold, dac_fifo_prime_words);
  for (unsigned k = 0; k < ep2_samples_per_frame; ++k)
    fifo_write(codec, wire_word(ep2_sample(frame, k) + ep2_sample_audio));
}

}  // namespace

void tx_sink_frame(const uint8_t* frame) {
  if (ld(tx_mux_data) == 0) transmit_part(frame);
  if (ld(i2c_codec) != 0) audio_part(frame);
}
