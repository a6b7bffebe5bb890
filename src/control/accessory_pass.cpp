// The accessory pass: the receive loop runs it after every batch of
// datagrams, so that the Alex filters and the band-decoder boards follow the
// control words of the batch and the keyer's PTT.
#include "common/field.h"
#include "control/state.h"
#include "control/words.h"
#include "control/writers.h"

void accessory_updates() {
  // The keyer's PTT goes into the MOX bit of both words.
  const uint16_t alex_word = ld(filter_settings);
  const uint32_t ptt_alex = field_put(filter_settings_bits::mox, ld(cw_ptt));
  if (ptt_alex & ~alex_word) {
    st(filter_settings, alex_word | ptt_alex);
    st(alex_update, 0);
    alex_write();
  } else if (ld(alex_update) != 0) {
    st(alex_update, 0);
    alex_write();
  }

  // The misc board never sees cw_ptt: only its flag calls it.
  if (ld(misc_update) != 0) {
    st(misc_update, 0);
    misc_write();
  }

  const uint32_t nucleo_word = ld(nucleo_settings);
  const uint32_t merged = field_get(nucleo_settings_bits::all,
                                    nucleo_word | field_put(nucleo_settings_bits::mox, ld(cw_ptt)));
  if (merged != nucleo_word) {
    st(nucleo_settings, merged);
    st(nucleo_update, 0);
    nucleo_write();
  } else if (ld(nucleo_update) != 0) {
    st(nucleo_update, 0);
    nucleo_write();
  }
}
