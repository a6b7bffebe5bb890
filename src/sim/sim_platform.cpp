#include "sim/sim_platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hardware/fpga.h"
#include "hardware/i2c.h"
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
// The far side of the serial port: opened by start-up on the main thread,
// read by the FPGA model's thread, which is already running then.
std::atomic<int> uart_master{-1};
int uart_slave = -1;
int bound_socket = -1;

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
    uart_master.store(master, std::memory_order_release);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) return -1;
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
  if (request == i2c_slave && sim_config.i2c_busy[address]) {
    errno = EBUSY;
    return -1;
  }
  i2c_selected = static_cast<int>(address);
  i2c_selected_forced = request == i2c_slave_force;
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
  int r = ::pthread_create(thread, attr, entry, arg);
  if (r == EPERM && attr) {
    // Real-time scheduling is refused without the privilege: run at normal
    // priority and say so once.
    static bool warned = false;
    if (!warned && sim_config.keyer_realtime_warning) {
      std::fputs("varnholt-sim: real-time scheduling refused, keyer runs at normal priority\n",
                 stderr);
      warned = true;
    }
    r = ::pthread_create(thread, nullptr, entry, arg);
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

}  // namespace

void sim_reset() {
  std::memset(block_memory, 0, sizeof block_memory);
  sim_i2c_log.clear();
  i2c_selected = -1;
  i2c_selected_forced = false;
  if (uart_slave >= 0) ::close(uart_slave);
  const int master = uart_master.exchange(-1);
  if (master >= 0) ::close(master);
  uart_slave = -1;
  bound_socket = -1;
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
  static const struct {
    const char* name;
    int addr;
  } table[] = {{"pene", i2c_addr::pene},     {"alex", i2c_addr::alex},
               {"level", i2c_addr::level},   {"misc", i2c_addr::misc},
               {"drive", i2c_addr::drive},   {"dac0", i2c_addr::dac0},
               {"dac1", i2c_addr::dac1},     {"arduino", i2c_addr::arduino},
               {"nucleo", i2c_addr::nucleo}, {"codec", i2c_addr::codec}};
  for (const auto& e : table)
    if (name == e.name) return e.addr;
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
};
