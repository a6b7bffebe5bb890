// End-to-end figures of the simulated board: the real varnholt-sim process
// (in counter mode) streaming for 10 s on loopback to the operator's probe,
// the real p1probe process, which keeps it fed with EP2 frames as a client
// does and counts every sample.
//
// Counters, from p1probe's JSON report and the board's trace:
//   received_rate     samples per second of one receiver, from the kernel's
//                     arrival stamps of the first and the last frame
//   frames_lost       datagrams missing from the sequence numbers
//   samples_lost      samples missing from receiver 1's count: what the
//                     board's receive FIFO dropped plus what the network lost
//   rx_overflows      receive FIFO overflows and restarts in the trace
//                     while the stream ran (each a stall of the board's
//                     stream thread longer than the FIFO holds)
//   ep2_late          EP2 frames p1probe sent more than 10 ms late
//   probe_cpu         p1probe's processor time over the run, seconds per
//                     second of stream
// The goal: nothing lost at 48 kHz; no overflow at 384 kHz with 8
// receivers (the FIFO holds 2.67 ms there: see BM_sleep_overshoot in
// sim_stream for how late this machine's 1 ms sleeps wake).
#include <benchmark/benchmark.h>

#include <string>

#include "tools/probe_process.h"

namespace {

void BM_probe_stream_10s(benchmark::State& state) {
  const auto rate_khz = std::to_string(state.range(0));
  const auto receivers = std::to_string(state.range(1));
  for (auto _ : state) {
    sim_process sim;
    std::string error;
    if (!sim.start({"--counter"}, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    const probe_result r =
        run_probe({"stream", "127.0.0.1", "--port", std::to_string(sim.port), "--rate", rate_khz,
                   "--receivers", receivers, "--seconds", "10", "--json"},
                  60000);
    if (!r.json.is_object()) {
      state.SkipWithError(("p1probe gave no report: " + r.err).c_str());
      return;
    }
    const nlohmann::json& rx = r.json["receiver"][0];
    const double seconds = r.json["seconds"];
    state.counters["received_rate"] = rx["rate_hz"].get<double>();
    state.counters["frames_lost"] = r.json["frames"]["lost"].get<double>();
    state.counters["samples_lost"] = rx["samples_lost"].get<double>();
    state.counters["rx_overflows"] = static_cast<double>(stalls_in_run(sim, 0));
    state.counters["ep2_late"] = r.json["ep2"]["late"].get<double>();
    state.counters["probe_cpu"] = seconds > 0 ? r.cpu_seconds / seconds : 0;
  }
}

BENCHMARK(BM_probe_stream_10s)
    ->ArgNames({"kHz", "receivers"})
    ->Args({384, 8})
    ->Args({384, 1})
    ->Args({48, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
