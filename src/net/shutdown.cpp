#include "net/shutdown.h"

#include <cstdio>

#include "control/state.h"
#include "control/writers.h"
#include "hardware/platform.h"
#include "net/receive_loop.h"
#include "net/tx_release.h"

namespace {

constexpr unsigned keyer_poll_us = 1000;

bool release_keyer() {
  st(cw_release, 1);
  const int64_t deadline = platform_now_ns() + keyer_release_limit_ms * ns_per_ms;
  while (cw_released.load(std::memory_order_acquire) == 0) {
    if (platform_now_ns() >= deadline) return false;
    platform->usleep(keyer_poll_us);
  }
  return true;
}

// The accessory pass ORs cw_ptt into bit 0 of filter_settings and nucleo_settings
// and only the client's next general word clears it again. With the client's
// MOX released and the keyer's PTT dropped for good, bit 0 of both words can
// only be such a leftover; it is cleared as that general word (MOX clear)
// would clear it, and the pass that follows calls the writers.
void clear_merged_ptt() {
  const uint16_t alex = ld(filter_settings);
  if (alex & 1) {
    st(filter_settings, alex & ~1u);
    st(alex_update, 1);
  }
  const uint32_t nucleo = ld(nucleo_settings);
  if (nucleo & 1) {
    st(nucleo_settings, nucleo & ~1u);
    st(nucleo_update, 1);
  }
}

}  // namespace

bool shut_down() {
  tx_release();
  accessory_updates();
  const bool keyer = release_keyer();
  if (!keyer) std::fputs("varnholt: the keyer did not release the transmitter\n", stderr);
  if (keyer && ld(cw_ptt) == 0) {
    clear_merged_ptt();
    accessory_updates();
  }
  const bool stream = stream_stop();
  if (!stream) std::fputs("varnholt: the stream thread did not stop\n", stderr);
  return keyer && stream;
}
