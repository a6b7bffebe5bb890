// The simulated board as a process: streaming at 384 kHz, idle, and keying.
//
// Each benchmark starts build/bin/varnholt-sim (next to this program) on a
// loopback port with a trace, and ends it by its PID. It uses only the
// process and its trace, so the same source builds in an older tree for a
// before-and-after comparison. VARNHOLT_BENCH_SECONDS shortens the streams
// (default 60) for a quick look.
//
// BM_stream_384k/R/M: a client streams 384 kHz with R receivers and --counter
// for 60 s; with M = 1 this program first raises the simulated FPGA's own
// thread to SCHED_FIFO 89 (see below). Counters:
//   rx_resets, rx_overflows   receive-FIFO restarts by the overflow check,
//                             and overflow episodes, from the trace (the
//                             overflow after the stop is not counted)
//   client_lost_samples       samples lost as the client sees them: those
//                             the count skipped (in the board or in
//                             datagrams missing from the sequence), plus at
//                             least 1024 per restart seen (the FIFO content
//                             then)
//   client_bad_samples        samples that are not the count (a fault)
//   client_restarts, client_jumps, client_frames_lost   restarts, forward
//                             jumps of the count, and datagrams missing
//   cpu_<thread>_ms_s          CPU time per second of each thread of the
//                             server (from /proc/PID/task/*/schedstat), by
//                             thread name; threads without a name of their
//                             own are named by creation order: main,
//                             sim-fpga, keyer, stream
//   stall_late_1ms, stall_late_1_3ms, stall_worst_ms
//                             one thread of this program per CPU, pinned
//                             there at SCHED_FIFO 89 (just below the stream
//                             thread), sleeps to 1 ms deadlines: how often
//                             the machine woke one of them 1 ms or 1.3 ms
//                             late, and the worst (a stall of the machine:
//                             the CPU was taken away from every thread of
//                             lower priority than the one that had it)
//   overflows_at_stall, resets_at_stall, stall_coverage
//                             receive-FIFO overflows and restarts that fall
//                             within 1 ms of a stall of either CPU (a
//                             watcher woken 0.3 ms or more late, from its
//                             deadline to its wake-up), and the share of the
//                             run those windows cover (what a random moment
//                             would score). The trace's clock is tied to
//                             this program's by ten control words sent
//                             before the start, each changing the transmit
//                             frequency (an event's time is known to the
//                             shortest delay from a send to its store)
//
// The simulated FPGA serves the stream thread's loads under a lock that its
// own thread (normal priority) also takes every millisecond: on a busy
// machine that thread can be preempted holding it and hold the real-time
// stream thread up. M = 1 removes that simulator effect from the figures.
//
// BM_idle_cpu_10s: no client; CPU per thread over 10 s after 1 s of
// settling.
//
// BM_keydown_to_alex/F: the dot paddle pressed every 200 ms (--gpio script,
// 100 presses, keyer in mode 1 at 25 wpm with a 10 ms hang, so PTT drops
// 58 ms after each key-on). 120 ms after each key-on the client sends one
// control word, which clears the Alex word's PTT bit again, so the next
// key-on stores to the Alex register anew; the receive loop is idle at the
// key-on. From the trace: the time from each key-on (the keyer's tx_rst
// store raising bit 5) to the next store to the Alex register (median, 99th
// percentile, worst; microseconds). With F = 1 this program raises the
// server's main thread (the receive loop) to SCHED_FIFO 50 from outside,
// which takes a busy machine's run queue out of the measurement.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "support/ep6_reader.h"
#include "support/sim_process.h"

namespace {

int bench_seconds() {
  const char* s = std::getenv("VARNHOLT_BENCH_SECONDS");
  const int v = s ? std::atoi(s) : 0;
  return v > 0 ? v : 60;
}

int64_t mono_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return timespec_ns(t);
}

// The thread ids of `pid`, in creation order (ascending), from /proc.
std::vector<int> thread_ids(pid_t pid) {
  std::vector<int> tids;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') tids.push_back(std::atoi(e->d_name));
    closedir(d);
  }
  std::sort(tids.begin(), tids.end());
  return tids;
}

// CPU time (ns) of every thread of `pid`, by label.
std::map<std::string, int64_t> thread_cpu(pid_t pid) {
  static const char* const by_order[] = {"sim-fpga", "keyer", "stream"};
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  const std::vector<int> tids = thread_ids(pid);
  std::string process_comm;
  std::ifstream(dir + "/" + std::to_string(pid) + "/comm") >> process_comm;
  std::map<std::string, int64_t> out;
  size_t unnamed = 0;
  for (int tid : tids) {
    const std::string t = dir + "/" + std::to_string(tid);
    std::string comm;
    std::ifstream(t + "/comm") >> comm;
    int64_t run_ns = 0;
    std::ifstream(t + "/schedstat") >> run_ns;
    std::string label = comm;
    if (tid == pid)
      label = "main";
    else if (comm == process_comm)
      label = unnamed < 3 ? by_order[unnamed++] : "other";
    out[label] += run_ns;
  }
  return out;
}

