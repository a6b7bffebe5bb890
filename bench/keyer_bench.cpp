// Element-length accuracy of the keyer on the real clock.
//
// Runs the real handler_keyer on its own thread against the simulated board
// with the machine's CLOCK_MONOTONIC, holds the paddles (the dot alone, or
// both for alternating dots and dashes) and timestamps every change of the
// RF key (tx_rst bit 2) from an FPGA store hook. Reports, against the
// nominal lengths at 20, 30 and 40 wpm (delay 0, weight 50):
//   mark_mean_ms / mark_worst_ms   signed mean and worst absolute error of
//                                  key-down lengths (dot or dash),
//   mark_mean_pct                  the mean error relative to the nominal,
//   gap_mean_ms / gap_worst_ms     the same for key-up to key-down (one dot),
//   elements                       complete marks measured,
//   realtime                       1 if SCHED_FIFO was granted.
// relative=1 sleeps 1 ms from each wake-up instead of to the tick deadline,
// the way a per-tick usleep(1000) would, for comparison.
//
// The keyer thread ends deterministically: once the measurement is over the
// overridden sleep_until throws, unwinding handler_keyer back to the thread
// function, which the benchmark joins.

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "app/startup.h"
#include "common/clock.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "keyer/keyer.h"
#include "sim/sim_platform.h"
#include "support/test_platform.h"

namespace {

struct keyer_stop {};

constexpr int max_edges = 4096;
constexpr auto run_time = std::chrono::seconds(2);

std::atomic<bool> stop_keyer;
std::atomic<bool> relative_sleep;
std::atomic<uint8_t> paddles;  // gpio_in value served to the keyer

// Written by the keyer thread only, read after it was joined.
int64_t edge_ns[max_edges];
bool edge_down[max_edges];
int edge_count;
uint8_t last_tx_rst;

int64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return timespec_ns(t);
}

void on_store(void*, fpga_block b, uint32_t offset, unsigned, uint32_t value) {
  if (b != fpga_block::cfg || offset != reg_offset(reg::tx_rst)) return;
  const int64_t now = monotonic_ns();
  const auto v = static_cast<uint8_t>(value);
  if (((v ^ last_tx_rst) & tx_rst_bits::key) && edge_count < max_edges) {
    edge_ns[edge_count] = now;
    edge_down[edge_count] = v & tx_rst_bits::key;
    ++edge_count;
  }
  last_tx_rst = v;
}

uint32_t on_load(void*, fpga_block b, uint32_t offset, unsigned, uint32_t memory) {
  if (b == fpga_block::sts && offset == reg_offset(reg::gpio_in))
    return paddles.load(std::memory_order_relaxed);
  return memory;
}

const fpga_observer observer{nullptr, on_store, on_load, nullptr};

int bench_sleep_until(const timespec* deadline) {
  if (stop_keyer.load(std::memory_order_relaxed)) throw keyer_stop{};
  if (relative_sleep.load(std::memory_order_relaxed)) {
    const timespec one_ms{0, 1000000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &one_ms, nullptr) == EINTR) {
    }
    return 0;
  }
  return test_platform::defaults.sleep_until(deadline);
}

bool map_fpga() {
  test_platform::reset();
  test_platform::ops.sleep_until = bench_sleep_until;
  sim_board_select(&test_platform::ops);
  const int fd = platform->open("/dev/mem", 0);
  if (fd < 0) return false;
  if (!map_fpga_blocks(fd)) return false;
  return true;
}

std::atomic<int> realtime_granted;

void keyer_thread() {
  sched_param sp{};
  sp.sched_priority = 99;
  realtime_granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
  try {
    handler_keyer(nullptr);
  } catch (const keyer_stop&) {
  }
}

struct error_stats {
  double mean = 0;
  double worst = 0;
  double mean_pct = 0;
  int count = 0;
  void add(double actual_ms, double nominal_ms) {
    const double e = actual_ms - nominal_ms;
    mean += e;
    mean_pct += 100.0 * e / nominal_ms;
    worst = std::max(worst, std::fabs(e));
    ++count;
  }
  void finish() {
    if (count) {
      mean /= count;
      mean_pct /= count;
    }
  }
};

// Args: wpm, paddles (0: dot held, 1: both held), relative (0: deadlines,
// 1: 1 ms from each wake-up).
void BM_keyer_element_error(benchmark::State& state) {
  const int wpm = static_cast<int>(state.range(0));
  const bool both = state.range(1) != 0;
  if (!map_fpga()) {
    state.SkipWithError("simulated FPGA blocks did not map");
    return;
  }
  control_state_reset();
  st(keyer_enabled, 1);
  st(cw_mode, 1);
  st(cw_speed, wpm);
  st(cw_hang, 500);
  set_i2c_has(i2c_accessory::codec, 1);
  st(sidetone_level, 200);
  // Nominal lengths are whole ticks, as the keyer computes them.
  const double dot = 1200 / wpm;
  const double dash = (3600 * 50) / (50 * wpm);

  error_stats marks, gaps;
  for (auto _ : state) {
    edge_count = 0;
    last_tx_rst = read8(tx_rst);
    stop_keyer = false;
    relative_sleep = state.range(2) != 0;
    paddles = both ? (gpio_in_bits::paddle_a | gpio_in_bits::paddle_b) : gpio_in_bits::paddle_b;
    fpga_obs = &observer;
    std::thread keyer(keyer_thread);
    std::this_thread::sleep_for(run_time);
    stop_keyer = true;
    keyer.join();
    fpga_obs = nullptr;
    paddles = 0;

    // Edges alternate down/up from the first key-down; element k is a dot
    // when only the dot is held, else dot and dash in turn.
    int k = 0;
    for (int i = 0; i + 1 < edge_count; ++i) {
      if (!edge_down[i]) continue;
      const double mark_ms = (edge_ns[i + 1] - edge_ns[i]) / 1e6;
      const bool is_dot = !both || k % 2 == 0;
      marks.add(mark_ms, is_dot ? dot : dash);
      if (i + 2 < edge_count) gaps.add((edge_ns[i + 2] - edge_ns[i + 1]) / 1e6, dot);
      ++k;
    }
  }
  marks.finish();
  gaps.finish();
  state.counters["elements"] = marks.count;
  state.counters["mark_mean_ms"] = marks.mean;
  state.counters["mark_worst_ms"] = marks.worst;
  state.counters["mark_mean_pct"] = marks.mean_pct;
  state.counters["gap_mean_ms"] = gaps.mean;
  state.counters["gap_worst_ms"] = gaps.worst;
  state.counters["realtime"] = realtime_granted.load();
  fpga_clear_pointers();
  platform = &sim_platform;
}

BENCHMARK(BM_keyer_element_error)
    ->ArgNames({"wpm", "both", "relative"})
    ->ArgsProduct({{20, 30, 40}, {0, 1}, {0, 1}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
