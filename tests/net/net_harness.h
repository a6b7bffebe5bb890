// Test pieces for the network subsystem: a fake FPGA behind the device
// layer's observer, a stub of the test platform's receive calls, thread
// creation and sleeps (which also counts them), the receive loop on its own
// thread against the simulated board on loopback, and a small UDP client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "keyer/keyer.h"
#include "net/frames.h"
#include "net/receive_loop.h"
#include "net/stream.h"
#include "sim/sim_platform.h"
#include "support/board.h"
#include "support/udp_client.h"

namespace net_test {

using namespace std::chrono_literals;

// Generous: the tests also run under qemu on a loaded machine. A deadline is
// only ever reached when something is broken.
constexpr auto deadline = 20s;

// Byte j of sample record n as the model serves it: no two records of a run
// of 256 and no two bytes of a record alike, so a lost, repeated or misplaced
// record or byte shows.
inline uint8_t record_byte(uint32_t n, unsigned j) {
  return static_cast<uint8_t>(n * 37u + (n >> 8) * 11u + j * 7u + 1u);
}
// The two sample bytes of microphone word m (numbered from 1, so never 00 00).
inline uint8_t mic_byte(uint32_t m, unsigned j) {
  return j == 0 ? static_cast<uint8_t>(m >> 8) : static_cast<uint8_t>(m);
}

// The FPGA as the network code sees it. Serves the sts registers, numbered
// sample records and microphone words, restarts FIFOs on rx_rst pulses and
// records stores (from any thread).
struct fake_fpga {
  // Receive FIFO: words available; a read of a batch consumes its words.
  std::atomic<uint32_t> rx_words{0};
  std::atomic<uint32_t> next_record{0};
  std::atomic<uint32_t> next_mic_word{1};
  std::atomic<uint16_t> adc_level{0};
  std::atomic<uint16_t> tx_level{100};
  std::atomic<uint16_t> dac_level{100};
  std::atomic<uint8_t> gpio_in_value{0};
  std::atomic<int> tx_cntr_loads{0};
  std::atomic<int> adc_cntr_loads{0};
  std::atomic<int> rx_fifo_restarts{0};
  std::atomic<int> codec_fifo_restarts{0};
  std::atomic<int> codec_reads{0};
  // active_thread as the first store to `fifo` found it (-1: no store yet).
  std::atomic<int> active_at_first_tx_store{-1};

  std::mutex mutex;
  std::vector<uint32_t> tx_words;     // stores to fifo, in order
  std::vector<uint32_t> audio_words;  // stores to codec, in order
  std::vector<uint8_t> rx_rst_values;
  std::vector<uint8_t> lo_rst_values;
  uint8_t last_rx_rst = 0;

  fpga_observer observer{this, &fake_fpga::on_store, &fake_fpga::on_load, &fake_fpga::on_read_fifo};

  void attach() { fpga_obs = &observer; }
  static void detach() { fpga_obs = nullptr; }

  void add_rx_words(uint32_t words) { rx_words.fetch_add(words); }

  // Copies of the logs, taken under the lock.
  template <class T>
  T copy_of(const T& log) {
    std::lock_guard lock(mutex);
    return log;
  }
  std::vector<uint32_t> tx() { return copy_of(tx_words); }
  std::vector<uint32_t> audio() { return copy_of(audio_words); }
  std::vector<uint8_t> rx_rst_log() { return copy_of(rx_rst_values); }
  std::vector<uint8_t> lo_rst_log() { return copy_of(lo_rst_values); }
  void clear_logs() {
    std::lock_guard lock(mutex);
    tx_words.clear();
    audio_words.clear();
    rx_rst_values.clear();
    lo_rst_values.clear();
  }

