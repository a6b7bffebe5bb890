#include "sim/sim_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/civ.h"
#include "hardware/fpga.h"
#include "hardware/i2c.h"
#include "hardware/stop_signal.h"
#include "sim/sim_fpga.h"
#include "sim/sim_trace.h"

sim_config_t sim_config;
std::vector<sim_i2c_transaction> sim_i2c_log;

namespace {

constexpr long sim_page = 4096;
// Descriptors handed out for the simulated device files; far above anything
// the process opens for real.
constexpr int mem_fd_value = 900;
constexpr int i2c_fd_value = 901;

// Backing memory of the eight blocks, largest block 8 pages.
alignas(4096) uint8_t block_memory[fpga_block_count][8 * sim_page];

int i2c_selected = -1;
bool i2c_selected_forced = false;
int bound_socket = -1;

// The serial port: a pseudo-terminal whose far side (the master) the model
// thread reads while start-up opens it, hence atomic.
std::atomic<int> uart_master{-1};
int uart_slave = -1;
constexpr int64_t uart_partial_ns = 100000000;  // a frame without its end is shown after 100 ms
// What was read from the far side and not yet traced; model thread only.
uint8_t uart_buf[256];
size_t uart_len;
int64_t uart_since_ns;
std::atomic<uint32_t> uart_frames{0};

// Model thread only: traces the first `n` buffered bytes as one frame.
void flush_uart(size_t n) {
  sim_trace_uart(uart_buf, n);
  uart_frames.fetch_add(1, std::memory_order_relaxed);
  std::memmove(uart_buf, uart_buf + n, uart_len - n);
  uart_len -= n;
}

int sim_open(const char* path, int flags) {
  if (std::strcmp(path, "/dev/mem") == 0) {
    if (!sim_config.mem_present) {
      errno = ENOENT;
      return -1;
    }
    return mem_fd_value;
  }
  if (std::strcmp(path, "/dev/i2c-0") == 0) {
    if (!sim_config.i2c_present) {
      errno = ENOENT;
      return -1;
    }
    return i2c_fd_value;
  }
  if (std::strcmp(path, "/dev/ttyPS1") == 0) {
    if (!sim_config.uart_present) {
      errno = ENOENT;
      return -1;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return -1;
    uart_master.store(master, std::memory_order_release);
    if (grantpt(master) < 0 || unlockpt(master) < 0) return -1;
    const char* name = ptsname(master);
    if (!name) return -1;
    uart_slave = ::open(name, flags);
    return uart_slave;
  }
  errno = ENOENT;
  return -1;
}

ssize_t sim_write(int fd, const void* buf, size_t len) {
  if (fd == i2c_fd_value) {
    const auto* b = static_cast<const uint8_t*>(buf);
    const auto addr = static_cast<uint8_t>(i2c_selected & 0x7F);
    const bool ok = i2c_selected >= 0 && sim_config.i2c_devices[addr];
    sim_trace_i2c(addr, b, len, ok);
    if (sim_config.record_i2c)
      sim_i2c_log.push_back({addr, std::vector<uint8_t>(b, b + len), ok, i2c_selected_forced});
    if (!ok) {
      errno = EREMOTEIO;  // no acknowledge, as on a real bus
      return -1;
    }
    return static_cast<ssize_t>(len);
  }
  return ::write(fd, buf, len);
}

int sim_tcgetattr(int fd, termios* t) {
  return ::tcgetattr(fd, t);
}
int sim_tcsetattr(int fd, int actions, const termios* t) {
  return ::tcsetattr(fd, actions, t);
}
int sim_tcflush(int fd, int queue) {
  return ::tcflush(fd, queue);
}

int sim_i2c_select(int fd, unsigned long request, long address) {
  if (fd != i2c_fd_value) {
    errno = ENOTTY;
    return -1;
  }
  if (address < 0 || address > 0x7F) {
    errno = EINVAL;
    return -1;
  }
  if (request == I2C_SLAVE && sim_config.i2c_busy[address]) {
    errno = EBUSY;
    return -1;
  }
  i2c_selected = static_cast<int>(address);
  i2c_selected_forced = request == I2C_SLAVE_FORCE;
  return 0;
}

long sim_page_size() {
  return sim_page;
}

void* sim_mmap(void*, size_t len, int, int, int fd, off_t offset) {
  if (fd != mem_fd_value || sim_config.mmap_fails) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  for (int i = 0; i < fpga_block_count; ++i) {
    if (static_cast<off_t>(fpga_blocks[i].phys) == offset && len <= sizeof block_memory[i])
      return block_memory[i];
  }
  errno = EINVAL;
  return MAP_FAILED;
}

int sim_socket(int domain, int type, int protocol) {
  if (sim_config.socket_fails) {
    errno = EMFILE;
    return -1;
  }
  return ::socket(domain, type, protocol);
}

int sim_get_hwaddr(int, ifreq* req) {
  if (!sim_config.hwaddr_present) {
    errno = ENODEV;
    return -1;
  }
  std::memcpy(req->ifr_hwaddr.sa_data, sim_config.hwaddr, 6);
  return 0;
}

int sim_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  // Without SO_REUSEADDR a port that another server holds cannot be bound a
  // second time: the simulated board has no lock file to say so instead.
  if (level == SOL_SOCKET && name == SO_REUSEADDR) return 0;
  return ::setsockopt(fd, level, name, value, len);
}

int sim_bind(int fd, const sockaddr* addr, socklen_t len) {
  if (len < sizeof(sockaddr_in)) {
    errno = EINVAL;
    return -1;
  }
  sockaddr_in a;
  std::memcpy(&a, addr, sizeof a);
  a.sin_addr.s_addr = sim_config.bind_addr;
  a.sin_port = htons(sim_config.bind_port);
  const int r = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  if (r != 0 && errno == EADDRINUSE && sim_config.report_taken_port) {
    const int saved = errno;
    std::fprintf(stderr, "varnholt-sim: another server is running on port %u\n",
                 static_cast<unsigned>(sim_config.bind_port));
    errno = saved;
  }
  if (r == 0) {
    bound_socket = fd;
    if (sim_config.on_bound) sim_config.on_bound(a.sin_addr.s_addr, sim_bound_port());
  }
  return r;
}

int sim_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}
int sim_recvmmsg(int fd, mmsghdr* msgs, unsigned count, int flags, timespec* timeout) {
  return ::recvmmsg(fd, msgs, count, flags, timeout);
}
ssize_t sim_sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                   socklen_t addr_len) {
  return ::sendto(fd, buf, len, flags, addr, addr_len);
}
int sim_sendmmsg(int fd, mmsghdr* msgs, unsigned count, int flags) {
  return ::sendmmsg(fd, msgs, count, flags);
}

