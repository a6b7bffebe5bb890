// The platform of the in-process tests, the fuzz targets and the benchmarks
// that run the server's code: the simulated board's platform behind a table
// that records the calls, keeps a virtual clock on request, and in which a
// test replaces single entries.
//
// test_platform::ops forwards each call to the entry of `overrides` when the
// test set one, else to the entry of `defaults`; an override may call the
// default itself to add to it. The defaults are the simulated board's calls,
// and also:
//   - open, mmap, socket, setsockopt, bind, thread_create and
//     set_thread_name are recorded in `calls`, a thread with the scheduling
//     its attributes asked for;
//   - with settings.threads_at_once, a created thread runs returns_at_once
//     instead of its entry (start-up detaches the keyer, so that stays
//     valid); with settings.thread_result, creation fails with it;
//   - with settings.virtual_clock, clock_now reads a virtual CLOCK_MONOTONIC
//     (now_ns) that the test moves; with settings.virtual_sleeps the sleeps
//     move it instead of sleeping: sleep_until to its deadline (at once when
//     it has passed) and usleep by its time, each then late by
//     settings.lateness_ns, as a scheduler that is always that late would be.
//
// Counts are atomic (the receive loop and the stream thread create threads
// and sleep); the lists are written under `calls.mutex`, and read once the
// threads that write them have ended. One test at a time: sim_board resets
// the platform (reset) when the board comes up and when it goes.
#pragma once

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

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
  int inherit = -1;  // of the attributes; -1 without them
  int policy = -1;
  int priority = -1;
};

struct settings_t {
  bool virtual_clock = false;
  bool virtual_sleeps = false;
  int64_t lateness_ns = 0;  // added to every virtual wake-up
  bool threads_at_once = false;
  int thread_result = 0;  // nonzero: thread creation fails with it
};

struct calls_t {
  std::mutex mutex;
  std::vector<open_call> opens;
  std::vector<mmap_call> mmaps;
  std::vector<sockopt_call> sockopts;
  std::vector<sockaddr_in> binds;
  std::vector<thread_call> threads;
  std::vector<std::string> thread_names;
  std::atomic<int> sockets{0};
  std::atomic<int> sendmmsgs{0};
  std::atomic<int> usleeps{0};
  std::atomic<int> sleeps{0};  // sleep_until calls
  // Virtual sleeps only: the deadline minus the clock, over all sleeps.
  int64_t shortest_sleep_ns = -1;
  int64_t longest_sleep_ns = -1;

  // Threads created (or refused) with this entry.
  int threads_of(void* (*entry)(void*)) {
    std::lock_guard lock(mutex);
    return static_cast<int>(
        std::count_if(threads.begin(), threads.end(), [&](auto& t) { return t.entry == entry; }));
  }
};

inline settings_t settings;
inline calls_t calls;
inline platform_ops overrides{};
inline int64_t now_ns = 0;  // the virtual clock

inline timespec to_timespec(int64_t ns) {
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}
inline int64_t to_ns(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

namespace detail {

template <class T>
void record(std::vector<T>& list, T entry) {
  std::lock_guard lock(calls.mutex);
  list.push_back(std::move(entry));
}

inline int open(const char* path, int flags) {
  const int r = sim_platform.open(path, flags);
  record(calls.opens, {path, flags, r});
  return r;
}
inline void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
  record(calls.mmaps, {len, prot, flags, fd, offset});
  return sim_platform.mmap(addr, len, prot, flags, fd, offset);
}
inline int socket(int domain, int type, int protocol) {
  ++calls.sockets;
  return sim_platform.socket(domain, type, protocol);
}
inline int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  const auto* b = static_cast<const uint8_t*>(value);
  record(calls.sockopts, {level, name, std::vector<uint8_t>(b, b + len)});
  return sim_platform.setsockopt(fd, level, name, value, len);
}
inline int bind(int fd, const sockaddr* addr, socklen_t len) {
  sockaddr_in a{};
  std::memcpy(&a, addr, std::min<size_t>(len, sizeof a));
  record(calls.binds, a);
  return sim_platform.bind(fd, addr, len);
}
inline int sendmmsg(int fd, mmsghdr* msgs, unsigned count, int flags) {
  ++calls.sendmmsgs;
  return sim_platform.sendmmsg(fd, msgs, count, flags);
}
inline int thread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
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
  if (settings.threads_at_once) return ::pthread_create(thread, nullptr, returns_at_once, nullptr);
  return sim_platform.thread_create(thread, attr, entry, arg);
}
inline int set_thread_name(const char* name) {
  record(calls.thread_names, std::string(name));
  return sim_platform.set_thread_name(name);
}
inline int clock_now(timespec* t) {
  if (!settings.virtual_clock && !settings.virtual_sleeps) return sim_platform.clock_now(t);
  *t = to_timespec(now_ns);
  return 0;
}
inline int sleep_until(const timespec* d) {
  ++calls.sleeps;
  if (!settings.virtual_sleeps) return sim_platform.sleep_until(d);
  const int64_t deadline = to_ns(*d);
  const int64_t asked = deadline - now_ns;
  if (calls.shortest_sleep_ns < 0 || asked < calls.shortest_sleep_ns)
    calls.shortest_sleep_ns = asked;
  calls.longest_sleep_ns = std::max(calls.longest_sleep_ns, asked);
  now_ns = std::max(now_ns, deadline) + settings.lateness_ns;
  return 0;
}
inline int usleep(useconds_t us) {
  ++calls.usleeps;
  if (!settings.virtual_sleeps) return sim_platform.usleep(us);
  now_ns += int64_t{us} * 1000 + settings.lateness_ns;
  return 0;
}

