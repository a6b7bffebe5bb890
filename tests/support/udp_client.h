// A Protocol 1 client for tests and benchmarks: one UDP socket on loopback
// talking to a server (the receive loop in process, or varnholt-sim), the
// commands it sends and the EP2 frames it builds.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/protocol.h"

inline int64_t e2e_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return timespec_ns(ts) / ns_per_ms;
}

// C0..C4 of one block.
struct control_word {
  uint8_t c[block_control_size];
};
inline control_word frequency_word(uint8_t c0, uint32_t hz) {
  control_word w{{c0}};
  put_be32(w.c + 1, hz);
  return w;
}

// An EP2 frame numbered `seq` carrying control word a in block 1 and b in
// block 2; byte j (0..7) of sample k (0..125) is `sample_byte(k, j)`, zero
// without one.
inline std::vector<uint8_t> ep2_frame(const control_word& a, const control_word& b,
                                      uint32_t seq = 0,
                                      uint8_t (*sample_byte)(unsigned k, unsigned j) = nullptr) {
  std::vector<uint8_t> f(frame_size, 0);
  std::memcpy(f.data(), ep2_frame_header, sizeof ep2_frame_header);
  put_be32(f.data() + frame_sequence_offset, seq);
  for (int blk = 0; blk < 2; ++blk) {
    uint8_t* p = f.data() + frame_block_offset[blk];
    std::memset(p, block_sync, block_sync_size);
    std::memcpy(p + block_c0_offset, blk ? b.c : a.c, block_control_size);
  }
  for (unsigned k = 0; sample_byte && k < ep2_samples_per_frame; ++k)
    for (unsigned j = 0; j < ep2_sample_size; ++j)
      f[ep2_sample(f.data(), k) - f.data() + j] = sample_byte(k, j);
  return f;
}

// A client socket on 127.0.0.1, ephemeral port.
struct udp_client {
  int fd = -1;
  sockaddr_in server{};

  explicit udp_client(uint16_t server_port) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
    // A large buffer, so that a test thread kept off the CPU for a while
    // loses nothing; beyond rmem_max only where the privilege allows it.
    const int size = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(server_port);
  }
  ~udp_client() {
    if (fd >= 0) close(fd);
  }
  udp_client(const udp_client&) = delete;
  udp_client& operator=(const udp_client&) = delete;

  uint16_t port() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }

  void send(const std::vector<uint8_t>& d) const {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
  }
  // A command: EF FE, `type`, `arg`, zeros up to `length` bytes.
  void send_command(uint8_t type, uint8_t arg, size_t length = 64) const {
    std::vector<uint8_t> d(length, 0);
    put_be32(d.data(), 0xEFFE0000 | type << 8 | arg);
    send(d);
  }
  void discover() const { send_command(0x02, 0x00, 63); }
  void start() const { send_command(0x04, 0x01); }
  void stop() const { send_command(0x04, 0x00); }

  // One datagram within `timeout_ms`; -1 when none came.
  ssize_t receive(uint8_t* buf, size_t cap, int timeout_ms) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    return recv(fd, buf, cap, 0);
  }
  // The next datagram, or nothing when none comes within `wait`.
  std::optional<std::vector<uint8_t>> receive(
      std::chrono::milliseconds wait = std::chrono::seconds(20)) const {
    std::vector<uint8_t> b(2048);
    const ssize_t n = receive(b.data(), b.size(), static_cast<int>(wait.count()));
    if (n < 0) return std::nullopt;
    b.resize(static_cast<size_t>(n));
    return b;
  }
  // Like receive(); `*arrived_ns` is when the kernel queued the datagram
  // (CLOCK_REALTIME), which a client that falls behind does not delay.
  ssize_t receive_stamped(uint8_t* buf, size_t cap, int timeout_ms, int64_t* arrived_ns) const {
    const ssize_t n = receive(buf, cap, timeout_ms);
    timespec ts{};
    if (n < 0 || ioctl(fd, SIOCGSTAMPNS, &ts) != 0) return -1;
    *arrived_ns = timespec_ns(ts);
    return n;
  }
  // Datagrams already waiting, read and counted without blocking.
  int pending() const {
    int count = 0;
    uint8_t b[2048];
    while (recv(fd, b, sizeof b, MSG_DONTWAIT) >= 0) ++count;
    return count;
  }
  // Reads and discards whatever comes during the next `ms`.
  void discard_for(int ms) const {
    uint8_t buf[2048];
    const int64_t until = e2e_now_ms() + ms;
    for (int64_t left; (left = until - e2e_now_ms()) > 0;)
      receive(buf, sizeof buf, static_cast<int>(left));
  }
  // Reads until nothing has come for `quiet_ms` (deadline 10 s); returns
  // the number of datagrams read, or -1 when the deadline passed.
  long drain(int quiet_ms) const {
    uint8_t buf[2048];
    long n = 0;
    const int64_t deadline = e2e_now_ms() + 10000;
    while (e2e_now_ms() < deadline) {
      if (receive(buf, sizeof buf, quiet_ms) < 0) return n;
      ++n;
    }
    return -1;
  }
};
