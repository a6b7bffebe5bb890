// The seam between the server and the machine it runs on.
//
// One const table of free functions per backend, chosen once before start-up
// and held in `platform`. The board backend makes the real system calls and
// nothing else; the simulated board (src/sim) supplies memory blocks for
// "/dev/mem", a simulated I2C bus, a pseudo-terminal serial port and a
// configurable UDP port, so that start-up, the receive loop, the stream
// thread and the keyer run unchanged on any Linux machine.
//
// Every entry has the contract of the system call it stands for (return
// value and errno).
#pragma once

#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "common/clock.h"

struct platform_ops {
  const char* name;

  // Device files: "/dev/mem", "/dev/ttyPS1", "/dev/i2c-0".
  int (*open)(const char* path, int flags);
  ssize_t (*write)(int fd, const void* buf, size_t len);  // I2C messages, serial frames
  int (*tcgetattr)(int fd, struct termios* t);
  int (*tcsetattr)(int fd, int actions, const struct termios* t);
  int (*tcflush)(int fd, int queue);
  // ioctl(fd, I2C_SLAVE or I2C_SLAVE_FORCE, address)
  int (*i2c_select)(int fd, unsigned long request, long address);
  long (*page_size)();
  void* (*mmap)(void* addr, size_t len, int prot, int flags, int fd, off_t offset);

  // The UDP socket.
  int (*socket)(int domain, int type, int protocol);
  int (*get_hwaddr)(int fd, struct ifreq* req);  // ioctl(fd, SIOCGIFHWADDR, req)
  int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t len);
  int (*bind)(int fd, const struct sockaddr* addr, socklen_t len);
  int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
  int (*recvmmsg)(int fd, struct mmsghdr* msgs, unsigned count, int flags,
                  struct timespec* timeout);
  ssize_t (*sendto)(int fd, const void* buf, size_t len, int flags, const struct sockaddr* addr,
                    socklen_t addr_len);
  int (*sendmmsg)(int fd, struct mmsghdr* msgs, unsigned count, int flags);

  // Threads and time.
  // pthread_create; SIGINT and SIGTERM are blocked in the new thread
  // (hardware/stop_signal.h), so only the main thread takes them.
  int (*thread_create)(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                       void* arg);
  int (*usleep)(useconds_t us);  // the 1 ms polls of the receive loop, sink and stream
  // Sleeps until an absolute CLOCK_MONOTONIC time (the keyer's tick deadlines).
  int (*sleep_until)(const struct timespec* deadline);
  int (*clock_now)(struct timespec* now);  // CLOCK_MONOTONIC
  // Names the calling thread (pthread_setname_np on pthread_self; at most 15
  // characters), so that top -H, ps -L and a profiler tell the threads apart.
  int (*set_thread_name)(const char* name);

  // The event descriptor through which the keyer wakes the receive loop
  // (eventfd(2), eventfd_read(3), eventfd_write(3)).
  int (*eventfd)(unsigned int initval, int flags);
  int (*eventfd_read)(int fd, eventfd_t* value);
  int (*eventfd_write)(int fd, eventfd_t value);
};

// SCHED_FIFO priorities of the server's threads: the keyer above everything,
// the receive stream below it. The main thread keeps normal scheduling.
constexpr int keyer_priority = 99;
constexpr int stream_priority = 90;

// The backend in use; set once before start-up.
extern const platform_ops* platform;

// Creates a thread with SCHED_FIFO scheduling at `priority` (not inherited
// from the caller) through platform->thread_create; returns its result, 0 or
// an errno value (EPERM where real-time scheduling is not permitted).
inline int create_realtime_thread(pthread_t* thread, int priority, void* (*entry)(void*)) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
  sched_param param{};
  param.sched_priority = priority;
  pthread_attr_setschedparam(&attr, &param);
  const int rc = platform->thread_create(thread, &attr, entry, nullptr);
  pthread_attr_destroy(&attr);
  return rc;
}

// CLOCK_MONOTONIC in nanoseconds, through platform->clock_now.
inline int64_t platform_now_ns() {
  timespec t{};
  platform->clock_now(&t);
  return timespec_ns(t);
}

// The real system calls.
extern const platform_ops board_platform;
