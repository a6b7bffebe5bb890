// SIGINT and SIGTERM end the server cleanly: the handler only records the
// signal and wakes the receive loop's wait; the loop sees the record and
// releases the transmitter, stops the stream and lets
// the process exit with status 0.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// 0 until SIGINT or SIGTERM arrives, then that signal's number. Written by
// the handler (a lock-free store, safe in a handler), read by the main thread.
extern std::atomic<int32_t> stop_requested;

// Installs the handler for SIGINT and SIGTERM without SA_RESTART, so that a
// blocking call of the main thread returns with EINTR. Start-up, main thread.
void install_stop_handler();

// An event descriptor (the receive loop's, which it polls) that the handler
// also writes to, so that a signal arriving after the loop looked at the
// record and before its wait began still ends that wait at once. -1: none.
// When a signal has already come (in the first moments of start-up, before
// the descriptor existed), it is written to at once.
void set_stop_wake_fd(int fd);

// pthread_create with SIGINT and SIGTERM blocked in the new thread (the
// caller's mask is restored afterwards): every thread but the main one is
// created this way, so the signals interrupt the main thread's wait instead
// of landing on a thread that would not look at the record.
int create_thread_without_stop_signals(pthread_t* thread, const pthread_attr_t* attr,
                                       void* (*entry)(void*), void* arg);
