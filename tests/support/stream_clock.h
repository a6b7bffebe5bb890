// Runs the stream thread against a virtual clock and a receive FIFO that
// fills with it.
//
// handler_ep6 runs on the caller's thread on the test platform with virtual
// sleeps, every wake-up late by a fixed amount (test_platform::calls has the
// sleeps and the thread's name). An FPGA observer serves rx_cntr from a FIFO
// model that gains one record (8 words) per sample instant at 48 kHz x
// 2^rate, holds at most 1024 records (the reset mark, 8192 words) and loses
// what arrives while it is full; rx_rst bit 0 empties and restarts it.
// sendmmsg takes a fixed time per batch (and models a full send buffer on
// request) and ends the stream (enable_thread = 0) once the run's virtual
// time is over, so the thread returns at a known point. Nothing here sleeps
// for real.
//
// One run at a time (process-wide state); the caller maps the simulated
// FPGA blocks first.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <cstdint>

#include "control/counters.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "net/stream.h"
#include "sim/sim_platform.h"
#include "support/test_platform.h"

namespace stream_clock {

struct run_config {
  int rate_code = 3;  // 0..3: 48, 96, 192, 384 kHz
  int receivers = 1;
  int64_t lateness_ns = 0;           // added to every wake-up
  int64_t duration_ns = 1000000000;  // virtual time streamed
  int64_t batch_ns = 0;              // time from a batch's read to its send returning
  // Every Nth send finds the socket's send buffer full (0: none): a
  // non-blocking send is one frame short, a blocking one waits 20 ms for the
  // network to take it.
  int full_buffer_every = 0;
};

struct run_result {
  int64_t batches = 0;
  int64_t records_read = 0;
  int64_t records_lost = 0;  // dropped by the full FIFO or thrown away by a restart
  int overflows = 0;         // times the FIFO filled up
  int restarts = 0;          // FIFO restarts after the one at thread start
  int reads_ahead = 0;       // reads of more records than the FIFO held
};

namespace detail {

inline constexpr int64_t origin_ns = 7000LL * 1000000000;  // an arbitrary monotonic origin
inline constexpr int64_t fifo_records = rx_fifo_overflow / 8;

using test_platform::now_ns;

inline run_config config;
inline run_result* result;
inline int64_t anchor_ns;  // when the FIFO last restarted
inline int64_t produced;   // records the FPGA made since then (kept or lost)
inline int64_t level;      // records in the FIFO
inline bool full;          // the FIFO is in an overflow episode
inline bool filling;       // rx_rst bit 0 set
inline uint8_t last_rx_rst;

inline int64_t records_per_second() {
  return int64_t{48000} << config.rate_code;
}

// Brings the FIFO up to now.
inline void advance() {
  if (!filling) return;
  const int64_t due = (now_ns - anchor_ns) * records_per_second() / 1000000000;
  const int64_t n = due - produced;
  produced = due;
  const int64_t fit = std::min(n, fifo_records - level);
  level += fit;
  if (n > fit) {
    result->records_lost += n - fit;
    if (!full) ++result->overflows;
    full = true;
  }
}

inline uint32_t on_load(void*, fpga_block b, uint32_t offset, unsigned, uint32_t memory) {
  if (b == fpga_block::sts && offset == reg_offset(reg::rx_cntr)) {
    advance();
    return static_cast<uint32_t>(level * 8);
  }
  return memory;
}

inline void on_store(void*, fpga_block b, uint32_t offset, unsigned, uint32_t value) {
  if (b != fpga_block::cfg || offset != reg_offset(reg::rx_rst)) return;
  const auto v = static_cast<uint8_t>(value);
  const bool was = last_rx_rst & rx_rst_bits::fifo_restart;
  const bool is = v & rx_rst_bits::fifo_restart;
  advance();
  if (was && !is) {
    // Held empty: what it held is thrown away.
    result->records_lost += level;
    level = 0;
    filling = false;
  } else if (!was && is) {
    if (anchor_ns >= 0) ++result->restarts;
    anchor_ns = now_ns;
    produced = 0;
    level = 0;
    full = false;
    filling = true;
  }
  last_rx_rst = v;
}

inline void on_read_fifo(void*, fpga_block b, void*, size_t bytes) {
  if (b != fpga_block::fifo) return;
  advance();
  const auto n = static_cast<int64_t>(bytes / ep6_record_size);
  if (n > level) ++result->reads_ahead;
  level = std::max<int64_t>(level - n, 0);
  full = false;
  result->records_read += n;
}

inline const fpga_observer observer{nullptr, on_store, on_load, on_read_fifo};

inline void end_when_over() {
  if (now_ns - origin_ns >= config.duration_ns) enable_thread.store(0, std::memory_order_release);
}

// The sleeps move the test platform's clock; the run ends once it is over.
inline int sleep_until(const timespec* d) {
  test_platform::defaults.sleep_until(d);
  end_when_over();
  return 0;
}

inline int usleep(useconds_t us) {
  test_platform::defaults.usleep(us);
  end_when_over();
  return 0;
}

inline int sendmmsg(int, mmsghdr*, unsigned count, int flags) {
  now_ns += config.batch_ns;
  ++result->batches;
  const bool full = config.full_buffer_every > 0 && result->batches % config.full_buffer_every == 0;
  const bool waits = (flags & MSG_DONTWAIT) == 0;
  if (full && waits) now_ns += 20000000;
  end_when_over();
  return static_cast<int>(count) - (full && !waits ? 1 : 0);
}

}  // namespace detail

// Prepares the FIFO model, the clock and the settings for a run; the stream
// code (handler_ep6, or a loop of the caller's) then runs on the caller's
// thread, and finish() restores the platform.
inline void begin(const run_config& c, run_result* r) {
  namespace d = detail;
  d::config = c;
  d::result = r;
  test_platform::reset(d::origin_ns);
  test_platform::settings = {.virtual_sleeps = true, .lateness_ns = c.lateness_ns};
  test_platform::ops.sendmmsg = d::sendmmsg;
  test_platform::ops.usleep = d::usleep;
  test_platform::ops.sleep_until = d::sleep_until;
  d::anchor_ns = -1;
  d::produced = d::level = 0;
  d::full = d::filling = false;
  d::last_rx_rst = read8(rx_rst);
  st(rate, c.rate_code);
  st(receivers, c.receivers);
  set_i2c_has(i2c_accessory::codec, 0);
  counters_reset();
  enable_thread.store(1, std::memory_order_release);
  active_thread.store(1, std::memory_order_release);
  fpga_obs = &d::observer;
  platform = &test_platform::ops;
}

inline void finish() {
  fpga_obs = nullptr;
  platform = &sim_platform;
  detail::result = nullptr;
}

// Streams for the configured virtual time with handler_ep6.
inline run_result run(const run_config& c) {
  run_result r;
  begin(c, &r);
  handler_ep6(nullptr);
  finish();
  return r;
}

}  // namespace stream_clock
