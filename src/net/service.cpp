#include "net/service.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text_writer.h"
#include "control/counters.h"
#include "control/decoder.h"
#include "control/state.h"
#include "hardware/platform.h"
#include "net/tx_release.h"

namespace {

constexpr int64_t status_min_gap_ns = ns_per_s;

int notify_fd = -1;
sockaddr_un notify_addr;
socklen_t notify_addr_len = 0;

int64_t watchdog_interval_ns = 0;  // half of WATCHDOG_USEC; 0: no pings
int64_t watchdog_next_ns = 0;
uint32_t seen_keyer_ticks = 0;
uint32_t seen_stream_progress = 0;
bool seen_streaming = false;

char status_sent[256];
int64_t status_sent_ns = 0;

void send(const char* message, size_t length) {
  if (notify_fd < 0) return;
  platform->sendto(notify_fd, message, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&notify_addr), notify_addr_len);
}

bool streaming() {
  return active_thread.load(std::memory_order_acquire) != 0;
}

// The watchdog's view of the threads now; true when each moved since the
// previous look (a stream counts only when it ran at both looks).
bool threads_progressed() {
  const uint32_t ticks = ld(keyer_ticks);
  const uint32_t progress = ld(stream_progress);
  const bool stream = streaming();
  const bool keyer_moved = ticks != seen_keyer_ticks;
  const bool stream_moved = !(stream && seen_streaming) || progress != seen_stream_progress;
  seen_keyer_ticks = ticks;
  seen_stream_progress = progress;
  seen_streaming = stream;
  return keyer_moved && stream_moved;
}

// Sends `head` followed by the status line, unless `only_if_changed` and
// the line is the one sent last.
void send_status(const char* head, int64_t now, bool only_if_changed) {
  char message[16 + sizeof status_sent];
  const size_t h = std::strlen(head);
  std::memcpy(message, head, h);
  const size_t n = service_status_line(message + h, sizeof status_sent);
  if (only_if_changed && std::strcmp(message + h, status_sent) == 0) return;
  std::memcpy(status_sent, message + h, n + 1);
  status_sent_ns = now;
  send(message, h + n);
}

}  // namespace

bool service_open(const char* notify_socket, const char* watchdog_usec, const char* watchdog_pid,
                  pid_t self) {
  service_close();
  if (!notify_socket || !*notify_socket) return true;
  const size_t length = std::strlen(notify_socket);
  notify_addr = sockaddr_un{};
  notify_addr.sun_family = AF_UNIX;
  if ((notify_socket[0] != '/' && notify_socket[0] != '@') ||
      length >= sizeof notify_addr.sun_path) {
    std::fprintf(stderr, "varnholt: cannot notify the service manager at %s\n", notify_socket);
    return false;
  }
  std::memcpy(notify_addr.sun_path, notify_socket, length);
  notify_addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  if (notify_socket[0] == '@')
    notify_addr.sun_path[0] = '\0';  // abstract: the name's bytes, no NUL after them
  else
    ++notify_addr_len;  // a path: with its NUL
  const int fd = platform->socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("varnholt: notification socket");
    return false;
  }
  notify_fd = fd;

  if (watchdog_pid && *watchdog_pid) {
    char* end = nullptr;
    const long pid = std::strtol(watchdog_pid, &end, 10);
    if (*end != '\0' || pid != static_cast<long>(self)) return true;  // not this process's
  }
  if (watchdog_usec && *watchdog_usec) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long usec = std::strtoull(watchdog_usec, &end, 10);
    if (errno == 0 && *end == '\0' && usec > 0 && usec < 1000000000000ull)
      watchdog_interval_ns = static_cast<int64_t>(usec) * 1000 / 2;
  }
  return true;
}

bool service_enabled() {
  return notify_fd >= 0;
}

int64_t service_watchdog_interval_ns() {
  return watchdog_interval_ns;
}

size_t service_status_line(char* out, size_t capacity) {
  if (capacity == 0) return 0;
  text_writer a{out, out + capacity - 1};
  const bool mox = (ld(tx_general_word[0]) & ep2_c0::mox) != 0;
  if (streaming()) {
    a.text("streaming ");
    a.number(48u << (ld(rate) & 3));
    a.text(" kHz, ");
    const int32_t n = ld(receivers);
    a.number(static_cast<uint64_t>(n));
    a.text(n == 1 ? " receiver to " : " receivers to ");
    // addr_ep6 does not change while the stream runs.
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr_ep6.sin_addr, host, sizeof host);
    a.text(host);
    a.text(":");
    a.number(ntohs(addr_ep6.sin_port));
    a.text(mox ? ", MOX on" : ", MOX off");
  } else {
    a.text("idle");
    if (mox) a.text(", MOX on");
  }
  if (ld(cw_ptt)) a.text(", keyer PTT on");
  if (counters_last_seconds >= 0 && (streaming() || counters_last_summary[0] != '\0')) {
    a.text("; last ");
    a.number(static_cast<uint64_t>(counters_last_seconds));
    a.text(" s: ");
    a.text(counters_last_summary[0] ? counters_last_summary : "nothing lost");
  }
  *a.p = '\0';
  return static_cast<size_t>(a.p - out);
}

void service_ready() {
  if (notify_fd < 0) return;
  const int64_t now = platform_now_ns();
  send_status("READY=1\nSTATUS=", now, false);
  threads_progressed();  // the first interval's starting point
  watchdog_next_ns = now + watchdog_interval_ns;
}

void service_pass() {
  if (notify_fd < 0) return;
  const int64_t now = platform_now_ns();
  if (now - status_sent_ns >= status_min_gap_ns) send_status("STATUS=", now, true);
  if (watchdog_interval_ns > 0 && now >= watchdog_next_ns) {
    watchdog_next_ns = now + watchdog_interval_ns;
    if (threads_progressed()) {
      static const char ping[] = "WATCHDOG=1";
      send(ping, sizeof ping - 1);
    }
  }
}

void service_stopping() {
  static const char stopping[] = "STOPPING=1";
  send(stopping, sizeof stopping - 1);
}

void service_close() {
  if (notify_fd >= 0) ::close(notify_fd);
  notify_fd = -1;
  watchdog_interval_ns = 0;
  watchdog_next_ns = 0;
  seen_keyer_ticks = 0;
  seen_stream_progress = 0;
  seen_streaming = false;
  status_sent[0] = '\0';
  status_sent_ns = 0;
}
