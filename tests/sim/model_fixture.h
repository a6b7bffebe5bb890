// In-process harness for the simulated FPGA: the simulated board with a
// virtual clock the test moves by hand, the model attached and its trace
// captured in a temporary file.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "hardware/fpga.h"
#include "sim/sim_fpga.h"
#include "sim/sim_platform.h"
#include "sim/sim_trace.h"
#include "support/board.h"
inline constexpr int64_t model_start_ns = 5'000'000'000;
inline const sim_model_config default_model{};

class model_test : public board_fixture {
 protected:
  FILE* trace_file = std::tmpfile();

  model_test()
      : board_fixture({.model = &default_model,
                       .settings = {.virtual_clock = true},
                       .clock_ns = model_start_ns}) {
    start_trace();
  }
  ~model_test() override {
    sim_fpga_shutdown();
    sim_trace_set_fd(-1);
    if (trace_file) std::fclose(trace_file);
  }

  // Restarts the model with a configuration of the test's own.
  void start(const sim_model_config& config) {
    sim_config = sim_config_t{};
    test_platform::now_ns = model_start_ns;
    sim_board_select(&test_platform::ops, &config);
    start_trace();
  }

  // The trace from scratch.
  void start_trace() {
    ASSERT_NE(trace_file, nullptr);
    ASSERT_EQ(ftruncate(fileno(trace_file), 0), 0);
    lseek(fileno(trace_file), 0, SEEK_SET);
    sim_trace_set_fd(fileno(trace_file));
  }

  static void advance_us(int64_t us) { test_platform::now_ns += us * 1000; }

  // The trace so far, one string per line.
  std::vector<std::string> trace_lines() const {
    std::vector<std::string> lines;
    const int fd = fileno(trace_file);
    std::string all;
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
      all.append(buf, static_cast<size_t>(n));
      at += n;
    }
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
      lines.push_back(all.substr(start, nl - start));
    return lines;
  }
  // Trace lines containing `needle`.
  std::vector<std::string> trace_with(const std::string& needle) const {
    std::vector<std::string> out;
    for (const std::string& l : trace_lines())
      if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }

  // The power-on sequence the stream relies on: a rate, then the receive
  // FIFO released.
  static void run_receive(uint16_t rate_divider) {
    write16(rx_rate, rate_divider);
    pulse8(rx_rst, rx_rst_bits::fifo_restart);
  }

  // Lets the clock run and collects `count` records as they arrive, 5 ms at
  // a time (the FIFO holds only 1024 records).
  static std::vector<uint8_t> collect_records(size_t count) {
    std::vector<uint8_t> out;
    while (out.size() < count * 32) {
      advance_us(5000);
      const size_t held = read16(rx_cntr) / 8u;
      const std::vector<uint8_t> part = read_records(std::min(held, count - out.size() / 32));
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  }

  // Reads `count` records out of the receive FIFO.
  static std::vector<uint8_t> read_records(size_t count) {
    std::vector<uint8_t> out(count * 32);
    fifo_read(out.data(), fifo, out.size());
    return out;
  }
};

// A receiver's samples out of a run of records (receiver 1..4).
inline std::vector<std::complex<double>> receiver_samples(const std::vector<uint8_t>& records,
                                                          int receiver) {
  static const size_t offset[4] = {0, 6, 18, 24};
  std::vector<std::complex<double>> out;
  for (size_t r = 0; r + 32 <= records.size(); r += 32) {
    const uint8_t* p = records.data() + r + offset[receiver - 1];
    auto s24 = [](const uint8_t* b) {
      int32_t v = (b[0] << 16) | (b[1] << 8) | b[2];
      if (v & 0x800000) v -= 0x1000000;
      return static_cast<double>(v);
    };
    out.emplace_back(s24(p + 3), s24(p));  // Q then I on the wire: second + j*first
  }
  return out;
}

// The first words of receiver `receiver`'s samples: the count in counter mode.
inline std::vector<double> receiver_counts(const std::vector<uint8_t>& records, int receiver) {
  std::vector<double> out;
  for (const auto& x : receiver_samples(records, receiver)) out.push_back(x.imag());
  return out;
}

// Amplitude of the component at `hz` (a single DFT bin of any frequency).
inline double tone_amplitude(const std::vector<std::complex<double>>& x, double hz, double fs) {
  std::complex<double> acc = 0;
  for (size_t n = 0; n < x.size(); ++n)
    acc += x[n] * std::polar(1.0, -2 * std::numbers::pi * hz * static_cast<double>(n) / fs);
  return std::abs(acc) / static_cast<double>(x.size());
}

inline double dbfs(double amplitude) {
  return 20 * std::log10(amplitude / 8388607.0);
}
