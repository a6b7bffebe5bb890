// The receive loop's way out after SIGINT or SIGTERM.
#pragma once

#include <cstdint>

// Longest wait for the keyer to answer cw_release. It answers within a tick
// (1 ms) wherever it is; the limit only keeps a keyer that no longer runs
// from holding up the exit.
constexpr int64_t keyer_release_limit_ms = 50;

// In this order: releases the client's transmit request (net/tx_release.h)
// and runs the accessory pass, so gpio_out bit 0 and the Alex and nucleo MOX
// bits fall at once; asks the keyer to release (cw_release) and waits, at
// most keyer_release_limit_ms, for its cw_released; then clears bit 0 of
// filter_settings and nucleo_settings that the keyer's PTT left there (as the
// client's next general word would) and runs the accessory pass again; stops
// the stream (at most stream_stop_limit_ms). False, after a line on standard error, when the
// keyer or the stream thread did not answer in time. Main thread.
bool shut_down();
