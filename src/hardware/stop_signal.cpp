#include "hardware/stop_signal.h"

#include <signal.h>

#include <cerrno>

#include "hardware/platform.h"

std::atomic<int32_t> stop_requested{0};
static_assert(std::atomic<int32_t>::is_always_lock_free);

namespace {

std::atomic<int32_t> stop_wake_fd{-1};

void on_stop_signal(int sig) {
  stop_requested.store(sig, std::memory_order_relaxed);
  const int fd = stop_wake_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const int saved = errno;  // eventfd_write is a write(2): safe here, but it may set errno
    platform->eventfd_write(fd, 1);
    errno = saved;
  }
}

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void install_stop_handler() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the receive loop's wait ends with EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void set_stop_wake_fd(int fd) {
  stop_wake_fd.store(fd, std::memory_order_relaxed);
  // A signal taken before the descriptor existed found none to write to: it
  // wakes the first wait from here instead of leaving it to the time limit.
  // The handler runs on this thread, so it has either seen the descriptor
  // or stored its record before this load.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (fd >= 0 && stop_requested.load(std::memory_order_relaxed) != 0)
    platform->eventfd_write(fd, 1);
}

int create_thread_without_stop_signals(pthread_t* thread, const pthread_attr_t* attr,
                                       void* (*entry)(void*), void* arg) {
  const sigset_t blocked = stop_signals();
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  const int rc = pthread_create(thread, attr, entry, arg);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return rc;
}
