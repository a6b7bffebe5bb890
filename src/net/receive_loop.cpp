#include "net/receive_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/counters.h"
#include "control/decoder.h"
#include "control/state.h"
#include "control/writers.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "hardware/stop_signal.h"
#include "net/frames.h"
#include "net/service.h"
#include "net/shutdown.h"
#include "net/stream.h"
#include "net/tx_release.h"
#include "net/tx_sink.h"

namespace {

constexpr unsigned batch_size = 8;
// Longest wait for a datagram or a PTT signal: the safety wake of an idle
// loop (the accessory pass and the counter report then run anyway).
constexpr int idle_wait_ms = 100;
constexpr long receive_limit_ns = ns_per_ms;
constexpr unsigned stop_poll_us = 1000;

// Room for the one control message a datagram carries: the socket's drop
// count (SO_RXQ_OVFL).
constexpr size_t control_size = CMSG_SPACE(sizeof(uint32_t));

// The receive batch: eight slots reused for every call.
struct receive_slots {
  uint8_t buffer[batch_size][frame_size];
  iovec iov[batch_size];
  sockaddr_in from[batch_size];
  mmsghdr msgs[batch_size];
  alignas(cmsghdr) uint8_t control[batch_size][control_size];
};

void prepare(receive_slots& r) {
  for (unsigned i = 0; i < batch_size; ++i) {
    std::memcpy(r.buffer[i], ep6_frame_header, sizeof ep6_frame_header);
    r.iov[i].iov_base = r.buffer[i];
    r.iov[i].iov_len = frame_size;
    std::memset(&r.msgs[i], 0, sizeof r.msgs[i]);
    r.msgs[i].msg_hdr.msg_name = &r.from[i];
    r.msgs[i].msg_hdr.msg_namelen = sizeof r.from[i];
    r.msgs[i].msg_hdr.msg_iov = &r.iov[i];
    r.msgs[i].msg_hdr.msg_iovlen = 1;
    r.msgs[i].msg_hdr.msg_control = r.control[i];
    r.msgs[i].msg_hdr.msg_controllen = control_size;
  }
}

// The socket's count of datagrams the kernel dropped (a full receive queue
// while the loop waits for the transmit FIFO), as the latest datagram that
// carried it said. The count runs from the socket's creation and comes with
// a datagram only once it is not 0.
uint32_t kernel_drops_seen = 0;

void count_kernel_drops_of(msghdr& h) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
    uint32_t drops;
    std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
    if (drops != kernel_drops_seen) tally(count_kernel_drops, drops - kernel_drops_seen);
    kernel_drops_seen = drops;
  }
}

// What a poll result says of one descriptor that is not a datagram or a
// signal: an error condition, which no receive or read clears.
constexpr short poll_failure = POLLERR | POLLHUP | POLLNVAL;

// Waits until a datagram arrives, the keyer signals a PTT change on `event`
// (a stop signal writes there too) or idle_wait_ms pass, then receives one
// batch. Returns the number of datagrams (0 after a signal alone, when
// nothing came within the time limits or the call was interrupted), or -1,
// after a message on standard error, when the wait or the receive failed: a
// failed poll ("poll"), an error condition on either descriptor, which
// would wake every later wait at once, or a failed receive ("recvfrom"). A
// signal is drained here, before the accessory pass reads cw_ptt, so a
// change made after that read signals again; an undrained one would end
// every later wait at once.
int receive_batch(int sock, int event, receive_slots& r) {
  // The socket's 1 ms receive time-out counts in kernel ticks (several ms on
  // a 250 Hz kernel) and the call's own limit does not bound the wait for the
  // first datagram; the poll is what wakes the loop. A negative `event` is
  // not polled.
  pollfd ready_fds[2] = {{sock, POLLIN, 0}, {event, POLLIN, 0}};
  const int ready = platform->poll(ready_fds, 2, idle_wait_ms);
  if (ready < 0) {
    if (errno == EINTR) return 0;  // a stop signal, or a stop and continue of the process
    std::perror("poll");
    return -1;
  }
  if (ready == 0) return 0;
  for (const pollfd& p : ready_fds) {
    if ((p.revents & poll_failure) == 0) continue;
    std::fprintf(stderr, "varnholt: the %s failed (poll events 0x%x)\n",
                 &p == &ready_fds[0] ? "socket" : "event descriptor",
                 static_cast<unsigned>(p.revents));
    return -1;
  }
  if (ready_fds[1].revents & POLLIN) {
    eventfd_t signals;
    platform->eventfd_read(event, &signals);
  }
  if (ready_fds[0].revents == 0) return 0;

  prepare(r);
  timespec limit{0, receive_limit_ns};  // counted down in place by the call
  const int n = platform->recvmmsg(sock, r.msgs, batch_size, 0, &limit);
  // EINTR comes after a stop and continue of the process: not a failure.
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (n < 0) std::perror("recvfrom");
  return n;
}

