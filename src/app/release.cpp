#include "app/release.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/startup.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"

namespace {

// Whether another server holds the lock: only a lock that is really held
// says so. The lock file is a real file on every backend.
bool another_server_runs(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // no server made it since boot, or it cannot be read
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

}  // namespace

int release_transmitter() {
  if (server_lock_path && another_server_runs(server_lock_path)) {
    std::fprintf(stderr, "varnholt-release: a server is running (%s is locked): nothing written\n",
                 server_lock_path);
    return 0;
  }
  const int mem_fd = platform->open("/dev/mem", O_RDWR);
  if (mem_fd < 0) {
    std::perror("open");
    return 1;
  }
  if (!map_fpga_blocks(mem_fd)) {
    std::perror("mmap");
    return 1;
  }
  // gpio_out takes whole stores only: what the last server stored there,
  // bit 0 cleared, in one store (no server runs to store beside it).
  write8(gpio_out, static_cast<uint8_t>(read8(gpio_out) & ~gpio_out_bits::mox.mask));
  clear_bits8(tx_rst, tx_rst_bits::key | tx_rst_bits::keyer_ptt);
  return 0;
}

int release_main(int argc, char**) {
  if (argc != 1) {
    std::fputs("Usage: varnholt-release\n", stderr);
    return 1;
  }
  return release_transmitter();
}
