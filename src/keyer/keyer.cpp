#include "keyer/keyer.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ctime>

#include "common/field.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"

// Everything here runs on the keyer thread, the only writer of tx_rst,
// cw_ptt, cw_ptt_delay, keyer_owns_tx and paddle_latest/paddle_memory after start-up. Settings
// are re-read at every step that needs them, because process_ep2 changes
// them at any time; each length below loads cw_speed exactly once, so a
// change to 0 between a test and the division cannot divide by zero.

namespace {

constexpr int64_t keyer_idle_ms = 100;  // sleep of a released keyer

// CLOCK_MONOTONIC time of the next wake-up, ns.
int64_t tick_deadline;

// Every sleep the keyer wakes from counts as progress for the watchdog.
void sleep_until_ns(int64_t t) {
  const timespec d = ns_timespec(t);
  platform->sleep_until(&d);
  st(keyer_ticks, ld(keyer_ticks) + 1);
}

[[noreturn]] void release_and_idle();

// Sleeps until `ms` milliseconds after the previous deadline. Measuring from
// the deadline rather than from the wake-up keeps the latency of one wake-up
// out of the next interval. Past keyer_max_lag_ms of lag the grid restarts
// at the present moment (keyer.h). A longer sleep (the timed dot's mark)
// goes to the same deadline in 1 ms steps, so that a release request is
// answered within a tick wherever the keyer is; it never returns once one is
// seen.
void sleep_ms(int32_t ms) {
  tick_deadline += ms * ns_per_ms;
  const int64_t now = platform_now_ns();
  if (now - tick_deadline > keyer_max_lag_ms * ns_per_ms) tick_deadline = now;
  for (int64_t step = tick_deadline - (ms - 1) * ns_per_ms;; step += ns_per_ms) {
    if (ld(cw_release)) release_and_idle();
    sleep_until_ns(std::min(step, tick_deadline));
    if (step >= tick_deadline) break;
  }
  if (ld(cw_release)) release_and_idle();
}

void tick() {
  sleep_ms(1);
}

// Lengths in ms, which are ticks. Speed 0 gives 0 for every timed length;
// see keyer.h for what the keyer makes of that.
int32_t dot_length() {
  const uint32_t speed = ld(cw_speed);
  return speed ? static_cast<int32_t>(1200 / speed) : 0;
}

// Not 3 x dot: the truncation differs (speed 7: 514 against 513). Weight 0
// gives a dash of 0 ticks: only its RF delay, tail and space take time, so
// a held dash paddle still advances by at least one dot per element.
int32_t dash_length() {
  const uint32_t speed = ld(cw_speed);
  return speed ? static_cast<int32_t>(3600 * ld(cw_weight) / (50 * speed)) : 0;
}

// RF delay: the RF key lags the sidetone by at most one dot.
int32_t rf_delay() {
  const uint32_t speed = ld(cw_speed);
  const int32_t delay = ld(cw_delay);
  return speed ? std::min(static_cast<int32_t>(1200 / speed), delay) : delay;
}

// Element space: with the RF delay before the next key-down, key-up to
// key-down is one dot whatever the RF delay.
int32_t space_length() {
  const uint32_t speed = ld(cw_speed);
  if (!speed) return 0;
  return std::max(static_cast<int32_t>(1200 / speed) - static_cast<int32_t>(ld(cw_delay)), 0);
}

// Not 2 x dot: the truncation differs (speed 17: 141 against 140).
int32_t letter_space_length() {
  const uint32_t speed = ld(cw_speed);
  return speed ? static_cast<int32_t>(2400 / speed) : 0;
}

int32_t hang_length() {
  const int32_t hang = ld(cw_hang);
  return hang ? hang : 10;
}

// A paddle sample and the paddle memory hold one bit per element: bit 0 the
// dash (gpio_in bit 1), bit 1 the dot (gpio_in bit 2). In mode 0 the dash
// bit is the straight key.
constexpr uint32_t dash = 0;
constexpr uint32_t dot = 1;
constexpr uint32_t paddle_bit(uint32_t element) {
  return 1u << element;
}

// The paddle sample: 0 while the keyer is disabled, without touching gpio_in.
uint32_t paddle_sample() {
  if (!ld(keyer_enabled)) return 0;
  uint32_t paddles = field_get(gpio_in_bits::paddles, read8(gpio_in));
  if (ld(cw_reversed)) paddles = ((paddles & 1u) << 1) | (paddles >> 1);
  return paddles;
}

// Wakes the receive loop, whose accessory pass then merges the new cw_ptt
// into the Alex and nucleo words at once rather than at its next safety wake.
// Made after the register stores of the change, so that they keep their
// spacing; the loop drains the descriptor before it reads cw_ptt, so no
// change is missed.
void signal_ptt_change() {
  const int fd = ld(ptt_event_fd);
  if (fd >= 0) platform->eventfd_write(fd, 1);
}

// Key-on, PTT drop and key-up, in the order the FPGA and the other threads
// rely on: PTT before the transmit source, cw_ptt before keyer_owns_tx. The
// keyer_owns_tx stores are releases so that a reader that acquires it also
// sees the cw_ptt stored before it. Key-on within a letter finds PTT still up
// and changes nothing the receive loop needs to hear of.
void key_on() {
  const bool ptt_was_up = ld(cw_ptt) != 0;
  set_bits8(tx_rst, tx_rst_bits::keyer_ptt);
  st(cw_ptt, 1);
  set_bits8(tx_rst, tx_rst_bits::keyer_source);
  keyer_owns_tx.store(1, std::memory_order_release);
  if (i2c_has(i2c_accessory::codec) && ld(sidetone_level)) set_bits8(tx_rst, tx_rst_bits::sidetone);
  if (!ptt_was_up) signal_ptt_change();
}

void ptt_drop() {
  clear_bits8(tx_rst, tx_rst_bits::keyer_ptt);
  st(cw_ptt, 0);
  pulse8(tx_rst, tx_rst_bits::restart);
  clear_bits8(tx_rst, tx_rst_bits::keyer_source);
  keyer_owns_tx.store(0, std::memory_order_release);
  signal_ptt_change();
}

// Without a codec nothing drives the sidetone, so its bit is left alone.
void sidetone_off() {
  if (i2c_has(i2c_accessory::codec)) clear_bits8(tx_rst, tx_rst_bits::sidetone);
}

void key_down() {
  set_bits8(tx_rst, tx_rst_bits::key);
}

void key_up() {
  clear_bits8(tx_rst, tx_rst_bits::key);
  st(cw_ptt_delay, hang_length());
}

// The answer to cw_release (shutdown): an element in progress ends at once,
// sidetone before key and key before the PTT drop, as an element's end and
// the hang would order them; then the keyer says so and only sleeps.
void release_and_idle() {
  if (ld(cw_ptt)) {
    if (read8(tx_rst) & tx_rst_bits::sidetone) sidetone_off();
    if (read8(tx_rst) & tx_rst_bits::key) clear_bits8(tx_rst, tx_rst_bits::key);
    ptt_drop();
  }
  cw_released.store(1, std::memory_order_release);
  for (;;) {
    tick_deadline += keyer_idle_ms * ns_per_ms;
    sleep_until_ns(tick_deadline);
  }
}

// The PTT hang counts down only in ticks where no element is being sent.
void hang_step() {
  if (!ld(cw_ptt)) return;
  const int32_t left = ld(cw_ptt_delay) - 1;
  st(cw_ptt_delay, left);
  if (left <= 0) ptt_drop();
}

// Takes a paddle sample and keeps it as the latest (paddle_latest).
uint32_t sample() {
  const uint32_t paddles = paddle_sample();
  st(paddle_latest, paddles);
  return paddles;
}

// Latching during the RF delay and the mark: every pressed paddle is
// latched into the paddle memory (paddle_memory), except that in mode 1 a
// released sample forgets what the memory held, so only a paddle still
// pressed (or pressed later) asks for the next element.
void latch_in_mark(uint32_t paddles) {
  if (ld(cw_mode) == 1 && paddles == 0)
    st(paddle_memory, 0);
  else
    st(paddle_memory, ld(paddle_memory) | paddles);
}

// Latching in the tail and the spaces: every pressed paddle is latched.
void latch(uint32_t paddles) {
  st(paddle_memory, ld(paddle_memory) | paddles);
}

// RF-delay and mark ticks.
void mark_ticks(int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    tick();
    latch_in_mark(sample());
  }
}