void reply_discovery(int sock, uint8_t* buffer, const sockaddr_in& to) {
  const auto status =
      static_cast<uint8_t>(discovery_idle + active_thread.load(std::memory_order_acquire));
  build_discovery_reply(buffer, status);
  // A failed reply is not reported or repeated: the client asks again. The
  // stream thread shares the socket; when it has filled the send buffer the
  // reply is dropped rather than holding up the loop.
  platform->sendto(sock, buffer, discovery_reply_size, MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Whether a stream runs: only this thread writes enable_thread.
bool streaming() {
  return enable_thread.load(std::memory_order_relaxed) != 0;
}

// The silence watch: the time of the pass that last heard the stream's
// client (or started the stream), and whether the passes since heard it.
int64_t stream_heard_ns = 0;
bool stream_client_heard = false;

void handle_ep2(const uint8_t* frame, unsigned length, const sockaddr_in& from) {
  // A short datagram would leave the samples and the second control word
  // to stale bytes of an earlier frame.
  if (length < frame_size) {
    tally(count_ep2_short);
    return;
  }
  tx_sink_frame(frame);
  process_ep2(frame + ep2_c0_offset[0]);
  process_ep2(frame + ep2_c0_offset[1]);
  tx_release_note(frame);
  if (streaming() && from.sin_addr.s_addr == addr_ep6.sin_addr.s_addr &&
      from.sin_port == addr_ep6.sin_port)
    stream_client_heard = true;
}

int stream_thread_stuck() {
  std::fputs("varnholt: the stream thread did not stop\n", stderr);
  return 1;
}

}  // namespace

bool stream_stop() {
  enable_thread.store(0, std::memory_order_release);
  if (active_thread.load(std::memory_order_acquire) == 0) return true;
  const int64_t deadline = platform_now_ns() + stream_stop_limit_ms * ns_per_ms;
  while (active_thread.load(std::memory_order_acquire) != 0) {
    if (platform_now_ns() >= deadline) return false;
    platform->usleep(stop_poll_us);
  }
  return true;
}

bool stream_start(const sockaddr_in& client) {
  if (!stream_stop()) {
    stream_thread_stuck();
    return false;
  }
  addr_ep6 = sockaddr_in{};
  addr_ep6.sin_family = AF_INET;
  addr_ep6.sin_port = client.sin_port;
  addr_ep6.sin_addr = client.sin_addr;
  // Both flags are up before the thread exists, so a stop that follows at
  // once waits for the new thread.
  enable_thread.store(1, std::memory_order_release);
  active_thread.store(1, std::memory_order_release);
  st(rx_synced, 0);
  pulse8(lo_rst, lo_rst_bits::rx_sync);
  stream_heard_ns = platform_now_ns();
  stream_client_heard = false;

  // Real-time below the keyer, so that a busy machine delays the batch wait
  // as little as possible; where that is not permitted, normal scheduling
  // (the simulated board's backend falls back by itself and says so).
  pthread_t thread;
  int rc = create_realtime_thread(&thread, stream_priority, handler_ep6);
  if (rc == EPERM) rc = platform->thread_create(&thread, nullptr, handler_ep6, nullptr);
  if (rc != 0) {
    errno = rc;  // thread creation reports through its result, not errno
    std::perror("pthread_create");
    enable_thread.store(0, std::memory_order_release);
    active_thread.store(0, std::memory_order_release);  // no thread will clear it
    return false;
  }
  pthread_detach(thread);
  return true;
}

bool stream_silence_check() {
  if (!streaming()) return true;
  const int64_t now = platform_now_ns();
  if (stream_client_heard) {
    stream_client_heard = false;
    stream_heard_ns = now;
    return true;
  }
  if (now - stream_heard_ns < stream_silence_limit_ms * ns_per_ms) return true;
  // As the client's stop command would: its transmit request first.
  tally(count_stream_timeouts);
  tx_release();
  if (!stream_stop()) return stream_thread_stuck() == 0;
  return true;
}

bool handle_datagram(uint8_t* buffer, unsigned length, const sockaddr_in& from) {
  switch (classify_datagram(buffer)) {
    case datagram_kind::discovery:
      reply_discovery(ld(sock_ep2), buffer, from);
      break;
    case datagram_kind::stop:
      tx_release();
      if (!stream_stop()) return stream_thread_stuck() == 0;
      break;
    case datagram_kind::start:
      tx_release();
      return stream_start(from);
    case datagram_kind::ep2:
      handle_ep2(buffer, length, from);
      break;
    case datagram_kind::other:
      break;
  }
  return true;
}

int receive_loop() {
  receive_slots slots;  // about 8.6 KB of the main thread's stack, for the life of the process
  const int sock = ld(sock_ep2);
  const int event = ld(ptt_event_fd);
  kernel_drops_seen = 0;
  service_ready();
  for (;;) {
    const int n = receive_batch(sock, event, slots);
    if (n < 0) return 1;
    for (int i = 0; i < n; ++i) {
      msghdr& h = slots.msgs[i].msg_hdr;
      count_kernel_drops_of(h);
      // The kernel cut a datagram longer than a frame to the frame's size:
      // what is left of it is not what its sender sent.
      if (h.msg_flags & MSG_TRUNC) {
        tally(count_long_datagrams);
        continue;
      }
      if (!handle_datagram(slots.buffer[i], slots.msgs[i].msg_len, slots.from[i])) return 1;
    }
    tx_release_check();
    if (!stream_silence_check()) return 1;
    accessory_updates();
    counters_report();
    if (ld(stop_requested) != 0) {
      service_stopping();
      return shut_down() ? 0 : 1;
    }
    service_pass();
  }
}
