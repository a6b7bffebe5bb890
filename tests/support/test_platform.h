// The platform of the in-process tests, the fuzz targets and the benchmarks
// that run the server's code: the simulated board's calls, recorded, with a
// virtual clock on request. `ops` starts as a copy of `defaults`; a test
// replaces single entries of it (an override may call the default itself).
//
// The defaults add to the simulated board's calls:
//   - open, mmap, socket, setsockopt, bind, thread_create (with the
//     scheduling its attributes asked for) and set_thread_name are recorded
//     in `calls`, and sendmmsg, usleep and sleep_until counted;
//   - with settings.threads_at_once a created thread runs returns_at_once
//     instead of its entry (start-up detaches the keyer, so that stays
//     valid); with settings.thread_result creation fails with it;
//   - with settings.virtual_clock clock_now reads `now_ns`, a virtual
//     CLOCK_MONOTONIC that the test moves; with settings.virtual_sleeps the
//     sleeps move it instead of sleeping: sleep_until to its deadline (at
//     once when it has passed) and usleep by its time, each then late by
//     settings.lateness_ns, as a scheduler that is always that late would be.
//
// Counts are atomic (the receive loop and the stream thread create threads
// and sleep); the lists are written under calls.mutex and read once their
// writers have ended. One test at a time: sim_board resets the platform.
#pragma once

#include <arpa/inet.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "hardware/platform.h"
#include "sim/sim_platform.h"

// A thread entry that ends at once: what the test platform starts instead of
// the keyer, which start-up creates and detaches.
inline void* returns_at_once(void*) {
  return nullptr;
}

namespace test_platform {

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
};
struct sockopt_call {
  int level;
  int name;
  std::vector<uint8_t> value;
};
struct thread_call {
  void* (*entry)(void*);
  void* arg;
  int inherit = -1, policy = -1, priority = -1;  // -1: no attributes
};

struct settings_t {
  bool virtual_clock = false;
  bool virtual_sleeps = false;
  int64_t lateness_ns = 0;
  bool threads_at_once = false;
  int thread_result = 0;
};

struct calls_t {
  std::mutex mutex;
  std::vector<open_call> opens;
  std::vector<mmap_call> mmaps;
  std::vector<sockopt_call> sockopts;
  std::vector<sockaddr_in> binds;
  std::vector<thread_call> threads;
  std::vector<std::string> thread_names;
  std::atomic<int> sockets, sendmmsgs, usleeps, sleeps;
  // Virtual sleeps only: the deadline minus the clock, over all sleeps.
  int64_t shortest_sleep_ns, longest_sleep_ns;
};

inline settings_t settings;
inline calls_t calls;
inline int64_t now_ns = 0;

namespace detail {

template <class T>
void record(std::vector<T>& list, T entry) {
  std::lock_guard lock(calls.mutex);
  list.push_back(std::move(entry));
}

inline platform_ops make_defaults() {
  platform_ops o = sim_platform;
  o.name = "test";
  o.open = [](const char* path, int flags) {
    const int r = sim_platform.open(path, flags);
    record(calls.opens, {path, flags, r});
    return r;
  };
  o.mmap = [](void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
    record(calls.mmaps, {len, prot, flags, fd, offset});
    return sim_platform.mmap(addr, len, prot, flags, fd, offset);
  };
  o.socket = [](int domain, int type, int protocol) {
    ++calls.sockets;
    return sim_platform.socket(domain, type, protocol);
  };
  o.setsockopt = [](int fd, int level, int name, const void* value, socklen_t len) {
    const auto* b = static_cast<const uint8_t*>(value);
    record(calls.sockopts, {level, name, std::vector<uint8_t>(b, b + len)});
    return sim_platform.setsockopt(fd, level, name, value, len);
  };
  o.bind = [](int fd, const sockaddr* addr, socklen_t len) {
    sockaddr_in a{};
    std::memcpy(&a, addr, std::min<size_t>(len, sizeof a));
    record(calls.binds, a);
    return sim_platform.bind(fd, addr, len);
  };
  o.sendmmsg = [](int fd, mmsghdr* msgs, unsigned count, int flags) {
    ++calls.sendmmsgs;
    return sim_platform.sendmmsg(fd, msgs, count, flags);
  };
  o.thread_create = [](pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                       void* arg) {
    thread_call t{entry, arg};
    if (attr) {
      sched_param p{};
      pthread_attr_getinheritsched(attr, &t.inherit);
      pthread_attr_getschedpolicy(attr, &t.policy);
      pthread_attr_getschedparam(attr, &p);
      t.priority = p.sched_priority;
    }
    record(calls.threads, t);
    if (settings.thread_result != 0) return settings.thread_result;
    if (settings.threads_at_once) return pthread_create(thread, nullptr, returns_at_once, nullptr);
    return sim_platform.thread_create(thread, attr, entry, arg);
  };
  o.set_thread_name = [](const char* name) {
    record(calls.thread_names, std::string(name));
    return sim_platform.set_thread_name(name);
  };
  o.clock_now = [](timespec* t) {
    if (!settings.virtual_clock && !settings.virtual_sleeps) return sim_platform.clock_now(t);
    *t = ns_timespec(now_ns);
    return 0;
  };
  o.sleep_until = [](const timespec* d) {
    ++calls.sleeps;
    if (!settings.virtual_sleeps) return sim_platform.sleep_until(d);
    const int64_t asked = timespec_ns(*d) - now_ns;
    if (calls.shortest_sleep_ns < 0 || asked < calls.shortest_sleep_ns)
      calls.shortest_sleep_ns = asked;
    calls.longest_sleep_ns = std::max(calls.longest_sleep_ns, asked);
    now_ns += std::max<int64_t>(asked, 0) + settings.lateness_ns;
    return 0;
  };
  o.usleep = [](useconds_t us) {
    ++calls.usleeps;
    if (!settings.virtual_sleeps) return sim_platform.usleep(us);
    now_ns += int64_t{us} * 1000 + settings.lateness_ns;
    return 0;
  };
  return o;
}

}  // namespace detail

inline const platform_ops defaults = detail::make_defaults();
inline platform_ops ops = defaults;

// The defaults, the switches and the records put back, the clock at
// `clock_ns`; no thread may use the platform.
inline void reset(int64_t clock_ns = 0) {
  ops = defaults;
  settings = {};
  now_ns = clock_ns;
  std::lock_guard lock(calls.mutex);
  calls.opens.clear();
  calls.mmaps.clear();
  calls.sockopts.clear();
  calls.binds.clear();
  calls.threads.clear();
  calls.thread_names.clear();
  calls.sockets = calls.sendmmsgs = calls.usleeps = calls.sleeps = 0;
  calls.shortest_sleep_ns = calls.longest_sleep_ns = -1;
}

}  // namespace test_platform