// Tail ticks: the RF key still down after the sidetone ended.
void tail_ticks(int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    tick();
    latch(sample());
  }
}

// Element-space and letter-space ticks: the PTT hang runs.
void space_ticks(int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    tick();
    hang_step();
    latch(sample());
  }
}

// Mode 0 with the dash input (the straight key): the RF key follows the
// input for as long as it is held, without a time limit.
void straight_key() {
  key_on();
  mark_ticks(rf_delay());
  key_down();
  if (ld(paddle_latest) & paddle_bit(dash)) {
    for (;;) {
      tick();
      if (!(sample() & paddle_bit(dash))) break;
    }
  }
  sidetone_off();
  tail_ticks(rf_delay());
  key_up();
}

// Mode 0 with the dot input alone: one dot and its element space. The mark
// is a single sleep without sampling.
void timed_dot() {
  key_on();
  mark_ticks(rf_delay());
  key_down();
  const int32_t mark = dot_length() - static_cast<int32_t>(ld(cw_delay));
  if (mark > 0) sleep_ms(mark);
  sidetone_off();
  tail_ticks(rf_delay());
  key_up();
  space_ticks(space_length());
}

// One iambic element (dot or dash) with its element space; leaves the
// paddle memory for the next choice: the paddle of this element counts only
// if still pressed at the last sample, the other one if it was latched at
// any time.
void iambic_element(uint32_t element) {
  st(paddle_memory, 0);
  key_on();
  mark_ticks(rf_delay());
  key_down();
  const int32_t length = element == dot ? dot_length() : dash_length();
  mark_ticks(std::max(length - static_cast<int32_t>(ld(cw_delay)), 0));
  sidetone_off();
  tail_ticks(rf_delay());
  key_up();
  space_ticks(space_length());
  st(paddle_memory, (ld(paddle_memory) & ~paddle_bit(element)) | ld(paddle_latest));
}