inline platform_ops make_defaults() {
  platform_ops o = sim_platform;
  o.name = "test";
  o.open = open;
  o.mmap = mmap;
  o.socket = socket;
  o.setsockopt = setsockopt;
  o.bind = bind;
  o.sendmmsg = sendmmsg;
  o.thread_create = thread_create;
  o.set_thread_name = set_thread_name;
  o.clock_now = clock_now;
  o.sleep_until = sleep_until;
  o.usleep = usleep;
  return o;
}

}  // namespace detail

inline const platform_ops defaults = detail::make_defaults();

namespace detail {

// The entry of `overrides` when set, else the default.
template <auto entry, class R, class... A>
R forward(A... a) {
  const auto f = overrides.*entry ? overrides.*entry : defaults.*entry;
  return f(a...);
}
template <auto entry, class R, class... A>
constexpr auto forwarder(R (*platform_ops::*)(A...)) {
  return &forward<entry, R, A...>;
}
template <auto entry>
constexpr auto fwd = forwarder<entry>(entry);

}  // namespace detail

inline const platform_ops ops = {
    .name = "test",
    .open = detail::fwd<&platform_ops::open>,
    .write = detail::fwd<&platform_ops::write>,
    .tcgetattr = detail::fwd<&platform_ops::tcgetattr>,
    .tcsetattr = detail::fwd<&platform_ops::tcsetattr>,
    .tcflush = detail::fwd<&platform_ops::tcflush>,
    .i2c_select = detail::fwd<&platform_ops::i2c_select>,
    .page_size = detail::fwd<&platform_ops::page_size>,
    .mmap = detail::fwd<&platform_ops::mmap>,
    .socket = detail::fwd<&platform_ops::socket>,
    .get_hwaddr = detail::fwd<&platform_ops::get_hwaddr>,
    .setsockopt = detail::fwd<&platform_ops::setsockopt>,
    .bind = detail::fwd<&platform_ops::bind>,
    .poll = detail::fwd<&platform_ops::poll>,
    .recvmmsg = detail::fwd<&platform_ops::recvmmsg>,
    .sendto = detail::fwd<&platform_ops::sendto>,
    .sendmmsg = detail::fwd<&platform_ops::sendmmsg>,
    .thread_create = detail::fwd<&platform_ops::thread_create>,
    .usleep = detail::fwd<&platform_ops::usleep>,
    .sleep_until = detail::fwd<&platform_ops::sleep_until>,
    .clock_now = detail::fwd<&platform_ops::clock_now>,
    .set_thread_name = detail::fwd<&platform_ops::set_thread_name>,
    .eventfd = detail::fwd<&platform_ops::eventfd>,
    .eventfd_read = detail::fwd<&platform_ops::eventfd_read>,
    .eventfd_write = detail::fwd<&platform_ops::eventfd_write>,
};

// The defaults, the switches and the records put back, the clock at
// `clock_ns`; no thread may use the platform.
inline void reset(int64_t clock_ns = 0) {
  settings = {};
  overrides = {};
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
