#include "net/tx_sink.h"

#include "control/counters.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "net/frames.h"

std::atomic<uint8_t> tx_fifo_stalled{0};
std::atomic<uint8_t> dac_fifo_stalled{0};

namespace {

// One FIFO as the sink feeds it.
struct sink_fifo {
  volatile uint32_t* port;
  const volatile uint16_t* level;
  uint16_t threshold;
  unsigned prime_words;
  std::atomic<uint8_t>& stalled;
  std::atomic<uint32_t>& dropped;    // samples dropped while it had no room
  std::atomic<uint32_t>* ran_empty;  // times it was found empty, or null
};

// Makes room for one frame and primes the FIFO if it ran empty; false when
// the frame's samples for it are to be dropped (they are counted here). A
// FIFO with no room is waited for in 1 ms sleeps for at most
// fifo_wait_limit_ms; then it counts as stalled, and while it is, each frame
// looks at its level once and waits no more, until the level has fallen to
// the threshold.
bool make_room(const sink_fifo& f) {
  if (read16(f.level) > f.threshold) {
    if (ld(f.stalled) != 0) {
      f.dropped.fetch_add(ep2_samples_per_frame, std::memory_order_relaxed);
      return false;
    }
    const int64_t deadline = platform_now_ns() + fifo_wait_limit_ms * ns_per_ms;
    for (;;) {
      platform->usleep(fifo_poll_us);
      if (read16(f.level) <= f.threshold) break;
      if (platform_now_ns() >= deadline) {
        st(f.stalled, 1);
        f.dropped.fetch_add(ep2_samples_per_frame, std::memory_order_relaxed);
        return false;
      }
    }
  }
  if (ld(f.stalled) != 0) st(f.stalled, 0);
  if (read16(f.level) == 0) {
    if (f.ran_empty) tally(*f.ran_empty);
    fifo_write_zeros(f.port, f.prime_words);
  }
  return true;
}

void transmit_part(const uint8_t* frame) {
  if (!make_room({fifo, tx_cntr, tx_fifo_threshold, tx_fifo_prime_words, tx_fifo_stalled,
                  count_tx_samples_dropped, &count_tx_fifo_empty}))
    return;
  // The word count never depends on the gate, only the content does, so the
  // FPGA's transmit path keeps its timing whether or not the client keys.
  const bool keyed = ((read8(gpio_out) | read8(gpio_in)) & gpio_in_bits::ptt) != 0;
  if (!keyed) {
    fifo_write_zeros(fifo, tx_words_per_frame);
    return;
  }
  // Per sample the audio word (with EER, else a zero word), then the I/Q
  // word; block 1's samples, then block 2's.
  const bool eer = ld(tx_eer) != 0;
  volatile uint32_t* const port = fifo;
  for (const size_t block : frame_block_offset) {
    const uint8_t* samples = frame + block + block_payload_offset;
    fifo_write_pairs(port, eer ? samples + ep2_sample_audio : nullptr, samples + ep2_sample_iq,
                     ep2_samples_per_block, ep2_sample_size);
  }
}

void audio_part(const uint8_t* frame) {
  if (!make_room({codec, dac_cntr, dac_fifo_threshold, dac_fifo_prime_words, dac_fifo_stalled,
                  count_codec_samples_dropped, nullptr}))
    return;
  volatile uint32_t* const port = codec;
  for (const size_t block : frame_block_offset)
    fifo_write_strided(port, frame + block + block_payload_offset + ep2_sample_audio,
                       ep2_samples_per_block, ep2_sample_size);
}

}  // namespace

void tx_sink_frame(const uint8_t* frame) {
  if (ld(keyer_owns_tx) == 0) transmit_part(frame);
  if (i2c_has(i2c_accessory::codec) != 0) audio_part(frame);
}