// The element the paddle memory asks for, keeping `element` if its paddle
// is latched. The memory is nonzero here and holds only the two paddle
// bits, so one change is enough.
uint32_t choose(uint32_t element) {
  if (!(ld(paddle_memory) & paddle_bit(element))) element = element == dot ? dash : dot;
  return element;
}

// Iambic keying from the idle sample until the paddle memory runs empty.
// The dot has the preference at entry and after a letter space; after an
// element the other one follows if its paddle is latched.
void iambic_keyer(uint32_t paddles) {
  st(paddle_memory, paddles);
  uint32_t element = choose(dot);
  for (;;) {
    iambic_element(element);
    // A speed changed to 0 mid-letter pauses the keyer after this element;
    // otherwise a held paddle would loop here through elements of 0 ticks.
    if (!ld(cw_speed)) return;
    if (ld(paddle_memory)) {
      element = choose(element == dot ? dash : dot);
      continue;
    }
    if (!ld(cw_spacing)) return;
    space_ticks(letter_space_length());
    if (!ld(paddle_memory) || !ld(cw_speed)) return;
    element = choose(dot);
  }
}

}  // namespace

void* handler_keyer(void*) {
  platform->set_thread_name("keyer");
  tick_deadline = platform_now_ns();
  // Idle: one paddle sample per tick, with the PTT hang running.
  for (;;) {
    tick();
    hang_step();
    if (!ld(keyer_enabled)) {
      st(paddle_latest, 0);
      continue;
    }
    const uint32_t paddles = sample();
    if (!paddles) continue;
    // Speed 0 pauses the timed keying; the straight key needs no speed.
    if (ld(cw_mode) == 0) {
      if (paddles & paddle_bit(dash))
        straight_key();
      else if (ld(cw_speed))
        timed_dot();
    } else if (ld(cw_speed)) {
      iambic_keyer(paddles);
    }
  }
}
