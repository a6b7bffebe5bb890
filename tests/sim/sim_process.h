// Harness for end-to-end tests: starts the real varnholt-sim process (it
// sits next to the test binary in build/bin) on an ephemeral loopback port,
// talks to it over UDP and reads its trace. Every process started here is
// ended by its PID with SIGTERM (SIGKILL after a deadline) and reaped.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

inline int64_t e2e_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline std::string sim_binary_path() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "varnholt-sim";
  self[n] = '\0';
  std::string dir(self);
  return dir.substr(0, dir.rfind('/')) + "/varnholt-sim";
}

// A temporary directory, removed with its files.
struct temp_dir {
  std::string path;
  std::vector<std::string> files;
  temp_dir() {
    char name[] = "/tmp/varnholt-e2e-XXXXXX";
    if (mkdtemp(name)) path = name;
  }
  std::string file(const std::string& name, const std::string& content = "") {
    const std::string p = path + "/" + name;
    std::ofstream(p) << content;
    files.push_back(p);
    return p;
  }
  ~temp_dir() {
    for (const std::string& f : files) unlink(f.c_str());
    if (!path.empty()) rmdir(path.c_str());
  }
};

struct sim_process {
  pid_t pid = -1;
  int out_fd = -1;
  uint16_t port = 0;
  temp_dir dir;
  std::string trace_path;

  // Starts varnholt-sim with `options`, a trace and the six arguments;
  // false with a message when it does not come up within 20 s.
  bool start(const std::vector<std::string>& options, std::string* error,
             const std::vector<std::string>& six = {"1", "2", "1", "2", "1", "2"}) {
    trace_path = dir.file("trace.jsonl");
    std::vector<std::string> args{sim_binary_path(), "--port",  "0",       "--bind",
                                  "127.0.0.1",       "--trace", trace_path};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), six.begin(), six.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail(error, "pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_fd = fds[0];
    if (rc != 0) {
      pid = -1;
      return fail(error, "cannot start " + args[0] + ": " + std::strerror(rc));
    }
    // "varnholt-sim: serving on 127.0.0.1 port N"
    std::string out;
    const int64_t deadline = e2e_now_ms() + 20000;
    while (out.find('\n') == std::string::npos) {
      const int64_t left = deadline - e2e_now_ms();
      pollfd p{out_fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
        return fail(error, "no port line from varnholt-sim");
      char buf[256];
      const ssize_t n = read(out_fd, buf, sizeof buf);
      if (n <= 0) return fail(error, "varnholt-sim ended before serving: " + out);
      out.append(buf, static_cast<size_t>(n));
    }
    const size_t at = out.find("port ");
    if (at == std::string::npos) return fail(error, "unexpected output: " + out);
    port = static_cast<uint16_t>(std::atoi(out.c_str() + at + 5));
    return port != 0 || fail(error, "no port in: " + out);
  }

  // SIGTERM, then SIGKILL if it has not ended within 5 s; always reaped.
  // Returns the wait status.
  int stop() {
    if (pid <= 0) return 0;
    int status = 0;
    kill(pid, SIGTERM);
    const int64_t deadline = e2e_now_ms() + 5000;
    pid_t r;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && e2e_now_ms() < deadline) {
      pollfd none{};
      poll(&none, 0, 5);
    }
    if (r == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
    if (out_fd >= 0) close(out_fd);
    out_fd = -1;
    return status;
  }

  ~sim_process() { stop(); }

  // Whether the process still runs. One that has ended is reaped, and
  // `*how` tells its exit status or signal. The server never ends by itself
  // while it serves: an end is a crash or a sanitizer's report (on the
  // test's standard error, which the process shares).
  bool running(std::string* how) {
    if (pid <= 0) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return true;
    pid = -1;
    if (out_fd >= 0) close(out_fd);
    out_fd = -1;
    *how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
    return false;
  }

  // The trace so far, one flat JSON object per entry (values without quotes).
  std::vector<std::map<std::string, std::string>> trace() const {
    std::vector<std::map<std::string, std::string>> out;
    std::ifstream in(trace_path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() < 2 || line.front() != '{' || line.back() != '}') continue;
      std::map<std::string, std::string> m;
      size_t i = 1;
      while (i < line.size() - 1) {
        const size_t k0 = line.find('"', i), k1 = line.find('"', k0 + 1);
        const size_t colon = k1 + 1;
        size_t v0 = colon + 1, v1;
        if (line[v0] == '"') {
          ++v0;
          v1 = line.find('"', v0);
          m[line.substr(k0 + 1, k1 - k0 - 1)] = line.substr(v0, v1 - v0);
          ++v1;
        } else {
          v1 = line.find_first_of(",}", v0);
          m[line.substr(k0 + 1, k1 - k0 - 1)] = line.substr(v0, v1 - v0);
        }
        i = v1 + 1;
      }
      out.push_back(std::move(m));
    }
    return out;
  }

