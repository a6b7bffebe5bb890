// Runs handler_keyer against a virtual clock, one tick at a time.
//
// The keyer runs on the test platform with its virtual clock, whose
// sleep_until here advances it over every whole millisecond up to the
// deadline. At each millisecond t the harness notes the
// cw_ptt/keyer_owns_tx left by tick t-1, calls the test's hook and sets the
// paddle inputs for tick t; the keyer's loads of gpio_in are served from
// that value through an FPGA observer, which also records every store (with
// store_recorder) and stamps it with the tick, cw_ptt and keyer_owns_tx.
//
// handler_keyer never returns: run_keyer calls it on the test's own thread
// (not as a pthread entry) and the virtual sleep throws keyer_stop once the
// clock passes the requested number of ticks, so the keyer ends by unwinding
// at a known point. A keyer that stops sleeping would never reach that
// point, so the store hook throws keyer_runaway after too many stores.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "common/clock.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "keyer/keyer.h"
#include "sim/sim_platform.h"
#include "support/board.h"

struct keyer_stop {};
struct keyer_runaway {};
struct keyer_used_usleep {};

constexpr uint8_t dot_in = gpio_in_bits::paddle_b;   // gpio_in bit 2, p bit 1
constexpr uint8_t dash_in = gpio_in_bits::paddle_a;  // gpio_in bit 1, p bit 0
constexpr int64_t ms_ns = 1000000;

// gpio_in bits held during ticks [from, to).
struct press {
  int32_t from;
  int32_t to;
  uint8_t bits;
};

// One tx_rst store as the harness saw it.
struct tx_store {
  int32_t tick;
  uint8_t before;  // tx_rst before the store
  uint8_t value;   // stored value
  uint8_t ptt;     // cw_ptt at the moment of the store
  uint8_t mux;     // keyer_owns_tx at the moment of the store
};

// A change of (cw_ptt, keyer_owns_tx), stamped with the tick that made it.
struct ptt_change {
  int32_t tick;
  int ptt;
  int mux;
  bool operator==(const ptt_change&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const ptt_change& c) {
  return os << "{" << c.tick << " ptt=" << c.ptt << " mux=" << c.mux << "}";
}

struct keyer_run {
  std::vector<std::string> events;         // "tick +bit -bit", "=" for an unchanged store
  std::vector<tx_store> stores;            // tx_rst stores in order
  std::vector<ptt_change> ptt;             // cw_ptt/keyer_owns_tx changes
  std::vector<int64_t> deadlines;          // every sleep_until deadline, ns after the start
  int late_sleeps = 0;                     // sleep_until calls with a deadline already past
  int gpio_loads_while_disabled = 0;       // gpio_in loads while keyer_enabled was 0
  std::vector<recorded_store> all_stores;  // every FPGA store (store_recorder)

