#include "keyer/keyer.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ctime>

#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"

// Everything here runs on the keyer thread, the only writer of tx_rst,
// cw_ptt, cw_ptt_delay, tx_mux_data and cw_memory after start-up. Settings
// are re-read at every step that needs them, because process_ep2 changes
// them at any time; each length below loads cw_speed exactly once, so a
// change to 0 between a test and the division cannot divide by zero.

namespace {

constexpr int64_t ns_per_ms = 1000000;
constexpr int64_t ns_per_s = 1000000000;

// CLOCK_MONOTONIC time of the next wake-up, ns.
int64_t tick_deadline;

int64_t monotonic_now() {
  timespec t{};
  platform->clock_now(&t);
  return static_cast<int64_t>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

// Sleeps until `ms` milliseconds after the previous deadline. Measuring from
// the deadline rather than from the wake-up keeps the latency of one wake-up
// out of the next interval. Past keyer_max_lag_ms of lag the grid restarts
// at the present moment (keyer.h).
void sleep_ms(int32_t ms) {
  tick_deadline += ms * ns_per_ms;
  const int64_t now = monotonic_now();
  if (now - tick_deadline > keyer_max_lag_ms * ns_per_ms) tick_deadline = now;
  const timespec d{static_cast<time_t>(tick_deadline / ns_per_s),
                   static_cast<long>(tick_deadline % ns_per_s)};
  platform->sleep_until(&d);
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

// RF delay D: the key lags the sidetone by at most one dot.
int32_t rf_delay() {
  const uint32_t speed = ld(cw_speed);
  const int32_t delay = ld(cw_delay);
  return speed ? std::min(static_cast<int32_t>(1200 / speed), delay) : delay;
}

// Space S: with the D ticks before the next key-down, key-up to key-down is
// one dot whatever the RF delay.
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

// Paddle sample p: bit 0 the dash input (gpio_in bit 1), bit 1 the dot input
// (gpio_in bit 2); 0 while the keyer is disabled, without touching gpio_in.
uint32_t paddle_sample() {
  if (!ld(cw_int_data)) return 0;
  uint32_t p = (read8(gpio_in) >> 1) & 3u;
  if (ld(cw_reversed)) p = ((p & 1u) << 1) | (p >> 1);
  return p;
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
// rely on: PTT before the transmit source, cw_ptt before tx_mux_data. The
// tx_mux_data stores are releases so that a reader that acquires it also
// sees the cw_ptt stored before it. Key-on within a letter finds PTT still up
// and changes nothing the receive loop needs to hear of.
void key_on() {
  const bool ptt_was_up = ld(cw_ptt) != 0;
  set_bits8(tx_rst, tx_rst_bits::keyer_ptt);
  st(cw_ptt, 1);
  set_bits8(tx_rst, tx_rst_bits::keyer_source);
  tx_mux_data.store(1, std::memory_order_release);
  if (ld(i2c_codec) && ld(dac_level_data)) set_bits8(tx_rst, tx_rst_bits::sidetone);
  if (!ptt_was_up) signal_ptt_change();
}

void ptt_drop() {
  clear_bits8(tx_rst, tx_rst_bits::keyer_ptt);
  st(cw_ptt, 0);
  pulse8(tx_rst, tx_rst_bits::restart);
  clear_bits8(tx_rst, tx_rst_bits::keyer_source);
  tx_mux_data.store(0, std::memory_order_release);
  signal_ptt_change();
}

// Without a codec nothing drives the sidetone, so its bit is left alone.
void sidetone_off() {
  if (ld(i2c_codec)) clear_bits8(tx_rst, tx_rst_bits::sidetone);
}

void key_down() {
  set_bits8(tx_rst, tx_rst_bits::key);
}

void key_up() {
  clear_bits8(tx_rst, tx_rst_bits::key);
  st(cw_ptt_delay, hang_length());
}

// The hang counts only in ticks where no element is being sent.
void hang_step() {
  if (!ld(cw_ptt)) return;
  const int32_t left = ld(cw_ptt_delay) - 1;
  st(cw_ptt_delay, left);
  if (left <= 0) ptt_drop();
}

uint32_t sample() {
  const uint32_t q = paddle_sample();
  st(cw_memory[0], q);
  return q;
}

// Latch rule L1: in mode 1 a released sample early in the element forgets
// what the memory held, so only a paddle still pressed (or pressed later)
// asks for the next element.
void latch_l1(uint32_t q) {
  if (ld(cw_mode) == 1 && q == 0)
    st(cw_memory[1], 0);
  else
    st(cw_memory[1], ld(cw_memory[1]) | q);
}

// Latch rule L2: every paddle seen is remembered.
void latch_l2(uint32_t q) {
  st(cw_memory[1], ld(cw_memory[1]) | q);
}

// RF-delay and mark ticks.
void l1_ticks(int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    tick();
    latch_l1(sample());
  }
}

// Tail ticks: the RF key still down after the sidetone ended.
void l2_ticks(int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    tick();
    latch_l2(sample());
  }
}

// Space and letter-space ticks.
void space_ticks(int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    tick();
    hang_step();
    latch_l2(sample());
  }
}

// Mode 0 with the dash input (p bit 0): the key follows the input for as
// long as it is held, without a time limit.
void straight_key() {
  key_on();
  l1_ticks(rf_delay());
  key_down();
  if (ld(cw_memory[0]) & 1u) {
    for (;;) {
      tick();
      if (!(sample() & 1u)) break;
    }
  }
  sidetone_off();
  l2_ticks(rf_delay());
  key_up();
}

// Mode 0 with the dot input alone: one dot and its space. The mark is a
// single sleep without sampling.
void timed_dot() {
  key_on();
  l1_ticks(rf_delay());
  key_down();
  const int32_t mark = dot_length() - static_cast<int32_t>(ld(cw_delay));
  if (mark > 0) sleep_ms(mark);
  sidetone_off();
  l2_ticks(rf_delay());
  key_up();
  space_ticks(space_length());
}

// Element e (1 dot, 0 dash) with its space; leaves the memory for the next
// choice: the paddle of this element counts only if still pressed at the
// last sample, the other one if it was latched at any time.
void iambic_element(uint32_t e) {
  st(cw_memory[1], 0);
  key_on();
  l1_ticks(rf_delay());
  key_down();
  const int32_t length = e ? dot_length() : dash_length();
  l1_ticks(std::max(length - static_cast<int32_t>(ld(cw_delay)), 0));
  sidetone_off();
  l2_ticks(rf_delay());
  key_up();
  space_ticks(space_length());
  st(cw_memory[1], (ld(cw_memory[1]) & ~(1u << e)) | ld(cw_memory[0]));
}

// The element the memory asks for, keeping e if its bit is set. The memory
// is nonzero here and holds only bits 0..1, so one change is enough.
uint32_t choose(uint32_t e) {
  if (!((ld(cw_memory[1]) >> e) & 1u)) e = 1 - e;
  return e;
}

// Iambic keying from the idle sample p until the memory runs empty. The dot
// has the preference at entry and after a letter space.
void iambic_keyer(uint32_t p) {
  st(cw_memory[1], p);
  uint32_t e = choose(1);
  for (;;) {
    iambic_element(e);
    // A speed changed to 0 mid-letter pauses the keyer after this element;
    // otherwise a held paddle would loop here through elements of 0 ticks.
    if (!ld(cw_speed)) return;
    if (ld(cw_memory[1])) {
      e = choose(1 - e);
      continue;
    }
    if (!ld(cw_spacing)) return;
    space_ticks(letter_space_length());
    if (!ld(cw_memory[1]) || !ld(cw_speed)) return;
    e = choose(1);
  }
}

}  // namespace

void* handler_keyer(void*) {
  platform->set_thread_name("keyer");
  tick_deadline = monotonic_now();
  for (;;) {
    tick();
    hang_step();
    if (!ld(cw_int_data)) {
      st(cw_memory[0], 0);
      continue;
    }
    const uint32_t p = sample();
    if (!p) continue;
    // Speed 0 pauses the timed keying; the straight key needs no speed.
    if (ld(cw_mode) == 0) {
      if (p & 1u)
        straight_key();
      else if (ld(cw_speed))
        timed_dot();
    } else if (ld(cw_speed)) {
      iambic_keyer(p);
    }
  }
}
