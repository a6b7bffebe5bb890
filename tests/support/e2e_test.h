// The fixture of the end-to-end tests: one varnholt-sim process per test,
// on an ephemeral loopback port, which must not end during the test.
// Skipped in the 32-bit ARM build, whose tests run under an instruction-set
// emulator far too slow for real-time streaming.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <optional>
#include <string>
#include <vector>

#include "support/ep6_reader.h"
#include "support/sim_process.h"

using event = trace_event;

class e2e : public ::testing::Test {
 protected:
  sim_process sim;

  void SetUp() override {
#if defined(__arm__)
    GTEST_SKIP() << "end-to-end tests need native speed";
#endif
  }
  // A process the test ended itself (sim.stop) is not looked at.
  void TearDown() override {
    std::string how;
    if (sim.pid > 0 && !sim.running(&how))
      ADD_FAILURE() << "varnholt-sim ended during the test: " << how;
  }
  void launch(const std::vector<std::string>& options) {
    std::string error;
    ASSERT_TRUE(sim.start(options, &error)) << error;
  }
};

// Built with a sanitizer (server and test alike): everything runs several
// times slower, and the stream thread falls behind more often.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// The register stores named `name` in the trace.
inline bool is_reg(const event& e, const char* name) {
  return e.at("ev") == "reg" && e.at("name") == name;
}
inline int64_t t_us(const event& e) {
  return std::stoll(e.at("t_us"));
}
inline uint32_t value(const event& e) {
  return static_cast<uint32_t>(std::stoul(e.at("value")));
}

// The next datagram read as an EP6 frame; nothing when none came within
// `timeout_ms` or it is no EP6 frame.
inline std::optional<ep6_frame> next_ep6(const udp_client& client, int receivers = 1,
                                         int timeout_ms = 5000) {
  uint8_t d[2048];
  return read_ep6(d, client.receive(d, sizeof d, timeout_ms), receivers);
}

// Sends a discovery request; the status byte of the reply (2 idle, 3
// streaming), which may come among a stream's frames; -1 when none came
// within `timeout_ms`.
inline int discovery_status(const udp_client& client, int timeout_ms = 5000) {
  client.discover();
  uint8_t d[2048];
  for (const int64_t deadline = e2e_now_ms() + timeout_ms; e2e_now_ms() < deadline;)
    if (client.receive(d, sizeof d, static_cast<int>(deadline - e2e_now_ms())) == 60) return d[2];
  return -1;
}

// Collects `count` consecutive samples of receiver r (1-based) from a
// stream of `receivers` receivers; restarts the collection after a gap
// unless `gaps_allowed`.
inline std::vector<std::complex<double>> collect(const udp_client& client, int receivers, int r,
                                                 size_t count, bool gaps_allowed = false) {
  std::vector<std::complex<double>> x;
  std::optional<uint32_t> last;
  uint8_t d[2048];
  const int64_t deadline = e2e_now_ms() + 10000;
  while (x.size() < count && e2e_now_ms() < deadline) {
    const auto f = read_ep6(d, client.receive(d, sizeof d, 2000), receivers);
    if (!f) continue;
    if (last && f->sequence != *last + 1 && !gaps_allowed) x.clear();
    last = f->sequence;
    for (int n = 0; n < f->samples; ++n) x.push_back(f->at(n, r - 1).analytic());
  }
  x.resize(std::min(x.size(), count));
  return x;
}
