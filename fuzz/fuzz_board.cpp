#include "fuzz_board.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/startup.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/i2c.h"
#include "hardware/platform.h"
#include "net/frames.h"
#include "net/receive_loop.h"
#include "net/stream.h"
#include "sim/sim_fpga.h"
#include "sim/sim_platform.h"
#include "support/sim_board.h"
#include "support/virtual_clock.h"

namespace {

constexpr int socket_fd_value = 902;  // never handed to the kernel
constexpr int64_t clock_start_ns = 1000000000;
using virtual_clock::now_ns;
bool stream_live = false;  // a start created a stream that has not ended yet

// The serial port: /dev/null, which takes every CI-V frame (its terminal
// settings fail with ENOTTY, which start-up ignores). A pseudo-terminal would
// cost more than the rest of start-up.
int fuzz_open(const char* path, int flags) {
  if (std::strcmp(path, "/dev/ttyPS1") == 0) return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return sim_platform.open(path, flags);
}

int fuzz_socket(int, int, int) {
  return socket_fd_value;
}
int fuzz_setsockopt(int, int, int, const void*, socklen_t) {
  return 0;
}
int fuzz_bind(int, const sockaddr*, socklen_t) {
  return 0;
}
int fuzz_poll(pollfd* fds, nfds_t count, int) {
  for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
  return 0;
}
int fuzz_recvmmsg(int, mmsghdr*, unsigned, int, timespec*) {
  errno = EAGAIN;
  return -1;
}
ssize_t fuzz_sendto(int fd, const void*, size_t len, int, const sockaddr*, socklen_t) {
  // The only datagram the receive loop sends.
  if (fd != socket_fd_value || len != discovery_reply_size) std::abort();
  return static_cast<ssize_t>(len);
}
int fuzz_sendmmsg(int, mmsghdr*, unsigned count, int) {
  return static_cast<int>(count);
}

int fuzz_thread_create(pthread_t* thread, const pthread_attr_t*, void* (*entry)(void*), void*) {
  const int rc = pthread_create(thread, nullptr, returns_at_once, nullptr);
  if (rc == 0 && entry == handler_ep6) stream_live = true;
  return rc;
}

// The stream ends as the real thread would: at its next poll after the
// enable flag dropped, with its last act.
void stream_poll() {
  if (stream_live && enable_thread.load(std::memory_order_acquire) == 0) {
    stream_live = false;
    active_thread.store(0, std::memory_order_release);
  }
}

int fuzz_usleep(useconds_t us) {
  stream_poll();
  now_ns += static_cast<int64_t>(us) * 1000;
  return 0;
}
int fuzz_sleep_until(const timespec* deadline) {
  now_ns = std::max(now_ns, virtual_clock::to_ns(*deadline));
  return 0;
}

platform_ops make_double() {
  platform_ops ops = virtual_clock::with_virtual_clock(sim_platform);
  ops.name = "fuzz";
  ops.open = fuzz_open;
  ops.socket = fuzz_socket;
  ops.setsockopt = fuzz_setsockopt;
  ops.bind = fuzz_bind;
  ops.poll = fuzz_poll;
  ops.recvmmsg = fuzz_recvmmsg;
  ops.sendto = fuzz_sendto;
  ops.sendmmsg = fuzz_sendmmsg;
  ops.thread_create = fuzz_thread_create;
  ops.usleep = fuzz_usleep;
  ops.sleep_until = fuzz_sleep_until;
  return ops;
}
const platform_ops fuzz_platform = make_double();

std::optional<sim_board> board;

}  // namespace

void fuzz_board_up(uint16_t accessories, bool model) {
  sim_model_config quiet;
  quiet.scene = sim_scene{};
  quiet.scene.noise_dbfs = -140;
  stream_live = false;
  board.emplace(board_options{.ops = &fuzz_platform,
                              .map = false,
                              .model = model ? &quiet : nullptr,
                              .record = false,
                              .clock_ns = clock_start_ns});
  for (int i = 0; i < i2c_accessory_count; ++i)
    sim_config.i2c_devices[i2c_accessories[i].address] = (accessories >> i) & 1;
  sim_config.uart_present = true;
  sim_config.record_i2c = false;
  sim_config.keyer_realtime_warning = false;
  if (start_up_with_ones() != 0) {
    std::fputs("fuzz: start-up failed on the simulated board\n", stderr);
    std::abort();
  }
}

void fuzz_board_down() {
  stream_stop();
  if (ld(uart_fd) >= 0) ::close(ld(uart_fd));  // /dev/null, not the board's port
  st(sock_ep2, -1);                            // never a real descriptor
  board.reset();
}
