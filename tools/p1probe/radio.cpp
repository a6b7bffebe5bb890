#include "radio.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <system_error>

#include "common/bytes.h"
#include "common/clock.h"
#include "pcap.h"

std::atomic<bool> probe_stop_requested{false};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void on_stop_signal(int) {
  probe_stop_requested.store(true, std::memory_order_relaxed);
}

constexpr size_t command_size = 64;
constexpr size_t discovery_request_size = 63;

// One EP2 frame carries 126 samples of the 48 kHz transmit stream.
constexpr int64_t ep2_period_ns = ns_per_s * ep2_samples_per_frame / ep2_sample_rate;
static_assert(ep2_period_ns == 2625000);
// Frames sent at once when the feed starts: about 13 ms of transmit samples
// in the radio's FIFO, so that a late wake-up of the feeder does not leave
// the transmitter without samples.
constexpr int64_t prefill_frames = 5;
constexpr int64_t late_ns = 10 * ns_per_ms;    // a frame this late counts as late
constexpr int64_t resync_ns = 20 * ns_per_ms;  // this far behind: restart the schedule

void send_to(int fd, const sockaddr_in& to, const uint8_t* data, size_t len) {
  if (sendto(fd, data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
    pcap_record_sent(fd, to, data, len);
}

void send_command(int fd, const sockaddr_in& radio, uint8_t kind, uint8_t arg) {
  uint8_t d[command_size] = {packet_sync[0], packet_sync[1], kind, arg};
  send_to(fd, radio, d, sizeof d);
}

bool parse_discovery_reply(const uint8_t* b, ssize_t n, discovery_reply* r) {
  if (n < static_cast<ssize_t>(discovery_template_size) || b[0] != packet_sync[0] ||
      b[1] != packet_sync[1] || (b[2] != discovery_idle && b[2] != discovery_streaming))
    return false;
  r->status = b[2];
  std::memcpy(r->mac, b + 3, 6);
  r->firmware = b[9];
  r->board_id = b[10];
  return true;
}

uint8_t* ep2_sample_at(uint8_t* frame, unsigned k) {
  return frame + (ep2_sample(frame, k) - frame);
}

void feeder_main(feeder* f) {
  uint8_t frame[frame_size];
  int16_t iq[2 * ep2_samples_per_frame];
  uint32_t seq = 0;
  size_t next_word = 0;
  double phase = 0;  // turns
  const double step = f->tone_hz / ep2_sample_rate;
  const double amplitude = f->tone_amplitude * 32767.0;
  int64_t start = monotonic_ns();
  int64_t k = 0;
  while (f->running.load(std::memory_order_acquire)) {
    const int64_t due = start + (k - prefill_frames) * ep2_period_ns;
    int64_t now = monotonic_ns();
    if (due > now) {
      const timespec ts = ns_timespec(due);
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
      continue;  // look at `running` again before sending
    }
    // The frames sent ahead at the start are not late.
    if (now - std::max(due, start) > resync_ns) {
      // The thread was kept off the processor: what is overdue is not sent
      // in a burst that could overrun the radio's transmit FIFO.
      ++f->resyncs;
      start = now - (k - prefill_frames) * ep2_period_ns;
    } else if (now - std::max(due, start) > late_ns) {
      ++f->late_frames;
    }
    const bool mox = f->mox.load(std::memory_order_relaxed);
    control_word w[2];
    for (control_word& word : w) {
      word = f->words[next_word];
      next_word = (next_word + 1) % f->words.size();
      if (mox) word.c[0] |= ep2_c0::mox;
    }
    const int16_t* samples = nullptr;
    if (mox) {
      for (unsigned i = 0; i < ep2_samples_per_frame; ++i) {
        const double a = 2 * std::numbers::pi * phase;
        iq[2 * i] = static_cast<int16_t>(std::lround(amplitude * std::cos(a)));
        iq[2 * i + 1] = static_cast<int16_t>(std::lround(amplitude * std::sin(a)));
        phase += step;
        phase -= std::floor(phase);
      }
      samples = iq;
    }
    build_ep2_frame(frame, seq++, w[0], w[1], samples);
    send_to(f->fd, f->radio, frame, sizeof frame);
    ++f->frames_sent;
    ++k;
  }
  // MOX off, whatever the last frames said.
  for (int i = 0; i < 2; ++i) {
    build_ep2_frame(frame, seq++, f->words[0], f->words[0], nullptr);
    send_to(f->fd, f->radio, frame, sizeof frame);
    ++f->frames_sent;
  }
}

}  // namespace

void install_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocking call returns with EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return timespec_ns(ts);
}

int64_t realtime_now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return timespec_ns(ts);
}

bool resolve_ipv4(const std::string& host, uint16_t port, sockaddr_in* out, std::string* error) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &out->sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || !res) {
    *error = "cannot resolve '" + host + "': " + gai_strerror(rc);
    return false;
  }
  out->sin_addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

