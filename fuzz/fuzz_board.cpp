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

namespace {

constexpr int socket_fd_value = 902;  // never handed to the kernel
constexpr int64_t clock_start_ns = 1000000000;
bool stream_live = false;  // a start created a stream that has not ended yet

// The serial port: /dev/null, which takes every CI-V frame (its terminal
// settings fail with ENOTTY, which start-up ignores). A pseudo-terminal would
// cost more than the rest of start-up.
int fuzz_open(const char* path, int flags) {
  if (std::strcmp(path, "/dev/ttyPS1") == 0) return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return sim_platform.open(path, flags);
}

// The socket, which reaches no kernel; the only datagram the receive loop
// sends is a discovery reply.
void socket_entries() {
  platform_ops& o = test_platform::ops;
  o.open = fuzz_open;
  o.socket = [](int, int, int) { return socket_fd_value; };
  o.setsockopt = [](int, int, int, const void*, socklen_t) { return 0; };
  o.bind = [](int, const sockaddr*, socklen_t) { return 0; };
  o.poll = [](pollfd* fds, nfds_t count, int) {
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
    return 0;
  };
  o.recvmmsg = [](int, mmsghdr*, unsigned, int, timespec*) {
    errno = EAGAIN;
    return -1;
  };
  o.sendto = [](int fd, const void*, size_t len, int, const sockaddr*, socklen_t) {
    if (fd != socket_fd_value || len != discovery_reply_size) std::abort();
    return static_cast<ssize_t>(len);
  };
  o.sendmmsg = [](int, mmsghdr*, unsigned count, int) { return static_cast<int>(count); };
  o.thread_create = [](pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                       void* arg) {
    const int rc = test_platform::defaults.thread_create(thread, attr, entry, arg);
    if (rc == 0 && entry == handler_ep6) stream_live = true;
    return rc;
  };
  // The stream ends as the real thread would: at its next poll after the
  // enable flag dropped, with its last act.
  o.usleep = [](useconds_t us) {
    if (stream_live && enable_thread.load(std::memory_order_acquire) == 0) {
      stream_live = false;
      active_thread.store(0, std::memory_order_release);
    }
    return test_platform::defaults.usleep(us);
  };
}

std::optional<sim_board> board;

}  // namespace

void fuzz_board_up(uint16_t accessories, bool model) {
  sim_model_config quiet;
  quiet.scene = sim_scene{};
  quiet.scene.noise_dbfs = -140;
  stream_live = false;
  board.emplace(board_options{.map = false,
                              .model = model ? &quiet : nullptr,
                              .record = false,
                              .settings = {.virtual_sleeps = true, .threads_at_once = true},
                              .replace = socket_entries,
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
