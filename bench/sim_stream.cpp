// Does the simulated board keep real time?
//
// BM_model_signal_path: cost of generating receive records for four
// receivers from the default scene (the work the model does per sample);
// "realtime_x" is how many times faster than 384 kHz it runs on one core.
//
// BM_sleep_overshoot: how late a 1 ms sleep wakes on this machine
// ("worst_ms", and "over_1_4ms", the share of sleeps later than 1.4 ms).
// The stream thread polls in 1 ms sleeps and the receive FIFO holds 2.67 ms
// at 384 kHz, so a machine whose sleeps overshoot by more than about 1.4 ms
// now and then shows overflows there whatever the model does; the
// end-to-end figures of the real processes are bench/probe_stream.cpp's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "hardware/fpga.h"
#include "sim/sim_fpga.h"
#include "sim/sim_platform.h"

namespace {

void BM_model_signal_path(benchmark::State& state) {
  sim_config = sim_config_t{};
  const sim_model_config model{};
  sim_board_select(&sim_platform, &model);
  const int mem = platform->open("/dev/mem", O_RDWR);
  for (int i = 0; i < fpga_block_count; ++i) {
    const size_t len = fpga_blocks[i].pages * static_cast<size_t>(platform->page_size());
    fpga_base[i] = static_cast<volatile uint8_t*>(
        platform->mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, mem, fpga_blocks[i].phys));
    fpga_size[i] = static_cast<uint32_t>(len);
  }
  fpga_set_pointers();
  // Four receivers on busy stretches of 40 m and 20 m, 384 kHz.
  write32(rx_freq + 0, phase_increment(7100000));
  write32(rx_freq + 1, phase_increment(7030000));
  write32(rx_freq + 2, phase_increment(14100000));
  write32(tx_freq, phase_increment(7150000));
  write16(rx_rate, 80);
  std::vector<uint8_t> out(384 * 32);
  for (auto _ : state) {
    sim_fpga_generate(out.data(), 384);  // 1 ms at 384 kHz
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 384);
  state.counters["realtime_x"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 384 / 384000.0, benchmark::Counter::kIsRate);
  sim_fpga_shutdown();
  fpga_clear_pointers();
}
BENCHMARK(BM_model_signal_path);

void BM_sleep_overshoot(benchmark::State& state) {
  for (auto _ : state) {
    int64_t worst = 0;
    int late = 0;
    constexpr int count = 3000;
    for (int i = 0; i < count; ++i) {
      timespec a{}, b{};
      clock_gettime(CLOCK_MONOTONIC, &a);
      usleep(1000);
      clock_gettime(CLOCK_MONOTONIC, &b);
      const int64_t over = (b.tv_sec - a.tv_sec) * 1000000000LL + (b.tv_nsec - a.tv_nsec) - 1000000;
      worst = std::max(worst, over);
      late += over > 1400000;
    }
    state.counters["worst_ms"] = static_cast<double>(worst) / 1e6;
    state.counters["over_1_4ms"] = static_cast<double>(late) / count;
  }
}
BENCHMARK(BM_sleep_overshoot)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
