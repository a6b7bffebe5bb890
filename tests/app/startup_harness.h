// Runs the whole start-up sequence in-process on the simulated board, on the
// test platform, which records the calls start-up makes (device files, maps,
// socket options, bind, the keyer thread, replaced by one that returns at
// once). Noted here besides: what start-up had done when it asked for each
// mapping and created the keyer, and the power-on values of the cfg
// registers that it reads back.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "net/frames.h"
#include "sim/sim_platform.h"
#include "support/board.h"

namespace harness {

namespace tp = test_platform;

// What start-up had done when it asked for a mapping or created the keyer.
struct moment {
  size_t i2c_transactions = 0;  // bus traffic seen
  size_t stores = 0;            // FPGA stores made
  uint8_t log_table_7 = 0;      // an entry of the drive table
  uint16_t bound_port = 0;      // the socket's port
};
inline std::vector<moment> mmap_moments;
inline moment keyer_moment;
inline store_recorder* recorder = nullptr;
// Values the FPGA holds in rx_rst, lo_rst and tx_rst before start-up writes
// them, so that read-modify-writes show which bits they keep.
inline uint8_t cfg_power_on[3] = {0, 0, 0};

inline moment now() {
  return {sim_i2c_log.size(), recorder ? recorder->stores.size() : 0, drive_db_table[7],
          sim_bound_port()};
}

inline void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
  mmap_moments.push_back(now());
  void* p = tp::defaults.mmap(addr, len, prot, flags, fd, offset);
  if (p != MAP_FAILED && offset == static_cast<off_t>(fpga_blocks[0].phys))
    std::memcpy(p, cfg_power_on, sizeof cfg_power_on);
  return p;
}

inline int thread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                         void* arg) {
  keyer_moment = now();
  return tp::defaults.thread_create(thread, attr, entry, arg);
}

inline void reset() {
  mmap_moments.clear();
  keyer_moment = {};
  std::memset(cfg_power_on, 0, sizeof cfg_power_on);
  // A stale address from an earlier run must not survive a failed request.
  std::memset(discovery_reply_template + 3, 0xEE, 6);
}

struct outcome {
  int status;
  std::string err;  // everything written to standard error
};

// Calls startup() with the program name and `args`, capturing standard error.
inline outcome run_startup(const std::vector<std::string>& args) {
  std::vector<std::string> texts{"varnholt"};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStderr();
  const int status = startup(static_cast<int>(texts.size()), argv.data());
  return {status, testing::internal::GetCapturedStderr()};
}

inline const std::vector<std::string> six_ones{"1", "1", "1", "1", "1", "1"};

// Compares two sequences of `what` and names the first difference, or the
// first one missing or too many.
template <class T>
void expect_same(const char* what, const std::vector<T>& got, const std::vector<T>& want) {
  for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
    if (i >= got.size()) {
      ADD_FAILURE() << what << " " << i << " missing, expected " << want[i];
    } else if (i >= want.size()) {
      ADD_FAILURE() << "extra " << what << " " << got[i];
    } else if (!(got[i] == want[i])) {
      ADD_FAILURE() << what << " " << i << " is " << got[i] << ", expected " << want[i];
    } else {
      continue;
    }
    return;
  }
}

}  // namespace harness

// Base fixture: a fresh simulated board behind the test platform, bound to
// loopback port 0, the blocks left for start-up to map, a store recorder
// attached and the platform's records empty.
class startup_fixture : public board_fixture {
 protected:
  startup_fixture() : board_fixture({.map = false, .settings = {.threads_at_once = true}}) {
    test_platform::ops.mmap = harness::mmap;
    test_platform::ops.thread_create = harness::thread_create;
    serve_on_loopback();
    harness::reset();
    harness::recorder = &board.rec;
  }
  ~startup_fixture() override { harness::recorder = nullptr; }

  void present(std::initializer_list<int> addresses) {
    for (int a : addresses) sim_config.i2c_devices[a] = true;
  }
};