std::string ip_text(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

int open_client_socket(bool broadcast, std::string* error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  // 8 MB: 0.4 s of the fastest stream (384 kHz, 8 receivers); beyond
  // rmem_max only where the privilege allows it.
  const int size = 8 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  if (broadcast) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    *error = std::string("bind: ") + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

std::string mac_text(const uint8_t* mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

const char* status_text(uint8_t status) {
  return status == discovery_streaming ? "streaming" : "idle";
}

std::vector<sockaddr_in> broadcast_targets(uint16_t port) {
  std::vector<sockaddr_in> targets;
  sockaddr_in all{};
  all.sin_family = AF_INET;
  all.sin_port = htons(port);
  all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  targets.push_back(all);
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return targets;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_broadaddr || i->ifa_broadaddr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_BROADCAST) || !(i->ifa_flags & IFF_UP)) continue;
    sockaddr_in a = *reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr);
    a.sin_port = htons(port);
    if (std::none_of(targets.begin(), targets.end(),
                     [&](const sockaddr_in& t) { return same_endpoint(t, a); }))
      targets.push_back(a);
  }
  freeifaddrs(list);
  return targets;
}

std::vector<discovery_reply> discover(int fd, const std::vector<sockaddr_in>& targets,
                                      int timeout_ms, const sockaddr_in* first_from,
                                      bool interruptible) {
  uint8_t request[discovery_request_size] = {packet_sync[0], packet_sync[1], packet_discovery};
  for (const sockaddr_in& t : targets) send_to(fd, t, request, sizeof request);
  std::vector<discovery_reply> replies;
  const int64_t deadline = monotonic_ns() + timeout_ms * ns_per_ms;
  uint8_t buf[2048];
  for (;;) {
    if (interruptible && probe_stop_requested.load(std::memory_order_relaxed)) break;
    const int64_t left = deadline - monotonic_ns();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left / ns_per_ms + 1, 50))) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n > 0) pcap_record_received(fd, from, buf, static_cast<size_t>(n));
    discovery_reply r;
    if (!parse_discovery_reply(buf, n, &r)) continue;
    r.from = from;
    if (std::any_of(replies.begin(), replies.end(),
                    [&](const discovery_reply& q) { return same_endpoint(q.from, from); }))
      continue;
    replies.push_back(r);
    if (first_from && same_endpoint(from, *first_from)) break;
  }
  return replies;
}

void send_start(int fd, const sockaddr_in& radio) {
  send_command(fd, radio, packet_command, command_start);
}

void send_stop(int fd, const sockaddr_in& radio) {
  send_command(fd, radio, packet_command, command_stop);
}

control_word general_word(int rate_code, int receivers) {
  // C4: receivers - 1 in bits 3..5, and the duplex bit (2) that clients set.
  return {{ep2_c0::general, static_cast<uint8_t>(rate_code & 3), 0, 0,
           static_cast<uint8_t>(((receivers - 1) & 7) << 3 | 0x04)}};
}

control_word frequency_word(uint8_t address, uint32_t hz) {
  control_word w{{address}};
  put_be32(w.c + 1, hz);
  return w;
}

control_word drive_word(int drive) {
  return {{ep2_c0::drive_filters, static_cast<uint8_t>(drive), 0, 0, 0}};
}

void build_ep2_frame(uint8_t* frame, uint32_t seq, const control_word& a, const control_word& b,
                     const int16_t* iq) {
  std::memset(frame, 0, frame_size);
  std::memcpy(frame, ep2_frame_header, sizeof ep2_frame_header);
  put_be32(frame + frame_sequence_offset, seq);
  for (int blk = 0; blk < 2; ++blk) {
    uint8_t* p = frame + frame_block_offset[blk];
    std::memset(p, block_sync, block_sync_size);
    std::memcpy(p + block_c0_offset, (blk ? b : a).c, block_control_size);
  }
  if (!iq) return;
  for (unsigned k = 0; k < ep2_samples_per_frame; ++k) {
    uint8_t* s = ep2_sample_at(frame, k) + ep2_sample_iq;
    // Q first, then I, as the radio takes them: a tone at +f in the
    // analytic signal leaves the antenna f above the transmit frequency.
    put_be16(s, static_cast<uint16_t>(iq[2 * k + 1]));
    put_be16(s + 2, static_cast<uint16_t>(iq[2 * k]));
  }
}

bool feeder_start(feeder* f) {
  if (f->words.empty()) return false;
  f->running.store(true, std::memory_order_release);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  bool ok = true;
  try {
    f->thread = std::thread(feeder_main, f);
  } catch (const std::system_error&) {
    ok = false;
    f->running.store(false, std::memory_order_release);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

void feeder_stop(feeder* f) {
  f->running.store(false, std::memory_order_release);
  if (f->thread.joinable()) f->thread.join();
}

bool stop_and_confirm(int fd, const sockaddr_in& radio, std::string* error) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    send_stop(fd, radio);
    // The radio stops after the batch in hand and then answers idle.
    const auto replies = discover(fd, {radio}, 500, &radio, false);
    for (const discovery_reply& r : replies)
      if (same_endpoint(r.from, radio) && r.status == discovery_idle) return true;
  }
  *error = "the radio at " + ip_text(radio) + " did not confirm the stop (still streaming or " +
           "no longer answering)";
  return false;
}