 private:
  static void on_store(void* ctx, fpga_block b, uint32_t offset, unsigned, uint32_t value) {
    auto* m = static_cast<fake_fpga*>(ctx);
    std::lock_guard lock(m->mutex);
    if (b == fpga_block::fifo) {
      if (m->tx_words.empty())
        m->active_at_first_tx_store = active_thread.load(std::memory_order_acquire);
      m->tx_words.push_back(value);
    } else if (b == fpga_block::codec) {
      m->audio_words.push_back(value);
    } else if (b == fpga_block::cfg && offset == reg_offset(reg::rx_rst)) {
      const auto v = static_cast<uint8_t>(value);
      // A rising restart bit empties that FIFO.
      if ((v & ~m->last_rx_rst) & rx_rst_bits::fifo_restart) {
        m->rx_words = 0;
        ++m->rx_fifo_restarts;
      }
      if ((v & ~m->last_rx_rst) & rx_rst_bits::codec_restart) {
        m->adc_level = 0;
        ++m->codec_fifo_restarts;
      }
      m->last_rx_rst = v;
      m->rx_rst_values.push_back(v);
    } else if (b == fpga_block::cfg && offset == reg_offset(reg::lo_rst)) {
      m->lo_rst_values.push_back(static_cast<uint8_t>(value));
    }
  }

  static uint32_t on_load(void* ctx, fpga_block b, uint32_t offset, unsigned, uint32_t memory) {
    auto* m = static_cast<fake_fpga*>(ctx);
    if (b != fpga_block::sts) return memory;
    switch (offset) {
      case reg_offset(reg::rx_cntr):
        return std::min<uint32_t>(m->rx_words.load(), 0xFFFF);
      case reg_offset(reg::tx_cntr):
        ++m->tx_cntr_loads;
        return m->tx_level.load();
      case reg_offset(reg::dac_cntr):
        return m->dac_level.load();
      case reg_offset(reg::adc_cntr):
        ++m->adc_cntr_loads;
        return m->adc_level.load();
      case reg_offset(reg::gpio_in):
        return m->gpio_in_value.load();
      default:
        return memory;
    }
  }