int sim_thread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                      void* arg) {
  int r = create_thread_without_stop_signals(thread, attr, entry, arg);
  if (r == EPERM && attr) {
    // Real-time scheduling is refused without the privilege: run at normal
    // priority and say so once for each thread that asked for it (the
    // keyer at start-up, the stream thread at its first start). Threads are
    // created only on the main thread.
    sched_param param{};
    pthread_attr_getschedparam(attr, &param);
    static bool warned_keyer = false, warned_stream = false;
    bool& warned = param.sched_priority == keyer_priority ? warned_keyer : warned_stream;
    if (!warned && sim_config.keyer_realtime_warning) {
      std::fputs(param.sched_priority == keyer_priority
                     ? "varnholt-sim: real-time scheduling refused, keyer runs at normal priority\n"
                     : "varnholt-sim: real-time scheduling refused, stream thread runs at normal "
                       "priority\n",
                 stderr);
      warned = true;
    }
    r = create_thread_without_stop_signals(thread, nullptr, entry, arg);
  }
  return r;
}

int sim_usleep(useconds_t us) {
  return ::usleep(us);
}
int sim_sleep_until(const timespec* deadline) {
  int r;
  while ((r = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, deadline, nullptr)) == EINTR) {
  }
  return r;
}
int sim_clock_now(timespec* now) {
  return ::clock_gettime(CLOCK_MONOTONIC, now);
}
int sim_set_thread_name(const char* name) {
  return ::pthread_setname_np(::pthread_self(), name);
}
int sim_eventfd(unsigned int initval, int flags) {
  return ::eventfd(initval, flags);
}
int sim_eventfd_read(int fd, eventfd_t* value) {
  return ::eventfd_read(fd, value);
}
int sim_eventfd_write(int fd, eventfd_t value) {
  return ::eventfd_write(fd, value);
}

}  // namespace

