#include "hardware/stop_signal.h"

#include <signal.h>

std::atomic<int32_t> stop_requested{0};
static_assert(std::atomic<int32_t>::is_always_lock_free);

namespace {

void on_stop_signal(int sig) {
  stop_requested.store(sig, std::memory_order_relaxed);
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

int create_thread_without_stop_signals(pthread_t* thread, const pthread_attr_t* attr,
                                       void* (*entry)(void*), void* arg) {
  const sigset_t blocked = stop_signals();
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  const int rc = pthread_create(thread, attr, entry, arg);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return rc;
}