  // Polls the trace until `pred` holds for some event (deadline 10 s).
  template <class P>
  bool wait_for_event(P pred, int timeout_ms = 10000) const {
    const int64_t deadline = e2e_now_ms() + timeout_ms;
    do {
      for (const auto& e : trace())
        if (pred(e)) return true;
      pollfd none{};
      poll(&none, 0, 10);
    } while (e2e_now_ms() < deadline);
    return false;
  }

 private:
  bool fail(std::string* error, const std::string& what) {
    *error = what;
    return false;
  }
};

// Runs varnholt-sim with `args` to its end (it must end by itself within
// 10 s, else it is killed); returns the wait status and what it wrote.
inline int run_to_end(const std::vector<std::string>& args, std::string* out, std::string* err) {
  std::vector<std::string> all{sim_binary_path()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int o[2], e[2];
  if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, o[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, e[1], STDERR_FILENO);
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(o[1]);
  close(e[1]);
  if (rc != 0) {
    close(o[0]);
    close(e[0]);
    return -1;
  }
  pollfd p[2] = {{o[0], POLLIN, 0}, {e[0], POLLIN, 0}};
  std::string* sink[2] = {out, err};
  int open_pipes = 2;
  const int64_t deadline = e2e_now_ms() + 10000;
  while (open_pipes > 0 && e2e_now_ms() < deadline) {
    if (poll(p, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[512];
      const ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        sink[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(p[i].fd);
        p[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (const pollfd& q : p)
    if (q.fd >= 0) close(q.fd);
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return status;
}

// A client socket on loopback.
struct udp_client {
  int fd = -1;
  sockaddr_in server{};

  explicit udp_client(uint16_t port) {
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
    server.sin_port = htons(port);
  }
  ~udp_client() {
    if (fd >= 0) close(fd);
  }
  udp_client(const udp_client&) = delete;
  udp_client& operator=(const udp_client&) = delete;

  void send(const std::vector<uint8_t>& d) const {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
  }
  // One datagram within `timeout_ms`; -1 when none came.
  ssize_t receive(uint8_t* buf, size_t cap, int timeout_ms) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    return recv(fd, buf, cap, 0);
  }
  // Like receive(); `*arrived_ns` is when the kernel queued the datagram
  // (CLOCK_REALTIME), which a client that falls behind does not delay.
  ssize_t receive_stamped(uint8_t* buf, size_t cap, int timeout_ms, int64_t* arrived_ns) const {
    const ssize_t n = receive(buf, cap, timeout_ms);
    timespec ts{};
    if (n < 0 || ioctl(fd, SIOCGSTAMPNS, &ts) != 0) return -1;
    *arrived_ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return n;
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

inline std::vector<uint8_t> command(uint8_t kind) {
  std::vector<uint8_t> d(64, 0);
  d[0] = 0xEF;
  d[1] = 0xFE;
  d[2] = kind == 2 ? 0x02 : 0x04;
  d[3] = kind == 2 ? 0x00 : kind;
  return d;
}
inline std::vector<uint8_t> discovery() {
  return command(2);
}
inline std::vector<uint8_t> start_command() {
  return command(1);
}
inline std::vector<uint8_t> stop_command() {
  return command(0);
}

// An EP2 frame carrying control word a in block 1 and b in block 2.
struct control_word {
  uint8_t c[5];
};
inline control_word frequency_word(uint8_t c0, uint32_t hz) {
  return {{c0, static_cast<uint8_t>(hz >> 24), static_cast<uint8_t>(hz >> 16),
           static_cast<uint8_t>(hz >> 8), static_cast<uint8_t>(hz)}};
}
inline std::vector<uint8_t> ep2_frame(const control_word& a, const control_word& b,
                                      uint32_t seq = 0) {
  std::vector<uint8_t> f(1032, 0);
  f[0] = 0xEF;
  f[1] = 0xFE;
  f[2] = 0x01;
  f[3] = 0x02;
  f[4] = static_cast<uint8_t>(seq >> 24);
  f[5] = static_cast<uint8_t>(seq >> 16);
  f[6] = static_cast<uint8_t>(seq >> 8);
  f[7] = static_cast<uint8_t>(seq);
  for (int blk = 0; blk < 2; ++blk) {
    uint8_t* p = f.data() + 8 + 512 * blk;
    p[0] = p[1] = p[2] = 0x7F;
    std::memcpy(p + 3, blk ? b.c : a.c, 5);
  }
  return f;
}

inline uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
inline int32_t be24(const uint8_t* p) {
  int32_t v = p[0] << 16 | p[1] << 8 | p[2];
  return (v & 0x800000) ? v - 0x1000000 : v;
}
