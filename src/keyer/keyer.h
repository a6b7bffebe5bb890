// The CW keyer thread.
//
// handler_keyer samples the paddles (gpio_in bits 1 and 2) once per 1 ms
// tick and, while keyer_enabled is set, keys the transmitter through tx_rst:
// keyer PTT (bit 5), transmit source (bit 4), sidetone (bit 3, only with a
// codec), RF key (bit 2, lagging the sidetone by the RF delay) and the
// transmit restart pulse (bit 0) when PTT drops after the hang time. It
// publishes cw_ptt and keyer_owns_tx for the other threads, and signals every
// change of cw_ptt on ptt_event_fd (when there is one) so that the receive
// loop brings the Alex and nucleo relays along at once.
//
// Timing: ticks are 1 ms deadlines on CLOCK_MONOTONIC (platform->clock_now,
// platform->sleep_until); each deadline is the previous one plus 1 ms, so
// wake-up latency does not add up over an element. Element lengths are whole
// ticks. When the thread finds itself more than keyer_max_lag_ms behind its
// deadline (it was stopped or starved) it restarts the tick grid at the
// present moment instead of running the missed ticks back to back.
//
// Speed 0: the keyer sends no timed elements. Iambic paddles and the mode-0
// dot input start nothing (the pending hang still runs out and drops PTT);
// an element caught in progress by a change to 0 ends with marks and spaces
// of 0 ticks and no further element follows. The straight key needs no speed
// and keeps working, with the RF delay cw_delay uncapped (there is no dot to
// cap it), so the RF key still lags PTT and sidetone as configured.
#pragma once

#include <cstdint>

// Lag beyond which the tick grid is restarted rather than caught up, ms.
// About the shortest dot (19 ms at 63 wpm): up to this, catching up keeps
// element lengths right on average; beyond it, the catch-up burst would
// compress whole elements and spaces into nothing.
constexpr int64_t keyer_max_lag_ms = 20;

// Release (shutdown): once the main thread sets cw_release, the keyer sees it
// within a tick (before or after any of its sleeps, the timed dot's mark
// included), ends an element in progress at once (sidetone off, key up, then
// the PTT drop in its usual order), sets cw_released and from then on only
// sleeps: no paddle, hang or PTT input is looked at again.
//
// Thread entry, created once at start-up with SCHED_FIFO priority 99
// (keyer_priority); names its thread "keyer"; the argument is ignored and the
// function never returns. Uses only the platform's clock_now and sleep_until
// for time, so a test platform can drive it tick by tick (and end it by
// throwing from sleep_until when it runs the entry on its own thread rather
// than as a pthread entry).
void* handler_keyer(void* arg);
