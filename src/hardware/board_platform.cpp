#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "hardware/platform.h"
#include "hardware/stop_signal.h"

namespace {

int board_open(const char* path, int flags) {
  return ::open(path, flags);
}
ssize_t board_write(int fd, const void* buf, size_t len) {
  return ::write(fd, buf, len);
}
int board_tcgetattr(int fd, termios* t) {
  return ::tcgetattr(fd, t);
}
int board_tcsetattr(int fd, int actions, const termios* t) {
  return ::tcsetattr(fd, actions, t);
}
int board_tcflush(int fd, int queue) {
  return ::tcflush(fd, queue);
}
int board_i2c_select(int fd, unsigned long request, long address) {
  return ::ioctl(fd, request, address);
}
long board_page_size() {
  return ::sysconf(_SC_PAGESIZE);
}
void* board_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
  return ::mmap(addr, len, prot, flags, fd, offset);
}
int board_socket(int domain, int type, int protocol) {
  return ::socket(domain, type, protocol);
}
int board_get_hwaddr(int fd, ifreq* req) {
  return ::ioctl(fd, SIOCGIFHWADDR, req);
}
int board_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  return ::setsockopt(fd, level, name, value, len);
}
int board_bind(int fd, const sockaddr* addr, socklen_t len) {
  return ::bind(fd, addr, len);
}
int board_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}
int board_recvmmsg(int fd, mmsghdr* msgs, unsigned count, int flags, timespec* timeout) {
  return ::recvmmsg(fd, msgs, count, flags, timeout);
}
ssize_t board_sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                     socklen_t addr_len) {
  return ::sendto(fd, buf, len, flags, addr, addr_len);
}
int board_sendmmsg(int fd, mmsghdr* msgs, unsigned count, int flags) {
  return ::sendmmsg(fd, msgs, count, flags);
}
int board_thread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                        void* arg) {
  return create_thread_without_stop_signals(thread, attr, entry, arg);
}
int board_usleep(useconds_t us) {
  return ::usleep(us);
}
int board_sleep_until(const timespec* deadline) {
  int r;
  while ((r = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, deadline, nullptr)) == EINTR) {
  }
  return r;
}
int board_clock_now(timespec* now) {
  return ::clock_gettime(CLOCK_MONOTONIC, now);
}
int board_set_thread_name(const char* name) {
  return ::pthread_setname_np(::pthread_self(), name);
}
int board_eventfd(unsigned int initval, int flags) {
  return ::eventfd(initval, flags);
}
int board_eventfd_read(int fd, eventfd_t* value) {
  return ::eventfd_read(fd, value);
}
int board_eventfd_write(int fd, eventfd_t value) {
  return ::eventfd_write(fd, value);
}

}  // namespace

const platform_ops board_platform = {
    .name = "board",
    .open = board_open,
    .write = board_write,
    .tcgetattr = board_tcgetattr,
    .tcsetattr = board_tcsetattr,
    .tcflush = board_tcflush,
    .i2c_select = board_i2c_select,
    .page_size = board_page_size,
    .mmap = board_mmap,
    .socket = board_socket,
    .get_hwaddr = board_get_hwaddr,
    .setsockopt = board_setsockopt,
    .bind = board_bind,
    .poll = board_poll,
    .recvmmsg = board_recvmmsg,
    .sendto = board_sendto,
    .sendmmsg = board_sendmmsg,
    .thread_create = board_thread_create,
    .usleep = board_usleep,
    .sleep_until = board_sleep_until,
    .clock_now = board_clock_now,
    .set_thread_name = board_set_thread_name,
    .eventfd = board_eventfd,
    .eventfd_read = board_eventfd_read,
    .eventfd_write = board_eventfd_write,
};

const platform_ops* platform = &board_platform;
