// SIGINT and SIGTERM end the server cleanly: the handler only records the
// signal; the receive loop sees the record (its wait ends with EINTR, or at
// its next wake-up) and releases the transmitter, stops the stream and lets
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

// pthread_create with SIGINT and SIGTERM blocked in the new thread (the
// caller's mask is restored afterwards): every thread but the main one is
// created this way, so the signals interrupt the main thread's wait instead
// of landing on a thread that would not look at the record.
int create_thread_without_stop_signals(pthread_t* thread, const pthread_attr_t* attr,
                                       void* (*entry)(void*), void* arg);