void sim_reset() {
  std::memset(block_memory, 0, sizeof block_memory);
  sim_i2c_log.clear();
  i2c_selected = -1;
  i2c_selected_forced = false;
  if (uart_slave >= 0) ::close(uart_slave);
  const int master = uart_master.exchange(-1, std::memory_order_acq_rel);
  if (master >= 0) ::close(master);
  uart_slave = -1;
  uart_len = 0;
  uart_frames.store(0);
  bound_socket = -1;
}

void sim_board_select(const platform_ops* ops, const sim_model_config* model) {
  sim_fpga_shutdown();
  sim_reset();
  platform = ops;
  if (model) sim_fpga_init(*model);
}

std::vector<uint8_t> sim_uart_drain() {
  std::vector<uint8_t> out;
  const int master = uart_master.load(std::memory_order_acquire);
  if (master < 0) return out;
  const int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  uint8_t buf[256];
  ssize_t n;
  while ((n = ::read(master, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
  fcntl(master, F_SETFL, flags);
  return out;
}

int sim_uart_master_fd() {
  return uart_master.load(std::memory_order_acquire);
}

void sim_uart_poll(int64_t now) {
  const int fd = uart_master.load(std::memory_order_acquire);
  if (fd < 0) return;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
    const ssize_t n = ::read(fd, uart_buf + uart_len, sizeof uart_buf - uart_len);
    if (n <= 0) break;
    if (uart_len == 0) uart_since_ns = now;
    uart_len += static_cast<size_t>(n);
    for (size_t i = 0; i < uart_len;) {
      if (uart_buf[i] == civ_end) {
        flush_uart(i + 1);
        uart_since_ns = now;
        i = 0;
      } else {
        ++i;
      }
    }
    if (uart_len == sizeof uart_buf) flush_uart(uart_len);
  }
  if (uart_len > 0 && now - uart_since_ns > uart_partial_ns) flush_uart(uart_len);
}

uint32_t sim_uart_frames() {
  return uart_frames.load(std::memory_order_relaxed);
}

bool sim_uart_termios(termios* t) {
  return uart_slave >= 0 && ::tcgetattr(uart_slave, t) == 0;
}

uint16_t sim_bound_port() {
  if (bound_socket < 0) return 0;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(bound_socket, reinterpret_cast<sockaddr*>(&a), &len) < 0) return 0;
  return ntohs(a.sin_port);
}

int sim_accessory_address(const std::string& name) {
  for (const i2c_accessory_entry& a : i2c_accessories)
    if (name == a.name) return a.address;
  return -1;
}

const platform_ops sim_platform = {
    .name = "sim",
    .open = sim_open,
    .write = sim_write,
    .tcgetattr = sim_tcgetattr,
    .tcsetattr = sim_tcsetattr,
    .tcflush = sim_tcflush,
    .i2c_select = sim_i2c_select,
    .page_size = sim_page_size,
    .mmap = sim_mmap,
    .socket = sim_socket,
    .get_hwaddr = sim_get_hwaddr,
    .setsockopt = sim_setsockopt,
    .bind = sim_bind,
    .poll = sim_poll,
    .recvmmsg = sim_recvmmsg,
    .sendto = sim_sendto,
    .sendmmsg = sim_sendmmsg,
    .thread_create = sim_thread_create,
    .usleep = sim_usleep,
    .sleep_until = sim_sleep_until,
    .clock_now = sim_clock_now,
    .set_thread_name = sim_set_thread_name,
    .eventfd = sim_eventfd,
    .eventfd_read = sim_eventfd_read,
    .eventfd_write = sim_eventfd_write,
};
