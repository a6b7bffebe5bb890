// Runs the whole start-up sequence in-process on the simulated board, with
// spies on the platform calls that start-up makes: which device files it
// opened, how it mapped the blocks, the socket options and bind address it
// asked for and the attributes of the keyer thread. The keyer thread itself
// is replaced by one that returns at once (start-up detaches it).
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

struct open_call {
  std::string path;
  int flags;
  int result;
};
struct mmap_call {
  size_t len;
  int prot;
  int flags;
  int fd;
  off_t offset;
  size_t i2c_transactions_before;  // bus traffic seen when the mapping was asked for
};
struct sockopt_call {
  int level;
  int name;
  std::vector<uint8_t> value;
};
struct keyer_call {
  int inherit = -1;
  int policy = -1;
  int priority = -1;
  void* (*entry)(void*) = nullptr;
  void* arg = reinterpret_cast<void*>(1);
  size_t stores_before = 0;  // FPGA stores already made when the thread was created
  uint8_t log_table_7 = 0;   // an entry of the drive table at that moment
  uint16_t bound_port = 0;   // the socket's port at that moment
};

inline std::vector<open_call> opens;
inline std::vector<mmap_call> mmaps;
inline std::vector<sockopt_call> sockopts;
inline std::vector<sockaddr_in> binds;
inline std::vector<keyer_call> keyers;
inline int socket_calls = 0;
inline int thread_create_result = 0;  // nonzero: thread creation fails with it
inline store_recorder* recorder = nullptr;
// Values the FPGA holds in rx_rst, lo_rst and tx_rst before start-up writes
// them, so that read-modify-writes show which bits they keep.
inline uint8_t cfg_power_on[3] = {0, 0, 0};

inline int spy_open(const char* path, int flags) {
  const int r = sim_platform.open(path, flags);
  opens.push_back({path, flags, r});
  return r;
}

inline void* spy_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
  mmaps.push_back({len, prot, flags, fd, offset, sim_i2c_log.size()});
  void* p = sim_platform.mmap(addr, len, prot, flags, fd, offset);
  if (p != MAP_FAILED && offset == static_cast<off_t>(fpga_blocks[0].phys))
    std::memcpy(p, cfg_power_on, sizeof cfg_power_on);
  return p;
}

inline int spy_socket(int domain, int type, int protocol) {
  ++socket_calls;
  return sim_platform.socket(domain, type, protocol);
}

inline int spy_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  const auto* b = static_cast<const uint8_t*>(value);
  sockopts.push_back({level, name, std::vector<uint8_t>(b, b + len)});
  return sim_platform.setsockopt(fd, level, name, value, len);
}

inline int spy_bind(int fd, const sockaddr* addr, socklen_t len) {
  sockaddr_in a{};
  std::memcpy(&a, addr, std::min<size_t>(len, sizeof a));
  binds.push_back(a);
  return sim_platform.bind(fd, addr, len);
}

inline int spy_thread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                             void* arg) {
  keyer_call k;
  if (attr) {
    sched_param p{};
    pthread_attr_getinheritsched(attr, &k.inherit);
    pthread_attr_getschedpolicy(attr, &k.policy);
    pthread_attr_getschedparam(attr, &p);
    k.priority = p.sched_priority;
  }
  k.entry = entry;
  k.arg = arg;
  k.stores_before = recorder ? recorder->stores.size() : 0;
  k.log_table_7 = log_table_lookup[7];
  k.bound_port = sim_bound_port();
  keyers.push_back(k);
  if (thread_create_result != 0) return thread_create_result;
  return ::pthread_create(thread, nullptr, returns_at_once, nullptr);
}

inline platform_ops spy_platform() {
  platform_ops o = sim_platform;
  o.name = "startup spy";
  o.open = spy_open;
  o.mmap = spy_mmap;
  o.socket = spy_socket;
  o.setsockopt = spy_setsockopt;
  o.bind = spy_bind;
  o.thread_create = spy_thread_create;
  return o;
}

inline const platform_ops spy_ops = spy_platform();

inline void reset() {
  opens.clear();
  mmaps.clear();
  sockopts.clear();
  binds.clear();
  keyers.clear();
  socket_calls = 0;
  thread_create_result = 0;
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

// Base fixture: a fresh simulated board behind the spy platform, bound to
// loopback port 0, the blocks left for start-up to map, a store recorder
// attached and the spies' logs empty.
class startup_fixture : public board_fixture {
 protected:
  startup_fixture() : board_fixture({.ops = &harness::spy_ops, .map = false}) {
    serve_on_loopback();
    harness::reset();
    harness::recorder = &board.rec;
  }
  ~startup_fixture() override { harness::recorder = nullptr; }

  void present(std::initializer_list<int> addresses) {
    for (int a : addresses) sim_config.i2c_devices[a] = true;
  }
};
