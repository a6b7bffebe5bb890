// Reads EP6 frames as a client receives them: the sequence number, the
// status words and each receiver's I/Q samples; and checks the samples of
// the simulated board's counter mode for gaps.
#pragma once

#include <sys/types.h>

#include <complex>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/protocol.h"
#include "common/sample_counter.h"

// One receiver's sample as the two 24-bit words on the wire.
struct iq_sample {
  int32_t first, second;
  // The analytic signal: the radio sends Q, then I, so a carrier above the
  // tuned frequency is at a positive offset in second + j*first.
  std::complex<double> analytic() const { return {double(second), double(first)}; }
};

inline int32_t sample24(const uint8_t* p) {
  const uint32_t v = get_be24(p);
  return static_cast<int32_t>(v) - (v & 0x800000 ? 0x1000000 : 0);
}

struct ep6_frame {
  uint32_t sequence = 0;
  uint8_t status[2][5]{};  // C0..C4 of each block
  int receivers = 0;
  int samples = 0;            // sample times in the frame
  std::vector<iq_sample> iq;  // receiver r (0-based) at time n: iq[n * receivers + r]
  std::vector<uint16_t> mic;  // at time n
  bool padding_zero = true;   // the bytes after the last slot of each block

  const iq_sample& at(int n, int r) const { return iq[n * receivers + r]; }
};

// The frame in the `size` bytes at `d` with `receivers` receivers; nothing
// when they are no EP6 frame (size, header, sync bytes).
inline std::optional<ep6_frame> read_ep6(const uint8_t* d, ssize_t size, int receivers) {
  if (size != static_cast<ssize_t>(frame_size) ||
      std::memcmp(d, ep6_frame_header, sizeof ep6_frame_header) != 0)
    return std::nullopt;
  ep6_frame f;
  f.sequence = get_be32(d + frame_sequence_offset);
  f.receivers = receivers;
  const int slot = ep6_slot_size(receivers), per_block = ep6_samples_per_block(receivers);
  f.samples = 2 * per_block;
  for (int blk = 0; blk < 2; ++blk) {
    const uint8_t* b = d + frame_block_offset[blk];
    for (size_t k = 0; k < block_sync_size; ++k)
      if (b[k] != block_sync) return std::nullopt;
    std::memcpy(f.status[blk], b + block_c0_offset, block_control_size);
    const uint8_t* payload = b + block_payload_offset;
    for (int s = 0; s < per_block; ++s) {
      const uint8_t* sl = payload + s * slot;
      for (int r = 0; r < receivers; ++r) {
        const uint8_t* words = sl + ep6_receiver_bytes * r;
        f.iq.push_back({sample24(words), sample24(words + 3)});
      }
      f.mic.push_back(get_be16(sl + slot - ep6_mic_bytes));
    }
    for (int z = per_block * slot; z < static_cast<int>(block_payload_size); ++z)
      f.padding_zero = f.padding_zero && payload[z] == 0;
  }
  return f;
}

// A frame as the board sends it in counter mode (below), numbered `seq`,
// its first sample time carrying `first_count`, C0 = `c0` in both blocks.
inline std::vector<uint8_t> counter_frame(uint32_t seq, uint32_t first_count, int receivers = 1,
                                          uint8_t c0 = 0) {
  std::vector<uint8_t> f(frame_size, 0);
  std::memcpy(f.data(), ep6_frame_header, sizeof ep6_frame_header);
  put_be32(f.data() + frame_sequence_offset, seq);
  const int slot = ep6_slot_size(receivers), per_block = ep6_samples_per_block(receivers);
  for (int blk = 0; blk < 2; ++blk) {
    uint8_t* b = f.data() + frame_block_offset[blk];
    std::memset(b, block_sync, block_sync_size);
    b[block_c0_offset] = c0;
    for (int n = 0; n < per_block; ++n)
      for (int r = 0; r < receivers && r < 4; ++r) {
        uint8_t* words = b + block_payload_offset + n * slot + ep6_receiver_bytes * r;
        put_be24(words, (first_count + per_block * blk + n) & counter_mask);
        put_be24(words + 3, r + 1);
      }
  }
  return f;
}

// The simulated board's counter mode (varnholt-sim --counter): at each
// sample time, I of receivers 1..4 is the number of records since the last
// restart of the receive FIFO (24 bits) and Q the receiver's number;
// receivers 5..8 and the microphone carry zero. add() takes the frames in
// the order they came and counts what went missing.
struct counter_check {
  int receivers;
  bool started = false;
  uint32_t last_sequence = 0, last_count = 0;
  long frames = 0;
  long sequence_gaps = 0;   // frames not numbered one above the last
  long frames_missing = 0;  // numbers skipped (frames lost on the way)
  long out_of_order = 0;    // frames numbered at or below the last
  long steps = 0;           // count steps other than +1: a run missed, or a restart
  long missing = 0;         // samples the forward steps skipped
  long restarts = 0;        // the count went back (the FIFO was restarted)
  int64_t produced = 0;     // forward steps summed: records made, missed ones too
  long bad = 0;             // samples that are neither the count nor zero where due
  std::string first_bad;

  explicit counter_check(int receivers) : receivers(receivers) {}

  void add(const ep6_frame& f) {
    ++frames;
    if (frames > 1 && f.sequence != last_sequence + 1) {
      ++sequence_gaps;
      if (f.sequence > last_sequence)
        frames_missing += f.sequence - last_sequence - 1;
      else
        ++out_of_order;
    }
    last_sequence = f.sequence;
    if (!f.padding_zero) fault(f, 0, 0, "padding not zero");
    for (int n = 0; n < f.samples; ++n) {
      const auto count = static_cast<uint32_t>(f.at(n, 0).first) & counter_mask;
      for (int r = 0; r < receivers; ++r) {
        const iq_sample& s = f.at(n, r);
        const bool carried = r < 4;
        if ((static_cast<uint32_t>(s.first) & counter_mask) != (carried ? count : 0))
          fault(f, n, r, "the first word is not the count");
        else if (s.second != (carried ? r + 1 : 0))
          fault(f, n, r, "the second word is not the receiver's number");
      }
      if (f.mic[n] != 0) fault(f, n, 0, "microphone not zero");
      if (started) {
        const uint32_t step = (count - last_count) & counter_mask;
        if (step != 1) ++steps;
        if (counter_restarted(last_count, count)) {
          ++restarts;
        } else {
          produced += step;
          missing += step > 0 ? step - 1 : 0;
        }
      }
      started = true;
      last_count = count;
    }
  }

 private:
  void fault(const ep6_frame& f, int n, int r, const char* what) {
    if (bad++ == 0)
      first_bad = std::string(what) + " in frame " + std::to_string(f.sequence) + ", sample " +
                  std::to_string(n) + ", receiver " + std::to_string(r + 1);
  }
};
