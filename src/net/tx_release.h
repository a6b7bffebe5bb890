// Release of the client's transmit request.
//
// A client keys the transmitter with the MOX bit (C0 bit 0) of its general
// control word (C0 0x00/0x01). When the client goes away with MOX set the
// server releases it itself: at a stop command, at a start command (the
// stream may be moving to another client), after tx_silence_limit_ms
// without an EP2 frame, and on the way out after a stop signal. A release
// decodes the client's last general word again with MOX clear, so it does
// exactly what that word with MOX clear would do (gpio_out bit 0, the Alex
// and nucleo MOX bits with their update flags, the arduino antenna word)
// and nothing else; the accessory pass that follows calls the writers. The
// keyer's own keying and the PTT input are not touched. The next general
// word with MOX set keys again. Receive loop (main thread) only.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int64_t tx_silence_limit_ms = 1000;

// The client's last general control word, C0..C4, as decoded (C0 0 when
// none came, or after a release).
extern std::atomic<uint8_t> tx_general_word[5];

// Called after the two control words of every EP2 frame the loop used:
// keeps the frame's last general word and notes that a frame came.
void tx_release_note(const uint8_t* frame);

// Called once per pass of the receive loop, before the accessory pass:
// releases the transmit request when MOX is set and no EP2 frame has come
// for tx_silence_limit_ms (CLOCK_MONOTONIC through platform->clock_now; the
// pass that handled the last frame is its time). Works with any wake-up
// period of the loop: the release comes at the first pass after the limit.
void tx_release_check();

// Releases the transmit request now when the last general word had MOX set
// (counted in count_tx_released); true when it did.
bool tx_release();

// Forgets the general word and the time of the last frame (tests).
void tx_release_reset();