  static void on_read_fifo(void* ctx, fpga_block b, void* dst, size_t bytes) {
    auto* m = static_cast<fake_fpga*>(ctx);
    auto* d = static_cast<uint8_t*>(dst);
    if (b == fpga_block::fifo) {
      for (size_t r = 0; r < bytes / ep6_record_size; ++r) {
        const uint32_t n = m->next_record++;
        for (unsigned j = 0; j < ep6_record_size; ++j)
          d[r * ep6_record_size + j] = record_byte(n, j);
      }
      const auto words = static_cast<uint32_t>(bytes / 4);
      uint32_t have = m->rx_words.load();
      while (!m->rx_words.compare_exchange_weak(have, have >= words ? have - words : 0)) {
      }
    } else if (b == fpga_block::codec) {
      ++m->codec_reads;
      for (size_t w = 0; w < bytes / 4; ++w) {
        const uint32_t k = m->next_mic_word++;
        d[4 * w] = mic_byte(k, 0);
        d[4 * w + 1] = mic_byte(k, 1);
        d[4 * w + 2] = 0xC3;  // not carried to the client
        d[4 * w + 3] = 0x3C;
      }
    }
  }
};

// The stub's switches and counts: the simulated board with controllable
// receive calls, thread creation and sleeps. One test at a time uses it.
struct platform_stub {
  std::atomic<bool> end_loop{false};      // next receive call fails with EBADF
  std::atomic<int> inject_eintr{0};       // receive calls still to fail with EINTR
  std::atomic<bool> hold_receive{false};  // nothing is received while set
  std::atomic<bool> fail_stream_thread{false};
  // Stream threads asked for with real-time scheduling are refused (EPERM),
  // as the board's backend refuses them without the privilege.
  std::atomic<bool> refuse_realtime{false};
  std::atomic<int> realtime_refusals{0};
  // No time-out ends the loop's wait: only a descriptor (a datagram, the
  // keyer's PTT signal) or the end of the loop wakes it.
  std::atomic<bool> no_idle_wake{false};
  // Set while the loop is in such a wait (a test that sets no_idle_wake
  // waits for this before it signals).
  std::atomic<bool> waiting_without_timeout{false};
  // The next wait fails with this errno (0: none), or reports these events
  // on the socket and on the event descriptor (0: none); each is used once.
  std::atomic<int> poll_errno{0};
  std::atomic<short> socket_revents{0};
  std::atomic<short> event_revents{0};
  std::atomic<int> polls{0};
  std::atomic<int> poll_timeouts{0};  // waits that ended at their time limit
  std::atomic<int> receive_calls{0};
  std::atomic<int> stream_threads_created{0};
  std::atomic<int> stream_threads_finished{0};  // their entry has returned
  std::atomic<int> live_streams{0};
  std::atomic<int> max_live_streams{0};
  std::atomic<int> max_batch{0};  // most datagrams one receive call returned
  // The socket's send buffer is full: a non-blocking send fails with EAGAIN,
  // a blocking one would hang the sender and is counted instead.
  std::atomic<bool> send_buffer_full{false};
  std::atomic<int> refused_sends{0};
  std::atomic<int> blocking_sends{0};
  std::atomic<int> loop_usleeps{0};
  // When set, replaces the real sleep (single-threaded tests drive the FPGA
  // model from here).
  std::function<void(useconds_t)> usleep_hook;
};
inline platform_stub stub;
inline thread_local bool on_loop_thread = false;

inline void* stream_trampoline(void*) {
  const int live = ++stub.live_streams;
  int seen = stub.max_live_streams.load();
  while (live > seen && !stub.max_live_streams.compare_exchange_weak(seen, live)) {
  }
  handler_ep6(nullptr);
  --stub.live_streams;
  ++stub.stream_threads_finished;
  return nullptr;
}

inline int stub_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  ++stub.polls;
  if (const int e = stub.poll_errno.exchange(0)) {
    errno = e;
    return -1;
  }
  const short injected[2] = {stub.socket_revents.exchange(0), stub.event_revents.exchange(0)};
  if (injected[0] || injected[1]) {
    fds[0].revents = injected[0];
    fds[1].revents = injected[1];
    return (injected[0] != 0) + (injected[1] != 0);
  }
  if (stub.end_loop || stub.inject_eintr > 0) {
    fds[0].revents = POLLIN;
    return 1;
  }
  if (stub.hold_receive) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return 0;
  }
  while (stub.no_idle_wake && !stub.end_loop) {
    stub.waiting_without_timeout = true;
    const int r = sim_platform.poll(fds, count, 5);
    if (r != 0) {
      stub.waiting_without_timeout = false;
      return r;
    }
  }
  stub.waiting_without_timeout = false;
  const int r = sim_platform.poll(fds, count, timeout_ms);
  if (r == 0) ++stub.poll_timeouts;
  return r;
}

inline int stub_recvmmsg(int fd, mmsghdr* msgs, unsigned count, int flags, timespec* timeout) {
  ++stub.receive_calls;
  if (stub.end_loop) {
    errno = EBADF;
    return -1;
  }
  if (stub.inject_eintr > 0) {
    --stub.inject_eintr;
    errno = EINTR;
    return -1;
  }
  const int n = sim_platform.recvmmsg(fd, msgs, count, flags, timeout);
  int seen = stub.max_batch.load();
  while (n > seen && !stub.max_batch.compare_exchange_weak(seen, n)) {
  }
  return n;
}

// The keyer would write tx_rst and cw_ptt on its own: its thread ends at once.
inline int stub_thread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                              void* arg) {
  if (entry == handler_keyer) return pthread_create(thread, nullptr, returns_at_once, nullptr);
  if (entry != handler_ep6) return test_platform::defaults.thread_create(thread, attr, entry, arg);
  if (stub.fail_stream_thread) return EAGAIN;
  int policy = SCHED_OTHER;
  if (attr) pthread_attr_getschedpolicy(attr, &policy);
  if (stub.refuse_realtime && policy != SCHED_OTHER) {
    ++stub.realtime_refusals;
    return EPERM;
  }
  ++stub.stream_threads_created;
  return test_platform::defaults.thread_create(thread, attr, stream_trampoline, arg);
}

inline int stub_usleep(useconds_t us) {
  if (on_loop_thread) ++stub.loop_usleeps;
  if (stub.usleep_hook) {
    stub.usleep_hook(us);
    return 0;
  }
  return test_platform::defaults.usleep(us);
}

