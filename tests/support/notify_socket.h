// The service manager's end of the notify protocol for tests: an abstract
// datagram socket of this process, named for NOTIFY_SOCKET ("@...").
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

struct notify_socket {
  int fd = -1;
  std::string name;
  notify_socket() {
    static int n = 0;
    name = "@varnholt-notify-test-" + std::to_string(getpid()) + "-" + std::to_string(++n);
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, name.data() + 1, name.size() - 1);
    bind(fd, reinterpret_cast<sockaddr*>(&a),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size()));
  }
  notify_socket(const notify_socket&) = delete;
  notify_socket& operator=(const notify_socket&) = delete;
  ~notify_socket() { close(fd); }

  // Every message sent so far (a send on a local datagram socket has arrived
  // when it returns).
  std::vector<std::string> take() const {
    std::vector<std::string> out;
    char buf[512];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
      out.emplace_back(buf, static_cast<size_t>(n));
    return out;
  }

  // The next message that `pred` accepts, skipping others; "" when none came
  // within `timeout_ms`.
  template <class P>
  std::string next(P pred, int timeout_ms = 10000) const {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (auto now = clock::now(); now < deadline; now = clock::now()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      char buf[512];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n < 0) continue;
      std::string m(buf, static_cast<size_t>(n));
      if (pred(m)) return m;
    }
    return "";
  }
  std::string next_starting(const std::string& head, int timeout_ms = 10000) const {
    return next([&](const std::string& m) { return m.rfind(head, 0) == 0; }, timeout_ms);
  }
};
