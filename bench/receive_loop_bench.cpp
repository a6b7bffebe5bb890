// Timing of the network hot paths on the simulated board:
//  * the idle receive loop's accessory pass interval (goal: about 1 ms, so the
//    keyer's PTT reaches the Alex T/R relay within a millisecond or two);
//  * building one EP6 batch;
//  * one EP2 frame through the transmit sample sink.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "keyer/keyer.h"
#include "net/receive_loop.h"
#include "net/stream.h"
#include "net/tx_sink.h"
#include "sim/sim_platform.h"
#include "support/test_platform.h"

namespace {

// Pass timestamps (ns, CLOCK_MONOTONIC), one per poll of the receive loop,
// which is one per accessory pass. Written only by the loop thread.
constexpr size_t max_passes = 1 << 16;
int64_t pass_ns[max_passes];
std::atomic<size_t> passes{0};
std::atomic<bool> end_loop{false};

int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

int bench_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  const size_t n = passes.load(std::memory_order_relaxed);
  if (n < max_passes) pass_ns[n] = now_ns();
  passes.store(n + 1, std::memory_order_release);
  if (end_loop) {
    fds[0].revents = POLLIN;
    return 1;
  }
  return test_platform::defaults.poll(fds, count, timeout_ms);
}

int bench_recvmmsg(int fd, mmsghdr* msgs, unsigned count, int flags, timespec* timeout) {
  if (end_loop) {
    errno = EBADF;  // ends the loop
    return -1;
  }
  return test_platform::defaults.recvmmsg(fd, msgs, count, flags, timeout);
}

// No keyer runs.
int bench_thread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                        void* arg) {
  if (entry == handler_keyer) return pthread_create(thread, nullptr, returns_at_once, nullptr);
  return test_platform::defaults.thread_create(thread, attr, entry, arg);
}

void BM_idle_accessory_pass_interval(benchmark::State& state) {
  sim_config = sim_config_t{};
  sim_config.bind_addr = htonl(INADDR_LOOPBACK);
  sim_config.bind_port = 0;
  sim_config.keyer_realtime_warning = false;
  test_platform::reset();
  test_platform::ops.poll = bench_poll;
  test_platform::ops.recvmmsg = bench_recvmmsg;
  test_platform::ops.thread_create = bench_thread_create;
  sim_board_select(&test_platform::ops);
  control_state_reset();
  char arg[] = "1";
  char name[] = "varnholt";
  char* argv[] = {name, arg, arg, arg, arg, arg, arg, nullptr};
  if (startup(7, argv) != 0) {
    state.SkipWithError("start-up failed");
    return;
  }
  passes = 0;
  end_loop = false;
  std::thread loop([] { receive_loop(); });
  while (passes.load() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  size_t first = passes.load(std::memory_order_acquire);
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t last = std::min(passes.load(std::memory_order_acquire), max_passes) - 1;
    if (last > first)
      state.SetIterationTime(static_cast<double>(pass_ns[last] - pass_ns[first]) / 1e9 /
                             static_cast<double>(last - first));
    first = last;
  }
  end_loop = true;
  loop.join();
  ::close(ld(sock_ep2));

  const size_t n = std::min(passes.load(), max_passes);
  std::vector<double> us;
  for (size_t i = 11; i < n - 1; ++i)
    us.push_back(static_cast<double>(pass_ns[i] - pass_ns[i - 1]) / 1e3);
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double v : us) sum += v;
  state.counters["passes"] = static_cast<double>(us.size());
  state.counters["mean_us"] = us.empty() ? 0 : sum / static_cast<double>(us.size());
  state.counters["p50_us"] = us.empty() ? 0 : us[us.size() / 2];
  state.counters["p99_us"] = us.empty() ? 0 : us[us.size() * 99 / 100];
  state.counters["max_us"] = us.empty() ? 0 : us.back();
  fpga_clear_pointers();
  platform = &sim_platform;
}
BENCHMARK(BM_idle_accessory_pass_interval)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);

void map_blocks() {
  sim_board_select();
  control_state_reset();
  const int fd = sim_platform.open("/dev/mem", O_RDWR);
  map_fpga_blocks(fd);
}

void BM_ep6_build_batch(benchmark::State& state) {
  map_blocks();
  static uint8_t frames[ep6_max_frames][frame_size];
  alignas(4) static uint8_t records[ep6_record_buffer];
  alignas(4) static uint8_t mic[ep6_mic_buffer];
  const ep6_geometry g = ep6_geometry_for(static_cast<int>(state.range(0)));
  ep6_stream_state s;
  for (auto _ : state) {
    ep6_build_batch(frames, g, records, mic, true, 0, &s);
    benchmark::DoNotOptimize(frames);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * g.frames *
                          static_cast<int64_t>(frame_size));
  fpga_clear_pointers();
}
BENCHMARK(BM_ep6_build_batch)->Arg(1)->Arg(4)->Arg(8);

void BM_tx_sink_frame(benchmark::State& state) {
  map_blocks();
  *const_cast<volatile uint16_t*>(tx_cntr) = 100;  // room, not empty: no wait, no priming
  *const_cast<volatile uint16_t*>(dac_cntr) = 100;
  *gpio_out = 1;
  set_i2c_has(i2c_accessory::codec, state.range(0));
  static uint8_t frame[frame_size];
  for (auto _ : state) tx_sink_frame(frame);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  fpga_clear_pointers();
}
BENCHMARK(BM_tx_sink_frame)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