void report_cpu(benchmark::State& state, const std::map<std::string, int64_t>& a,
                const std::map<std::string, int64_t>& b, double seconds) {
  for (const auto& [label, ns] : b) {
    const auto before = a.find(label);
    const int64_t d = ns - (before == a.end() ? 0 : before->second);
    state.counters["cpu_" + label + "_ms_s"] = static_cast<double>(d) / 1e6 / seconds;
  }
}

// One thread per CPU, pinned, sleeping to 1 ms deadlines just below the
// stream thread's priority. A wake-up 0.3 ms or more late is noted as a
// stall of that CPU from the deadline to the wake-up (the CPU may have been
// gone since the previous wake-up; from the deadline on it certainly was).
struct stall_watch {
  struct interval {
    int64_t from, to;  // monotonic ns
  };
  static constexpr int64_t noted_ns = 300000;
  std::atomic<bool> run{true};
  std::vector<std::vector<interval>> stalls;
  std::vector<int> late_1ms, late_1_3ms;
  std::vector<int64_t> worst_ns;
  std::vector<std::thread> threads;
  int64_t started_ns = 0, stopped_ns = 0;

  void start() {
    const int cpus = std::max(1, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
    stalls.resize(cpus);
    late_1ms.assign(cpus, 0);
    late_1_3ms.assign(cpus, 0);
    worst_ns.assign(cpus, 0);
    started_ns = mono_ns();
    for (int c = 0; c < cpus; ++c) {
      stalls[c].reserve(200000);
      threads.emplace_back([this, c] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(c, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        sched_param p{};
        p.sched_priority = 89;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);  // as root; else normal
        int64_t deadline = mono_ns();
        while (run.load(std::memory_order_relaxed)) {
          deadline += ns_per_ms;
          const timespec d = ns_timespec(deadline);
          while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &d, nullptr) == EINTR) {
          }
          const int64_t now = mono_ns();
          const int64_t late = now - deadline;
          worst_ns[c] = std::max(worst_ns[c], late);
          if (late >= noted_ns && stalls[c].size() < stalls[c].capacity())
            stalls[c].push_back({deadline, now});
          if (late >= 1000000) ++late_1ms[c];
          if (late >= 1300000) ++late_1_3ms[c];
          if (late > 20000000) deadline = now;  // after a long stall, start afresh
        }
      });
    }
  }
  void stop() {
    run = false;
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
    if (!stopped_ns) stopped_ns = mono_ns();
  }
  ~stall_watch() { stop(); }

  // Within 1 ms of a noted stall of any CPU.
  bool at_stall(int64_t t) const {
    for (const auto& cpu : stalls)
      for (const interval& i : cpu)
        if (t >= i.from - 1000000 && t <= i.to + 1000000) return true;
    return false;
  }
  // The share of the watched time that at_stall covers: the chance that an
  // event at a random moment counts as at a stall.
  double coverage() const {
    std::vector<interval> all;
    for (const auto& cpu : stalls)
      for (const interval& i : cpu) all.push_back({i.from - 1000000, i.to + 1000000});
    std::sort(all.begin(), all.end(),
              [](const interval& a, const interval& b) { return a.from < b.from; });
    int64_t covered = 0, end = INT64_MIN;
    for (const interval& i : all) {
      const int64_t from = std::max(i.from, end);
      if (i.to > from) covered += i.to - from;
      end = std::max(end, i.to);
    }
    return static_cast<double>(covered) / static_cast<double>(stopped_ns - started_ns);
  }
  int total(const std::vector<int>& v) const {
    int n = 0;
    for (int x : v) n += x;
    return n;
  }
};

// The thread of `pid` with the given name, or else the n-th created (by
// thread id) after the main thread; 0 when there is none.
int find_thread(pid_t pid, const std::string& name, size_t nth) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  const std::vector<int> tids = thread_ids(pid);
  for (int tid : tids) {
    std::string comm;
    std::ifstream(dir + "/" + std::to_string(tid) + "/comm") >> comm;
    if (comm == name) return tid;
  }
  return nth < tids.size() ? tids[nth] : 0;
}

