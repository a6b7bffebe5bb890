// Runs build/bin/p1probe (beside the test binary) as a child process with
// its standard output and error captured, against the simulated board of
// tests/support/sim_process.h.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/sim_process.h"

inline std::string probe_binary_path() {
  const std::string sim = sim_binary_path();
  return sim.substr(0, sim.rfind('/') + 1) + "p1probe";
}

// Receive FIFO overflows and restarts in the board's trace during the last
// p1probe run that began after trace line `from`: after its stream started
// (the first store setting `rx_rst` bit 0) and before its last general
// word (the last `gpio_out` store, just before the stop; a stopped stream
// lets the FIFO overflow afterwards). Each is a stall of the machine that
// kept the board's stream thread from the FIFO, and loses samples.
inline long stalls_in_run(const sim_process& sim, size_t from) {
  const auto trace = sim.trace();
  int64_t start = -1, end = -1;
  for (size_t i = from; i < trace.size(); ++i) {
    const auto& e = trace[i];
    if (e.at("ev") != "reg") continue;
    if (start < 0 && e.at("name") == "rx_rst" && (std::stoi(e.at("value")) & 1))
      start = std::stoll(e.at("t_us"));
    if (e.at("name") == "gpio_out") end = std::stoll(e.at("t_us"));
  }
  return rx_fifo_losses(trace, from, start, end);
}

struct probe_result {
  int exit_code = -1;  // -1: did not end normally
  std::string out, err;
  nlohmann::json json;  // standard output parsed, when it is JSON
  double cpu_seconds = 0;
};

inline probe_result run_probe(const std::vector<std::string>& args, int timeout_ms = 30000) {
  std::vector<std::string> all{probe_binary_path()};
  all.insert(all.end(), args.begin(), args.end());
  child_process child;
  probe_result r;
  if (!child.start(all)) return r;
  const int status = child.wait(timeout_ms);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = child.out;
  r.err = child.err;
  r.cpu_seconds = child.cpu_seconds;
  r.json = nlohmann::json::parse(r.out, nullptr, false);
  return r;
}