  // Ticks at which bit `mask` was set and cleared again, as pairs; the
  // second is -1 when the bit is still set at the end of the run.
  std::vector<std::pair<int32_t, int32_t>> intervals(uint8_t mask) const {
    std::vector<std::pair<int32_t, int32_t>> v;
    for (const auto& s : stores) {
      const bool was = s.before & mask, is = s.value & mask;
      if (!was && is) v.push_back({s.tick, -1});
      if (was && !is && !v.empty()) v.back().second = s.tick;
    }
    return v;
  }
};

namespace keyer_harness {

inline constexpr int64_t start_ns = 5000LL * 1000 * ms_ns;  // an arbitrary monotonic origin

using test_platform::now_ns;
inline int64_t latency_ns;  // added to every wake-up, as a late scheduler would
inline int32_t limit;
inline int32_t tick;
inline uint8_t gpio;
inline uint8_t last_tx_rst;
inline int last_ptt, last_mux;
inline std::vector<press> presses;
inline std::function<void(int32_t)> hook;
inline keyer_run* run;
inline store_recorder* recorder;

inline void note_ptt(int32_t t) {
  const int p = ld(cw_ptt), m = ld(keyer_owns_tx);
  if (p != last_ptt || m != last_mux) run->ptt.push_back({t, p, m});
  last_ptt = p;
  last_mux = m;
}

// The clock reaches millisecond t: tick t-1 is over, tick t begins.
inline void enter_tick(int32_t t) {
  note_ptt(t - 1);
  if (t > limit) throw keyer_stop{};
  tick = t;
  if (hook) hook(t);
  gpio = 0;
  for (const auto& p : presses)
    if (t >= p.from && t < p.to) gpio |= p.bits;
}

inline int sleep_until(const timespec* d) {
  const int64_t deadline = timespec_ns(*d);
  run->deadlines.push_back(deadline - start_ns);
  if (deadline <= now_ns) {
    ++run->late_sleeps;
    return 0;
  }
  const int64_t target = deadline + latency_ns;
  for (;;) {
    const int64_t next = (now_ns / ms_ns + 1) * ms_ns;
    if (next > target) break;
    now_ns = next;
    enter_tick(static_cast<int32_t>((now_ns - start_ns) / ms_ns));
  }
  if (now_ns < target) now_ns = target;
  return 0;
}

inline uint32_t on_load(void*, fpga_block b, uint32_t offset, unsigned, uint32_t memory) {
  if (b == fpga_block::sts && offset == reg_offset(reg::gpio_in)) {
    if (!ld(keyer_enabled)) ++run->gpio_loads_while_disabled;
    return gpio;
  }
  return memory;
}

inline std::string describe(int32_t t, uint8_t before, uint8_t value) {
  static const struct {
    uint8_t mask;
    const char* name;
  } bits[] = {{tx_rst_bits::keyer_ptt, "ptt"},
              {tx_rst_bits::keyer_source, "src"},
              {tx_rst_bits::sidetone, "tone"},
              {tx_rst_bits::key, "key"},
              {0x02, "rst1"},
              {tx_rst_bits::restart, "rst"}};
  std::string s = std::to_string(t);
  const uint8_t diff = before ^ value;
  if (!diff) return s + " =";
  for (const auto& b : bits)
    if (diff & b.mask) s += std::string(value & b.mask ? " +" : " -") + b.name;
  return s;
}

inline void on_store(void*, fpga_block b, uint32_t offset, unsigned width, uint32_t value) {
  recorder->observer.store(recorder->observer.ctx, b, offset, width, value);
  if (recorder->stores.size() > 100000) throw keyer_runaway{};
  if (b != fpga_block::cfg || offset != reg_offset(reg::tx_rst)) return;
  const auto v = static_cast<uint8_t>(value);
  run->stores.push_back({tick, last_tx_rst, v, static_cast<uint8_t>(ld(cw_ptt)),
                         static_cast<uint8_t>(ld(keyer_owns_tx))});
  run->events.push_back(describe(tick, last_tx_rst, v));
  last_tx_rst = v;
}

inline const fpga_observer observer{nullptr, on_store, on_load, nullptr};

// The keyer's only clock is sleep_until/clock_now; a real usleep would stall
// the virtual clock.
inline int usleep(useconds_t) {
  throw keyer_used_usleep{};
}

}  // namespace keyer_harness

// Maps the simulated FPGA blocks with the keyer's settings at their defaults
// plus an enabled keyer, a codec and a sidetone level; each test changes
// what it is about before run_keyer.
class keyer_test_base : public board_fixture {
 protected:
  keyer_test_base() : board_fixture({.settings = {.virtual_clock = true}}) {
    test_platform::ops.sleep_until = keyer_harness::sleep_until;
    test_platform::ops.usleep = keyer_harness::usleep;
    st(keyer_enabled, 1);
    st(cw_mode, 1);
    set_i2c_has(i2c_accessory::codec, 1);
    st(sidetone_level, 200);
  }

  // Runs the keyer from virtual time 0 through tick `ticks` with the given
  // paddle presses; `hook` runs at the start of every tick, before the
  // keyer's work of that tick.
  keyer_run run_keyer(int32_t ticks, std::vector<press> presses,
                      std::function<void(int32_t)> hook = {}, int64_t latency_ns = 0) {
    namespace h = keyer_harness;
    // A fresh keyer thread finds what start-up leaves: nothing keyed,
    // tx_rst bits 0 and 1 set by the start-up pulse, bit 4 clear.
    st(cw_ptt, 0);
    st(cw_ptt_delay, 0);
    st(keyer_owns_tx, 0);
    st(paddle_latest, 0);
    st(paddle_memory, 0);
    write8(tx_rst, tx_rst_bits::restart_all);
    keyer_run r;
    store_recorder rec;
    h::run = &r;
    h::recorder = &rec;
    h::now_ns = h::start_ns;
    h::latency_ns = latency_ns;
    h::limit = ticks;
    h::tick = 0;
    h::gpio = 0;
    h::last_tx_rst = read8(tx_rst);
    h::last_ptt = ld(cw_ptt);
    h::last_mux = ld(keyer_owns_tx);
    h::presses = std::move(presses);
    h::hook = std::move(hook);
    fpga_obs = &h::observer;
    try {
      handler_keyer(nullptr);
    } catch (const keyer_stop&) {
    } catch (const keyer_runaway&) {
      ADD_FAILURE() << "the keyer stored to the FPGA without sleeping";
    } catch (const keyer_used_usleep&) {
      ADD_FAILURE() << "the keyer slept with usleep instead of a tick deadline";
    }
    fpga_obs = nullptr;
    r.all_stores = rec.stores;
    h::run = nullptr;
    h::recorder = nullptr;
    h::hook = {};
    return r;
  }
};

// Transcript pieces: key-on with or without sidetone, and the PTT drop.
inline std::vector<std::string> key_on_at(int32_t t, bool tone = true) {
  const std::string s = std::to_string(t);
  std::vector<std::string> v{s + " +ptt", s + " +src"};
  if (tone) v.push_back(s + " +tone");
  return v;
}
inline std::vector<std::string> drop_at(int32_t t) {
  const std::string s = std::to_string(t);
  return {s + " -ptt", s + " -rst", s + " +rst", s + " -src"};
}
inline std::vector<std::string> cat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}