void BM_stream_384k(benchmark::State& state) {
  const int receivers = static_cast<int>(state.range(0));
  const bool raise_model = state.range(1) != 0;
  const int seconds = bench_seconds();
  for (auto _ : state) {
    sim_process sim;
    std::string error;
    if (!sim.start({"--counter"}, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    if (raise_model) {
      sched_param p{};
      p.sched_priority = 89;
      const int tid = find_thread(sim.pid, "sim-fpga", 1);
      if (tid <= 0 || sched_setscheduler(tid, SCHED_FIFO, &p) != 0) {
        state.SkipWithError("cannot raise the simulated FPGA's thread");
        return;
      }
    }
    stall_watch watch;
    watch.start();
    udp_client client(sim.port);
    const auto c4 = static_cast<uint8_t>((receivers - 1) << 3);
    // Ten transmit frequencies, 20 ms apart: their register stores tie the
    // trace's clock to this one.
    std::vector<int64_t> sent_ns;
    for (uint32_t i = 0; i < 10; ++i) {
      sent_ns.push_back(mono_ns());
      client.send(ep2_frame(frequency_word(0x02, 7000000 + 1000 * i), {{0x00, 3, 0, 0, c4}}, i));
      client.discard_for(20);
    }
    client.start();

    constexpr int batch = 64;
    static uint8_t bufs[batch][1032];
    mmsghdr msgs[batch]{};
    iovec iov[batch];
    for (int i = 0; i < batch; ++i) {
      iov[i] = {bufs[i], sizeof bufs[i]};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    counter_check check(receivers);
    std::map<std::string, int64_t> cpu_a;
    int64_t t_a = 0;
    const int64_t until = e2e_now_ms() + seconds * 1000;
    // The server stops the stream of a client that sends no EP2 frame for
    // 3 s: one a second, with the set-up's general word, keeps it without
    // the load of a client's 381 a second.
    int64_t next_ep2 = e2e_now_ms() + 1000;
    uint32_t ep2_sequence = 10;
    while (e2e_now_ms() < until) {
      if (e2e_now_ms() >= next_ep2) {
        client.send(ep2_frame({{0x00, 3, 0, 0, c4}}, {{0x00, 3, 0, 0, c4}}, ep2_sequence++));
        next_ep2 += 1000;
      }
      pollfd p{client.fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int n = recvmmsg(client.fd, msgs, batch, MSG_DONTWAIT, nullptr);
      for (int i = 0; i < n; ++i) {
        const auto f = read_ep6(bufs[i], msgs[i].msg_len, receivers);
        if (!f) continue;
        check.add(*f);
        if (check.frames == 1) {
          cpu_a = thread_cpu(sim.pid);
          t_a = mono_ns();
        }
      }
    }
    const auto cpu_b = thread_cpu(sim.pid);
    const int64_t t_b = mono_ns();
    client.stop();
    client.drain(300);
    watch.stop();
    sim.stop();

    const auto trace = sim.trace();
    // The trace's epoch on this clock: no store comes before its send, so
    // each send bounds it from below and the latest bound is the closest.
    int64_t epoch_ns = INT64_MIN;
    size_t freq_store = 0;
    for (const auto& e : trace) {
      if (e.at("ev") != "reg" || e.at("name") != "tx_freq") continue;
      // The first store is start-up's; then one per frequency sent.
      if (freq_store > 0 && freq_store <= sent_ns.size())
        epoch_ns =
            std::max<int64_t>(epoch_ns, sent_ns[freq_store - 1] - std::stoll(e.at("t_us")) * 1000);
      ++freq_store;
    }
    long overflows = 0, resets = 0, resets_at_stall = 0, overflows_at_stall = 0;
    for (const auto& e : trace) {
      if (e.at("ev") != "fifo" || e.at("fifo") != "rx") continue;
      const std::string& what = e.at("what");
      if (what != "overflow" && what != "reset") continue;
      const bool stalled = watch.at_stall(epoch_ns + std::stoll(e.at("t_us")) * 1000);
      if (what == "overflow") {
        ++overflows;
        overflows_at_stall += stalled;
      } else {
        ++resets;
        resets_at_stall += stalled;
      }
    }
    // The overflow after the stop (nobody reads any more) is not the
    // stream's.
    if (overflows > 0) --overflows;
    state.counters["rx_resets"] = static_cast<double>(resets);
    state.counters["rx_overflows"] = static_cast<double>(overflows);
    state.counters["client_restarts"] = static_cast<double>(check.restarts);
    state.counters["client_jumps"] = static_cast<double>(check.steps - check.restarts);
    state.counters["client_frames_lost"] = static_cast<double>(check.frames_missing);
    state.counters["client_bad_samples"] = static_cast<double>(check.bad);
    state.counters["client_lost_samples"] =
        static_cast<double>(check.missing + 1024 * check.restarts);
    state.counters["stall_late_1ms"] = watch.total(watch.late_1ms);
    state.counters["stall_late_1_3ms"] = watch.total(watch.late_1_3ms);
    state.counters["stall_worst_ms"] =
        static_cast<double>(*std::max_element(watch.worst_ns.begin(), watch.worst_ns.end())) / 1e6;
    state.counters["stall_coverage"] = watch.coverage();
    state.counters["anchor_sends"] = static_cast<double>(freq_store > 0 ? freq_store - 1 : 0);
    state.counters["resets_at_stall"] = static_cast<double>(resets_at_stall);
    state.counters["overflows_at_stall"] = static_cast<double>(overflows_at_stall);
    report_cpu(state, cpu_a, cpu_b, static_cast<double>(t_b - t_a) / 1e9);
  }
}
BENCHMARK(BM_stream_384k)
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({4, 0})
    ->Args({8, 0})
    ->Args({8, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_idle_cpu_10s(benchmark::State& state) {
  for (auto _ : state) {
    sim_process sim;
    std::string error;
    if (!sim.start({}, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto a = thread_cpu(sim.pid);
    const int64_t t_a = mono_ns();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const auto b = thread_cpu(sim.pid);
    report_cpu(state, a, b, static_cast<double>(mono_ns() - t_a) / 1e9);
    sim.stop();
  }
}
BENCHMARK(BM_idle_cpu_10s)->Iterations(1)->Unit(benchmark::kSecond);

void BM_keydown_to_alex(benchmark::State& state) {
  constexpr int presses = 100;
  const bool raise_main = state.range(0) != 0;
  for (auto _ : state) {
    sim_process sim;
    std::string script = "0 0\n";
    for (int i = 0; i < presses; ++i) {
      const int t = 2000 + 200 * i;
      script += std::to_string(t) + " 4\n" + std::to_string(t + 20) + " 0\n";
    }
    const std::string gpio = sim.dir.file("paddles.txt", script);
    std::string error;
    if (!sim.start({"--gpio", gpio}, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    if (raise_main) {
      sched_param p{};
      p.sched_priority = 50;
      if (sched_setscheduler(sim.pid, SCHED_FIFO, &p) != 0) {
        state.SkipWithError("cannot raise the main thread");
        return;
      }
    }
    // The script's times count from the simulator's start, a few ms before
    // it reported its port.
    const int64_t up_ns = mono_ns();
    udp_client client(sim.port);
    // Mode 1 at 25 wpm, weight 50; keyer on, RF delay 0; hang 10 ms.
    client.send(ep2_frame({{0x16, 0, 0, 0x40 | 25, 50}}, {{0x1E, 1, 0, 0, 0}}));
    client.send(ep2_frame({{0x20, 2, 2, 0, 0}}, {{0x00, 0, 0, 0, 0}}, 1));
    for (uint32_t i = 0; i < presses; ++i) {
      const int64_t at = up_ns + (2120 + 200 * int64_t{i}) * 1000000;
      const timespec d{static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &d, nullptr) == EINTR) {
      }
      client.send(ep2_frame({{0x00, 0, 0, 0, 0}}, {{0x00, 0, 0, 0, 0}}, 2 + i));
    }
    client.discard_for(100);
    sim.stop();

    // Each key-on pairs with the first Alex store before PTT drops again; a
    // key-on without one (its control word came late) is left out.
    std::vector<int64_t> latency_us;
    int64_t key_on = -1;
    int last_tx_rst = 0, unpaired = 0;
    for (const auto& e : sim.trace()) {
      if (e.at("ev") != "reg") continue;
      const std::string& name = e.at("name");
      if (name == "tx_rst") {
        const int v = std::stoi(e.at("value"));
        if ((v & 0x20) && !(last_tx_rst & 0x20)) key_on = std::stoll(e.at("t_us"));
        if (!(v & 0x20) && (last_tx_rst & 0x20) && key_on >= 0) {
          ++unpaired;
          key_on = -1;
        }
        last_tx_rst = v;
      } else if (name == "alex" && key_on >= 0) {
        latency_us.push_back(std::stoll(e.at("t_us")) - key_on);
        key_on = -1;
      }
    }
    std::sort(latency_us.begin(), latency_us.end());
    const auto at = [&](double q) {
      return latency_us.empty() ? -1.0
                                : static_cast<double>(latency_us[static_cast<size_t>(
                                      q * static_cast<double>(latency_us.size() - 1) + 0.5)]);
    };
    state.counters["key_ons"] = static_cast<double>(latency_us.size());
    state.counters["unpaired"] = unpaired;
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["worst_us"] = latency_us.empty() ? -1.0 : static_cast<double>(latency_us.back());
  }
}
BENCHMARK(BM_keydown_to_alex)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
