// Harness for end-to-end tests: starts the real varnholt-sim process (it
// sits next to the test binary in build/bin) on an ephemeral loopback port,
// talks to it over UDP and reads its trace. Every process started here is
// ended by its PID (the server with SIGTERM first, SIGKILL after a
// deadline) and reaped.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/udp_client.h"

extern char** environ;

// One entry of varnholt-sim's trace: a flat JSON object, values without
// quotes.
using trace_event = std::map<std::string, std::string>;

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

// A child process with its standard output (and error, unless it shares the
// test's) captured; ended by its PID and reaped.
struct child_process {
  pid_t pid = -1;
  int fds[2] = {-1, -1};  // standard output, standard error
  std::string out, err;
  double cpu_seconds = 0;  // user and system time of the child, once reaped

  // `args` begins with the program's path. `env` changes the test's
  // environment for the child: NAME=VALUE sets a variable, NAME alone
  // removes it.
  bool start(std::vector<std::string> args, bool capture_err = true,
             std::vector<std::string> env = {}) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      const bool changed = std::any_of(env.begin(), env.end(), [&](const std::string& c) {
        return c.substr(0, c.find('=')) == name;
      });
      if (!changed) envp.push_back(*e);
    }
    for (std::string& e : env)
      if (e.find('=') != std::string::npos) envp.push_back(e.data());
    envp.push_back(nullptr);
    int o[2], e[2] = {-1, -1};
    if (pipe2(o, O_CLOEXEC) != 0) return false;
    if (capture_err && pipe2(e, O_CLOEXEC) != 0) {
      close(o[0]);
      close(o[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, o[1], STDOUT_FILENO);
    if (capture_err) posix_spawn_file_actions_adddup2(&actions, e[1], STDERR_FILENO);
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(o[1]);
    if (capture_err) close(e[1]);
    fds[0] = o[0];
    fds[1] = e[0];
    if (rc != 0) pid = -1;
    return rc == 0;
  }

  // Reads what the child wrote, for up to `ms`; false once both pipes closed.
  bool pump(int ms) {
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (fds[0] < 0 && fds[1] < 0) return false;
    if (poll(p, 2, ms) <= 0) return true;
    std::string* sink[2] = {&out, &err};
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        sink[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i]);
        fds[i] = -1;
      }
    }
    return true;
  }

  // Collects the output until the child ends (SIGKILL after `timeout_ms`);
  // returns its wait status.
  int wait(int timeout_ms) {
    const int64_t deadline = e2e_now_ms() + timeout_ms;
    while (e2e_now_ms() < deadline && pump(100)) {
    }
    int status = 0;
    rusage use{};
    pid_t r = 0;
    // Its pipes close a moment before it can be reaped.
    while (pid > 0 && (r = wait4(pid, &status, WNOHANG, &use)) == 0 && e2e_now_ms() < deadline) {
      pollfd none{};
      poll(&none, 0, 1);
    }
    if (pid > 0 && r == 0) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &use);
    }
    cpu_seconds = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                  static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    pid = -1;
    for (int& fd : fds) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
    return status;
  }

  ~child_process() {
    if (pid > 0) wait(0);
  }
};

// varnholt-sim serving on loopback; its standard error is the test's.
struct sim_process : child_process {
  uint16_t port = 0;
  temp_dir dir;
  std::string trace_path;
  // Set before start: its standard error captured (in `err`, collected
  // while waiting for it to end) instead of shared; changes to its
  // environment (child_process::start).
  bool capture_err = false;
  std::vector<std::string> env;

  // Starts varnholt-sim with `options`, a trace and the six arguments;
  // false with a message when it does not come up within 20 s.
  bool start(const std::vector<std::string>& options, std::string* error,
             const std::vector<std::string>& six = {"1", "2", "1", "2", "1", "2"}) {
    trace_path = dir.file("trace.jsonl");
    std::vector<std::string> args{sim_binary_path(), "--port",  "0",       "--bind",
                                  "127.0.0.1",       "--trace", trace_path};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), six.begin(), six.end());
    if (!child_process::start(args, capture_err, env))
      return fail(error, "cannot start " + args[0]);
    // "varnholt-sim: serving on 127.0.0.1 port N"
    const int64_t deadline = e2e_now_ms() + 20000;
    while (out.find('\n') == std::string::npos)
      if (e2e_now_ms() > deadline || !pump(100) || fds[0] < 0)
        return fail(error, "varnholt-sim did not report its port: " + out);
    const size_t at = out.find("port ");
    port = at == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(out.c_str() + at + 5));
    return port != 0 || fail(error, "no port in: " + out);
  }

  // `sig`, then SIGKILL if it has not ended within 5 s; always reaped.
  // Returns the wait status.
  int stop(int sig = SIGTERM) {
    if (pid <= 0) return 0;
    kill(pid, sig);
    return wait(5000);
  }

  ~sim_process() { stop(); }

  // Whether the process still runs. One that has ended is reaped, and
  // `*how` tells its exit status or signal. The server never ends by itself
  // while it serves: an end is a crash or a sanitizer's report (on the
  // test's standard error, which the process shares).
  bool running(std::string* how) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) return pid > 0;
    pid = -1;
    wait(0);
    *how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
    return false;
  }

  // The trace so far.
  std::vector<trace_event> trace() const {
    std::vector<trace_event> out;
    std::ifstream in(trace_path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() < 2 || line.front() != '{' || line.back() != '}') continue;
      trace_event m;
      size_t i = 1;
      while (i < line.size() - 1) {
        // "key":"text" or "key":number
        const size_t k0 = line.find('"', i), k1 = line.find('"', k0 + 1);
        const bool quoted = line[k1 + 2] == '"';
        const size_t v0 = k1 + 2 + quoted;
        const size_t v1 = quoted ? line.find('"', v0) : line.find_first_of(",}", v0);
        m[line.substr(k0 + 1, k1 - k0 - 1)] = line.substr(v0, v1 - v0);
        i = v1 + 1 + quoted;
      }
      out.push_back(std::move(m));
    }
    return out;
  }

  // Polls the trace until an entry has every field of `fields` (10 s).
  bool wait_for(const trace_event& fields) const {
    return wait_for_event([&](const trace_event& e) {
      return std::all_of(fields.begin(), fields.end(), [&](const auto& f) {
        const auto it = e.find(f.first);
        return it != e.end() && it->second == f.second;
      });
    });
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

// Receive FIFO overflows and restarts (each loses a run of records) among
// the entries of `trace` from `from` on with a time in (after_us, before_us).
inline long rx_fifo_losses(const std::vector<trace_event>& trace, size_t from = 0,
                           int64_t after_us = INT64_MIN, int64_t before_us = INT64_MAX) {
  long n = 0;
  for (size_t i = from; i < trace.size(); ++i) {
    const trace_event& e = trace[i];
    if (e.at("ev") != "fifo" || e.at("fifo") != "rx") continue;
    const int64_t t = std::stoll(e.at("t_us"));
    n += t > after_us && t < before_us && (e.at("what") == "overflow" || e.at("what") == "reset");
  }
  return n;
}

// Runs varnholt-sim with `args` to its end (it must end by itself within
// 10 s, else it is killed); returns the wait status and what it wrote.
inline int run_to_end(const std::vector<std::string>& args, std::string* out, std::string* err) {
  std::vector<std::string> all{sim_binary_path()};
  all.insert(all.end(), args.begin(), args.end());
  child_process child;
  if (!child.start(all)) return -1;
  const int status = child.wait(10000);
  *out = child.out;
  *err = child.err;
  return status;
}
