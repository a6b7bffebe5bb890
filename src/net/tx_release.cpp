#include "net/tx_release.h"

#include "control/counters.h"
#include "control/decoder.h"
#include "control/state.h"
#include "hardware/platform.h"
#include "net/frames.h"

std::atomic<uint8_t> tx_general_word[5]{};

namespace {

bool frame_came = false;    // since the last check
int64_t last_frame_ns = 0;  // CLOCK_MONOTONIC of the pass that handled the last frame

bool mox_set() {
  return (ld(tx_general_word[0]) & ep2_c0::mox) != 0;
}

}  // namespace

void tx_release_note(const uint8_t* frame) {
  for (const size_t offset : ep2_c0_offset) {
    const uint8_t* c = frame + offset;
    if ((c[0] & ~ep2_c0::mox) != ep2_c0::general) continue;
    for (int i = 0; i < 5; ++i) st(tx_general_word[i], c[i]);
  }
  frame_came = true;
}

void tx_release_check() {
  if (!frame_came && !mox_set()) return;
  const int64_t now = platform_now_ns();
  if (frame_came) {
    frame_came = false;
    last_frame_ns = now;
  } else if (now - last_frame_ns >= tx_silence_limit_ms * ns_per_ms) {
    tx_release();
  }
}

bool tx_release() {
  if (!mox_set()) return false;
  uint8_t word[5];
  for (int i = 0; i < 5; ++i) word[i] = ld(tx_general_word[i]);
  word[0] = ep2_c0::general;
  st(tx_general_word[0], word[0]);
  process_ep2(word);
  count_tx_released.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void tx_release_reset() {
  for (auto& b : tx_general_word) st(b, 0);
  frame_came = false;
  last_frame_ns = 0;
}
