// How late may the stream thread wake up before the receive FIFO overflows?
//
// On the virtual clock of tests/support/stream_clock.h (every wake-up late by the
// same amount L, the FIFO filling at the sample rate, no time spent on a
// batch itself), for each rate code and receiver count: the largest L at
// which 2 s of streaming lose no sample record, found by bisection to 1 us.
//
//   new_tolerance_us  handler_ep6 as built: it sleeps until the batch is due
//                     (at most 1 ms at a time) and looks again.
//   old_tolerance_us  the wait the stream thread had before: look, sleep 1 ms
//                     (usleep), look again; reproduced here around the same
//                     overflow check and FIFO read.
//   margin_us         the time from a complete batch to the reset mark
//                     (8192 - fill threshold words at the word rate): the
//                     bound of any wait that reads the FIFO only when a
//                     whole batch is in it.
//
// Time spent building and sending a batch comes off the tolerance one for
// one; on the board that is some tens of microseconds per batch.
#include <benchmark/benchmark.h>

#include "app/startup.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "net/stream.h"
#include "sim/sim_platform.h"
#include "support/stream_clock.h"

namespace {

// The wait as it was: the look-again-every-millisecond loop.
void old_wait_stream() {
  alignas(4) static uint8_t records[ep6_record_buffer];
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  while (enable_thread.load(std::memory_order_acquire) != 0) {
    const ep6_geometry g = ep6_geometry_for(ld(receivers));
    ep6_overflow_check(false);
    bool stopped = false;
    while (read16(rx_cntr) < g.fill_threshold) {
      if (enable_thread.load(std::memory_order_acquire) == 0) {
        stopped = true;
        break;
      }
      platform->usleep(1000);
    }
    if (stopped) break;
    fifo_read(records, fifo, ep6_record_size * static_cast<size_t>(g.samples));
    platform->sendmmsg(-1, nullptr, static_cast<unsigned>(g.frames), 0);
  }
  active_thread.store(0, std::memory_order_release);
}

bool keeps_up(int rate_code, int receivers, int64_t lateness_ns, bool old_wait) {
  stream_clock::run_config c;
  c.rate_code = rate_code;
  c.receivers = receivers;
  c.lateness_ns = lateness_ns;
  c.duration_ns = 2000000000;
  stream_clock::run_result r;
  stream_clock::begin(c, &r);
  if (old_wait)
    old_wait_stream();
  else
    handler_ep6(nullptr);
  stream_clock::finish();
  return r.records_lost == 0 && r.restarts == 0;
}

// Largest lateness in whole microseconds that keeps up (0 when even none does).
int64_t tolerance_us(int rate_code, int receivers, bool old_wait) {
  int64_t good = 0, bad = 40000;
  if (!keeps_up(rate_code, receivers, 0, old_wait)) return 0;
  while (bad - good > 1) {
    const int64_t mid = (good + bad) / 2;
    (keeps_up(rate_code, receivers, mid * 1000, old_wait) ? good : bad) = mid;
  }
  return good;
}

void BM_wait_latency_tolerance(benchmark::State& state) {
  const int rate_code = static_cast<int>(state.range(0));
  const int receivers = static_cast<int>(state.range(1));
  sim_config = sim_config_t{};
  sim_reset();
  control_state_reset();
  platform = &sim_platform;
  map_fpga_blocks(sim_platform.open("/dev/mem", 0));
  int64_t old_tol = 0, new_tol = 0;
  for (auto _ : state) {
    old_tol = tolerance_us(rate_code, receivers, true);
    new_tol = tolerance_us(rate_code, receivers, false);
  }
  const ep6_geometry g = ep6_geometry_for(receivers);
  state.counters["rate_khz"] = 48 << rate_code;
  state.counters["old_tolerance_us"] = static_cast<double>(old_tol);
  state.counters["new_tolerance_us"] = static_cast<double>(new_tol);
  state.counters["margin_us"] = static_cast<double>(rx_fifo_overflow - g.fill_threshold) * 1e6 /
                                static_cast<double>(ep6_words_per_second(rate_code));
  fpga_clear_pointers();
}
BENCHMARK(BM_wait_latency_tolerance)
    ->ArgsProduct({{0, 1, 2, 3}, {1, 4, 8}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
