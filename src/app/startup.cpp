#include "app/startup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/counters.h"
#include "control/log_table.h"
#include "control/state.h"
#include "hardware/envelope.h"
#include "hardware/fpga.h"
#include "hardware/i2c.h"
#include "hardware/platform.h"
#include "hardware/stop_signal.h"
#include "keyer/keyer.h"
#include "net/frames.h"
#include "net/receive_loop.h"
#include "net/service.h"

const char* usage_text = "Usage: varnholt 1|2 1|2 1|2 1|2 1|2 1|2\n";
const char* server_lock_path = nullptr;
int server_lock_fd = -1;

bool parse_arguments(int argc, char** argv, uint8_t* mask) {
  if (argc != 7) return false;
  uint8_t m = 0;
  for (int i = 1; i <= 6; ++i) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(argv[i], &end, 10);
    // The unsigned difference rejects everything but 1 and 2 in one test,
    // without the signed overflow that value - 1 would have at LONG_MIN.
    if (errno != 0 || end == argv[i] || static_cast<unsigned long>(value) - 1ul > 1ul) return false;
    m |= static_cast<uint8_t>((value - 1) << (i - 1));
  }
  *mask = m;
  return true;
}

namespace {

int fail(const char* label) {
  std::perror(label);
  return 1;
}

void configure_serial_port(int fd) {
  termios tty{};
  platform->tcgetattr(fd, &tty);
  cfsetspeed(&tty, B1200);
  cfmakeraw(&tty);
  tty.c_cflag &= ~(CRTSCTS | CSTOPB);
  tty.c_cflag |= CLOCAL | CREAD;
  platform->tcflush(fd, TCIFLUSH);
  platform->tcsetattr(fd, TCSANOW, &tty);
}

// Creates the lock file's directory when it is missing (the service's
// runtime directory normally exists already), then locks the file. The lock
// file is a real file on every backend, so this talks to the system
// directly.
bool lock_server(const char* path) {
  char dir[256];
  const char* slash = std::strrchr(path, '/');
  const size_t dir_len = slash ? static_cast<size_t>(slash - path) : 0;
  if (dir_len > 0 && dir_len < sizeof dir) {
    std::memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
    ::mkdir(dir, 0755);  // EEXIST is the usual case; any real failure shows at the open
  }
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "varnholt: cannot open the lock file %s: %s\n", path,
                 std::strerror(errno));
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      std::fprintf(stderr, "varnholt: another server is running (%s is locked)\n", path);
    else
      std::fprintf(stderr, "varnholt: cannot lock %s: %s\n", path, std::strerror(errno));
    ::close(fd);
    return false;
  }
  server_lock_fd = fd;  // held, and the lock with it, until the process ends
  return true;
}

}  // namespace

bool map_fpga_blocks(int mem_fd) {
  const long page = platform->page_size();
  for (int i = 0; i < fpga_block_count; ++i) {
    const size_t len = static_cast<size_t>(fpga_blocks[i].pages) * static_cast<size_t>(page);
    void* p = platform->mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd,
                             static_cast<off_t>(fpga_blocks[i].phys));
    // A failed mapping is never used: start-up ends before anything is
    // written to the FPGA.
    if (p == MAP_FAILED) return false;
    fpga_base[i] = static_cast<volatile uint8_t*>(p);
    fpga_size[i] = static_cast<uint32_t>(len);
  }
  fpga_set_pointers();
  return true;
}

namespace {

void write_initial_registers(uint8_t mask) {
  write8(arg_bits_lo, mask & 0x0F);
  write8(arg_bits_hi, static_cast<uint8_t>(mask >> 4));
  write8(gpio_out, 0);
  constexpr uint32_t at_600khz = phase_increment(600000);
  for (int n = 0; n < 3; ++n) write32(rx_freq + n, at_600khz);
  write16(rx_rate, rx_rate_divider[0]);  // 48 kHz
  write32(tx_freq, at_600khz);
  envelope_write_tx();
  write16(tx_ramp_steps, tx_ramp_steps_count);
  write16(tx_level, tx_level_full_drive);
  write16(cfg_word_28, 18716);
  clear_bits8(tx_rst, tx_rst_bits::keyer_source);
  pulse8(tx_rst, tx_rst_bits::restart_all);
  pulse8(lo_rst, lo_rst_bits::startup);
  if (i2c_has(i2c_accessory::codec)) {
    pulse8(rx_rst, rx_rst_bits::codec_restart);
    clear_bits8(rx_rst, rx_rst_bits::no_codec);
    write32(dac_freq, sidetone_increment(600));
    envelope_write_dac();
    write16(dac_ramp_steps, dac_ramp_steps_count);
    write16(dac_level, 3200);  // level 50
  } else {
    set_bits8(rx_rst, rx_rst_bits::no_codec);
  }
}

}  // namespace

int startup(int argc, char** argv) {
  uint8_t mask = 0;
  if (!parse_arguments(argc, argv, &mask)) {
    std::fwrite(usage_text, 1, std::strlen(usage_text), stderr);
    return 1;
  }
  if (server_lock_path && !lock_server(server_lock_path)) return 1;

  const int mem_fd = platform->open("/dev/mem", O_RDWR);
  if (mem_fd < 0) return fail("open");

  const int uart = platform->open("/dev/ttyPS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
  st(uart_fd, uart);
  if (uart >= 0) configure_serial_port(uart);

  const int i2c = platform->open("/dev/i2c-0", O_RDWR);
  st(i2c_fd, i2c);
  if (i2c >= 0) probe_i2c_accessories();

  if (!map_fpga_blocks(mem_fd)) return fail("mmap");
  write_initial_registers(mask);
  fill_drive_db_table();

  const int sock = platform->socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return fail("socket");
  st(sock_ep2, sock);

  ifreq hwaddr{};
  std::strncpy(hwaddr.ifr_name, "eth0", IFNAMSIZ - 1);
  // A failed request leaves the zeroed address, so the reply then carries
  // six zero bytes rather than whatever the template held before.
  platform->get_hwaddr(sock, &hwaddr);
  std::memcpy(discovery_reply_template + 3, hwaddr.ifr_hwaddr.sa_data, 6);

  // No SO_REUSEADDR: with it, a process of any user that binds the port with
  // the same option would share it and take the datagrams.
  const timeval timeout{0, 1000};  // 1 ms
  platform->setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  // Every datagram then carries the count of those the kernel dropped.
  const int drops = 1;
  platform->setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &drops, sizeof drops);

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(ep2_port);
  if (platform->bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
    return fail("bind");

  // The keyer signals its PTT changes here; the receive loop waits on it.
  const int ptt_event = platform->eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (ptt_event < 0) return fail("eventfd");
  st(ptt_event_fd, ptt_event);
  set_stop_wake_fd(ptt_event);

  pthread_t keyer;
  const int rc = create_realtime_thread(&keyer, keyer_priority, handler_keyer);
  if (rc != 0) {
    errno = rc;  // pthread_create reports through its result, not errno
    return fail("pthread_create");
  }
  pthread_detach(keyer);
  return 0;
}

int varnholt_main(int argc, char** argv) {
  install_stop_handler();
  if (startup(argc, argv) != 0) return 1;
  // Started by the service manager: it names its socket and the watchdog's
  // interval here. A socket that cannot be made costs the notifications only.
  service_open(std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"),
               std::getenv("WATCHDOG_PID"), ::getpid());
  const int status = receive_loop();
  service_close();
  counters_report_final();
  return status;
}
