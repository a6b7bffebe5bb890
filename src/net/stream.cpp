#include "net/stream.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "control/counters.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"

namespace {

// Every geometry fits the thread's fixed buffers.
constexpr bool geometries_fit() {
  for (int r = 1; r <= ep6_max_receivers; ++r) {
    const ep6_geometry g = ep6_geometry_for(r);
    if (g.frames > ep6_max_frames) return false;
    if (static_cast<size_t>(g.samples) * ep6_record_size > ep6_record_buffer) return false;
    if (static_cast<size_t>(g.samples) * 4 > ep6_mic_buffer) return false;
    if (g.samples_per_block * g.slot_size > static_cast<int>(block_payload_size)) return false;
  }
  return true;
}
static_assert(geometries_fit());

// Versions the board reports in its status words; clients show them as they
// are (docs/clients.md, "What the board reports").
constexpr uint8_t receiver_version = 0x21;     // 33
constexpr uint8_t transmitter_version = 0x11;  // 17
constexpr uint8_t board_version = 0x15;        // 21, shown by clients as the firmware version
// Status address 4: per receiver 1..4 its version in bits 1..7 and its ADC
// overload bit (bit 0), which stays clear.
constexpr uint8_t receiver_status = receiver_version << 1;  // 0x42

// Block headers in rotation: sync bytes, C0..C4. C0 bits 3..7 name what
// C1..C4 carry; the zeros of rows 1..3 are filled from the XADC.
constexpr int status_count = 5;
constexpr uint8_t status_headers[status_count][8] = {
    {0x7F, 0x7F, 0x7F, 0x00, 0x00, receiver_version, transmitter_version, board_version},
    {0x7F, 0x7F, 0x7F, 0x08, 0x00, 0x00, 0x00, 0x00},
    {0x7F, 0x7F, 0x7F, 0x10, 0x00, 0x00, 0x00, 0x00},
    {0x7F, 0x7F, 0x7F, 0x18, 0x00, 0x00, 0x00, 0x00},
    {0x7F, 0x7F, 0x7F, 0x20, receiver_status, receiver_status, receiver_status, receiver_status},
};
constexpr size_t c0 = block_c0_offset;
constexpr size_t c1 = c0 + 1;
constexpr size_t c3 = c0 + 3;

// Record bytes that reach the client: receivers 1-2 at 0..11, receivers 3-4
// at 18..29; bytes 12..17 and 30..31 are not carried.
constexpr size_t record_rx12 = 0;
constexpr size_t record_rx34 = 18;
constexpr size_t slot_rx34 = 12;
// Two 24-bit words per receiver, MSB first, copied as the FPGA gives them:
// Q then I of the analytic signal (clients read second + j*first).
constexpr size_t receiver_bytes = ep6_receiver_bytes;

// XADC word (32-bit index into the block) as the client sees it: bits 3..18,
// big-endian into two control bytes.
void put_xadc(uint8_t* p, unsigned word) {
  const uint16_t v = static_cast<uint16_t>(read32(xadc + word) >> 3);
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void write_status(uint8_t* block, int index, uint8_t ptt) {
  std::memcpy(block, status_headers[index], 8);
  block[c0] = static_cast<uint8_t>(block[c0] | (read8(gpio_in) & 7) | ptt);
  switch (index) {
    case 1:
      put_xadc(block + c3, xadc_word::forward_power);
      break;
    case 2:
      put_xadc(block + c1, xadc_word::reverse_power);
      put_xadc(block + c3, xadc_word::aux_input);
      break;
    case 3:
      put_xadc(block + c1, xadc_word::supply);
      break;
    default:
      break;
  }
}

// `ns` is at most ep6_wait_max_ns: the deadline is the clock's reading with
// at most one carry into the seconds, and needs no division.
void sleep_for(int64_t ns) {
  static_assert(ep6_wait_max_ns < ns_per_s);
  timespec d{};
  platform->clock_now(&d);
  d.tv_nsec += static_cast<long>(ns);
  if (d.tv_nsec >= ns_per_s) {
    d.tv_nsec -= static_cast<long>(ns_per_s);
    ++d.tv_sec;
  }
  platform->sleep_until(&d);
}

// Sleeps until the receive FIFO holds `words` (stream.h: ep6_wait_ns). Gives
// up, false, when the stream is stopped meanwhile, so a stop returns promptly
// even when the FPGA no longer fills the FIFO. A look that finds the FIFO at
// the reset mark is counted: records were lost while it was full, even when
// this look ends the wait and the check before the next batch finds nothing.
// Progress for the watchdog (control/state.h).
void progress() {
  st(stream_progress, ld(stream_progress) + 1);
}

bool wait_for_batch(int words) {
  for (;;) {
    progress();
    const int level = read16(rx_cntr);
    if (level >= rx_fifo_overflow) tally(count_rx_fifo_full);
    if (level >= words) return true;
    if (enable_thread.load(std::memory_order_acquire) == 0) return false;
    sleep_for(ep6_wait_ns(words - level, ld(rate)));
  }
}

}  // namespace

void ep6_overflow_check(bool with_codec) {
  const uint16_t level = read16(rx_cntr);
  const bool codec_full = with_codec && read16(adc_cntr) >= adc_fifo_overflow;
  if (!codec_full && level < rx_fifo_overflow) return;
  if (with_codec) {
    pulse8(rx_rst, rx_rst_bits::codec_restart);
    tally(count_codec_fifo_resets);
  }
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  tally(count_rx_fifo_resets);
  tally(count_rx_samples_discarded, level / 8u);
}

namespace {

// The payloads of the blocks of one batch of R receivers, with or without the
// microphone: record bytes to slot bytes by copies of fixed sizes, every slot
// byte that carries nothing left as it is (zero).
template <int R, bool with_codec>
void fill_blocks(uint8_t (*frames)[frame_size], const uint8_t* record, const uint8_t* mic,
                 uint8_t ptt, ep6_stream_state* s) {
  constexpr const ep6_geometry& g = ep6_geometry_for(R);
  constexpr size_t rx12 = receiver_bytes * static_cast<size_t>(std::min(R, 2));
  constexpr size_t rx34 = receiver_bytes * static_cast<size_t>(std::clamp(R - 2, 0, 2));
  constexpr size_t slot_mic = static_cast<size_t>(g.slot_size - ep6_mic_bytes);
  const int32_t last_word = s->mic_words - 1;
  int32_t mic_index = s->mic_index;
  int status = s->status_index;
  for (int f = 0; f < g.frames; ++f) {
    for (const size_t block_offset : frame_block_offset) {
      uint8_t* block = frames[f] + block_offset;
      write_status(block, status, ptt);
      status = status + 1 == status_count ? 0 : status + 1;

      uint8_t* slot = block + block_payload_offset;
      for (int k = 0; k < g.samples_per_block;
           ++k, record += ep6_record_size, slot += g.slot_size) {
        std::memcpy(slot, record + record_rx12, rx12);
        if constexpr (rx34 != 0) std::memcpy(slot + slot_rx34, record + record_rx34, rx34);
        if constexpr (with_codec) {
          // Each codec word serves 2^rate receive samples; a rate that dropped
          // or a batch that grew since the last read would run the index past
          // the words that read brought in, so it is held at the last of them.
          int32_t word = mic_index >> (ld(rate) & 3);
          if (word > last_word) word = last_word;
          std::memcpy(slot + slot_mic, mic + 4 * word, ep6_mic_bytes);
          ++mic_index;
        }
      }
    }
  }
  s->status_index = status;
  s->mic_index = mic_index;
}

using block_filler = void (*)(uint8_t (*)[frame_size], const uint8_t*, const uint8_t*, uint8_t,
                              ep6_stream_state*);
template <bool with_codec>
constexpr block_filler fillers[ep6_max_receivers] = {
    fill_blocks<1, with_codec>, fill_blocks<2, with_codec>, fill_blocks<3, with_codec>,
    fill_blocks<4, with_codec>, fill_blocks<5, with_codec>, fill_blocks<6, with_codec>,
    fill_blocks<7, with_codec>, fill_blocks<8, with_codec>};

}  // namespace

void ep6_build_batch(uint8_t (*frames)[frame_size], const ep6_geometry& g, const uint8_t* records,
                     const uint8_t* mic, bool with_codec, uint8_t ptt, ep6_stream_state* s) {
  for (int f = 0; f < g.frames; ++f) put_be32(frames[f] + frame_sequence_offset, s->sequence++);

  if (s->zeroed_receivers != g.receivers || s->zeroed_codec != with_codec) {
    for (int f = 0; f < g.frames; ++f)
      for (const size_t block_offset : frame_block_offset)
        std::memset(frames[f] + block_offset + block_payload_offset, 0, block_payload_size);
    s->zeroed_receivers = g.receivers;
    s->zeroed_codec = with_codec;
  }
  (with_codec ? fillers<true> : fillers<false>)[g.receivers - 1](frames, records, mic, ptt, s);
}

void* handler_ep6(void*) {
  platform->set_thread_name("stream");
  alignas(4) uint8_t records[ep6_record_buffer];
  alignas(4) uint8_t mic[ep6_mic_buffer];
  uint8_t frames[ep6_max_frames][frame_size];
  iovec iov[ep6_max_frames];
  mmsghdr msgs[ep6_max_frames];

  std::memset(mic, 0, sizeof mic);
  std::memset(iov, 0, sizeof iov);
  std::memset(msgs, 0, sizeof msgs);
  for (int k = 0; k < ep6_max_frames; ++k) {
    std::memcpy(frames[k], ep6_frame_header, sizeof ep6_frame_header);
    iov[k].iov_base = frames[k];
    iov[k].iov_len = frame_size;
    // addr_ep6 does not change while this thread runs: the receive loop
    // writes it only after active_thread has fallen to 0.
    msgs[k].msg_hdr.msg_name = &addr_ep6;
    msgs[k].msg_hdr.msg_namelen = sizeof addr_ep6;
    msgs[k].msg_hdr.msg_iov = &iov[k];
    msgs[k].msg_hdr.msg_iovlen = 1;
  }
  int codec_countdown = 1 << (ld(rate) & 3);

  if (i2c_has(i2c_accessory::codec) != 0) pulse8(rx_rst, rx_rst_bits::codec_restart);
  pulse8(rx_rst, rx_rst_bits::fifo_restart);

  const int sock = ld(sock_ep2);
  ep6_stream_state state;
  while (enable_thread.load(std::memory_order_acquire) != 0) {
    const ep6_geometry g = ep6_geometry_for(ld(receivers));
    const bool with_codec = i2c_has(i2c_accessory::codec) != 0;
    ep6_overflow_check(with_codec);
    if (!wait_for_batch(g.fill_threshold)) break;

    // The codec runs at 48 kHz, the receivers at 2^rate times that: one read
    // of a batch's worth of words serves 2^rate batches, and is made on the
    // last of them.
    if (with_codec && --codec_countdown <= 0) {
      fifo_read(mic, codec, 4 * static_cast<size_t>(g.samples));
      state.mic_index = 0;
      state.mic_words = g.samples;
      codec_countdown = 1 << (ld(rate) & 3);
    }
    fifo_read(records, fifo, ep6_record_size * static_cast<size_t>(g.samples));
    ep6_build_batch(frames, g, records, mic, with_codec, ld(cw_ptt), &state);
    // A failed or partial send is not retried: the next batch follows. A
    // network that does not take the frames (a full send buffer on a slow or
    // paused link) costs those frames, counted, and never a wait here while
    // the receive FIFO fills.
    if (platform->sendmmsg(sock, msgs, static_cast<unsigned>(g.frames), MSG_DONTWAIT) != g.frames)
      tally(count_send_failures);
    progress();
  }
  active_thread.store(0, std::memory_order_release);
  return nullptr;
}
