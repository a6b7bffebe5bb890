// Runs build/bin/p1probe (beside the test binary) as a child process with
// its standard output and error captured. Every child is ended by its PID
// and reaped; the simulated board it talks to comes from
// tests/sim/sim_process.h.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/sim_process.h"

inline std::string probe_binary_path() {
  const std::string sim = sim_binary_path();
  return sim.substr(0, sim.rfind('/') + 1) + "p1probe";
}

// Receive FIFO overflows and restarts in the board's trace during the last
// p1probe run that began after trace line `from`: after its stream started
// (the first store setting `rx_rst` bit 0) and before its last general
// word (the last `gpio_out` store, just before the stop; a stopped stream
// lets the FIFO overflow afterwards). Each is a stall of the machine that
// kept the board's stream thread from the FIFO, and loses samples.
inline long stalls_in_run(const sim_process& sim, size_t from) {
  const auto trace = sim.trace();
  int64_t start = -1, end = -1;
  for (size_t i = from; i < trace.size(); ++i) {
    const auto& e = trace[i];
    if (e.at("ev") != "reg") continue;
    if (start < 0 && e.at("name") == "rx_rst" && (std::stoi(e.at("value")) & 1))
      start = std::stoll(e.at("t_us"));
    if (e.at("name") == "gpio_out") end = std::stoll(e.at("t_us"));
  }
  long n = 0;
  for (size_t i = from; i < trace.size(); ++i) {
    const auto& e = trace[i];
    if (e.at("ev") != "fifo" || e.at("fifo") != "rx") continue;
    const int64_t t = std::stoll(e.at("t_us"));
    n += t > start && t < end && (e.at("what") == "overflow" || e.at("what") == "reset");
  }
  return n;
}

struct probe_child {
  pid_t pid = -1;
  int fds[2] = {-1, -1};  // standard output, standard error
  std::string out, err;
  double cpu_seconds = 0;  // user and system time of the child, once reaped

  bool start(const std::vector<std::string>& args) {
    std::vector<std::string> all{probe_binary_path()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int o[2], e[2];
    if (pipe2(o, O_CLOEXEC) != 0) return false;
    if (pipe2(e, O_CLOEXEC) != 0) {
      close(o[0]);
      close(o[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, o[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, e[1], STDERR_FILENO);
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(o[1]);
    close(e[1]);
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
    if (pid > 0 && wait4(pid, &status, WNOHANG, &use) == 0) {
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

  ~probe_child() {
    if (pid > 0) wait(0);
  }
};

struct probe_result {
  int exit_code = -1;  // -1: did not end normally
  std::string out, err;
  nlohmann::json json;  // standard output parsed, when it is JSON
  double cpu_seconds = 0;
};

inline probe_result run_probe(const std::vector<std::string>& args, int timeout_ms = 30000) {
  probe_child child;
  probe_result r;
  if (!child.start(args)) return r;
  const int status = child.wait(timeout_ms);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = child.out;
  r.err = child.err;
  r.cpu_seconds = child.cpu_seconds;
  r.json = nlohmann::json::parse(r.out, nullptr, false);
  return r;
}