// The stream's batch wait sleeps to deadlines: with a hook set, a deadline
// sleep is a step of the hook as a 1 ms sleep is.
inline int stub_sleep_until(const timespec* deadline) {
  if (stub.usleep_hook) {
    stub.usleep_hook(0);
    return 0;
  }
  return test_platform::defaults.sleep_until(deadline);
}

inline ssize_t stub_sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                           socklen_t addr_len) {
  if (stub.send_buffer_full) {
    if ((flags & MSG_DONTWAIT) == 0) ++stub.blocking_sends;
    ++stub.refused_sends;
    errno = EAGAIN;
    return -1;
  }
  return sim_platform.sendto(fd, buf, len, flags, addr, addr_len);
}

// The test platform's entries that the stub replaces.
inline void stub_entries() {
  platform_ops& o = test_platform::ops;
  o.poll = stub_poll;
  o.recvmmsg = stub_recvmmsg;
  o.sendto = stub_sendto;
  o.thread_create = stub_thread_create;
  o.usleep = stub_usleep;
  o.sleep_until = stub_sleep_until;
}

// Puts every switch and count of the stub back; no thread may use it.
inline void stub_reset() {
  stub.~platform_stub();
  new (&stub) platform_stub();
}

// The simulated board behind the test platform with the stub's entries, the
// stub reset first; `settings` of the test platform.
inline board_options stub_board(bool map = true, test_platform::settings_t settings = {}) {
  stub_reset();
  return {.map = map, .settings = settings, .replace = stub_entries};
}

// Polls `done` every 100 us until it holds or the deadline passes.
template <class F>
bool eventually(F done) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}

using client = udp_client;

// The frames of these tests: C0 = 0 with C1..C4 zero (one receiver, 48 kHz)
// in both blocks, and sample bytes no two alike, so that a misplaced byte
// shows.
inline uint8_t numbered_sample_byte(unsigned k, unsigned j) {
  return static_cast<uint8_t>(k * 8 + j + 3);
}
inline std::vector<uint8_t> ep2_frame(uint32_t sequence = 0) {
  return ::ep2_frame({}, {}, sequence, numbered_sample_byte);
}

// Start-up on the simulated board (loopback, ephemeral port, keyer not run),
// then the receive loop on its own thread. Ends the loop through a failing
// receive call, and any stream, on destruction.
struct running_server {
  sim_board board{stub_board(false)};
  fake_fpga model;
  std::thread loop;
  std::atomic<int> loop_result{-1};
  uint16_t port = 0;
  bool started = false;

  // `configure` adjusts sim_config (accessories) before start-up.
  explicit running_server(const std::function<void()>& configure = nullptr) {
    serve_on_loopback();
    if (configure) configure();
    model.attach();
    if (start_up_with_ones() != 0) return;
    started = true;
    port = sim_bound_port();
    model.clear_logs();  // tests look at what happens after start-up
    loop = std::thread([this] {
      on_loop_thread = true;
      loop_result = receive_loop();
    });
  }

  // Ends the loop (as a receive error would) and waits for it.
  int end_loop() {
    if (loop.joinable()) {
      stub.end_loop = true;
      loop.join();
    }
    return loop_result;
  }

  // The receive loop has handled everything `c` sent before: a discovery
  // request sent now is answered (the reply's status byte is returned).
  static int sync(const client& c) {
    c.discover();
    for (;;) {
      auto r = c.receive();
      if (!r) return -1;
      if (r->size() == discovery_reply_size) return (*r)[2];
    }
  }

  ~running_server() {
    end_loop();
    // The loop is gone; end a stream it left running, as a stop would.
    enable_thread.store(0, std::memory_order_release);
    eventually([] { return stub.stream_threads_finished == stub.stream_threads_created; });
  }
};

// An EP2 frame (ep2_frame) with `a` in block 1 and `b` in block 2.
inline std::vector<uint8_t> frame_with(const control_word& a, const control_word& b) {
  return ::ep2_frame(a, b, 0, numbered_sample_byte);
}

}  // namespace net_test
