#include "sim/sim_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "hardware/platform.h"

int64_t sim_epoch_ns;

namespace {

std::mutex trace_lock;
std::atomic<int> trace_fd{-1};
bool trace_owned = false;  // opened here, closed here

// Longest byte string one event carries; longer uart data is split.
constexpr size_t max_event_bytes = 200;

// A line under construction; no allocation, no stdio.
struct line {
  char buf[128 + 2 * max_event_bytes];
  size_t n = 0;

  void text(const char* s) {
    const size_t len = std::strlen(s);
    std::memcpy(buf + n, s, len);
    n += len;
  }
  void number(int64_t v) {
    char tmp[24];
    int k = 0;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
      tmp[k++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (v < 0) buf[n++] = '-';
    while (k) buf[n++] = tmp[--k];
  }
  void hex(const uint8_t* b, size_t len) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
      buf[n++] = digits[b[i] >> 4];
      buf[n++] = digits[b[i] & 15];
    }
  }
};

// Stamps, finishes and writes one line; `body` continues after "ev":.
template <class F>
void emit(F body) {
  if (trace_fd.load(std::memory_order_relaxed) < 0) return;
  std::lock_guard<std::mutex> guard(trace_lock);
  const int fd = trace_fd.load(std::memory_order_relaxed);
  if (fd < 0) return;
  line l;
  l.text("{\"t_us\":");
  l.number((sim_now_ns() - sim_epoch_ns) / 1000);
  l.text(",\"ev\":");
  body(l);
  l.text("}\n");
  size_t done = 0;
  while (done < l.n) {
    const ssize_t w = ::write(fd, l.buf + done, l.n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // a full disk loses lines, never stalls the radio
    done += static_cast<size_t>(w);
  }
}

}  // namespace

int64_t sim_now_ns() {
  return platform_now_ns();
}

bool sim_trace_open(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  sim_trace_close();
  std::lock_guard<std::mutex> guard(trace_lock);
  trace_fd.store(fd);
  trace_owned = true;
  return true;
}

void sim_trace_set_fd(int fd) {
  sim_trace_close();
  std::lock_guard<std::mutex> guard(trace_lock);
  trace_fd.store(fd);
  trace_owned = false;
}

void sim_trace_close() {
  std::lock_guard<std::mutex> guard(trace_lock);
  const int fd = trace_fd.exchange(-1);
  if (fd >= 0 && trace_owned) ::close(fd);
  trace_owned = false;
}

bool sim_trace_enabled() {
  return trace_fd.load(std::memory_order_relaxed) >= 0;
}

void sim_trace_reg(const char* name, uint32_t value) {
  emit([&](line& l) {
    l.text("\"reg\",\"name\":\"");
    l.text(name);
    l.text("\",\"value\":");
    l.number(value);
  });
}

void sim_trace_table(const char* name, uint32_t index, int32_t value) {
  emit([&](line& l) {
    l.text("\"table\",\"name\":\"");
    l.text(name);
    l.text("\",\"index\":");
    l.number(index);
    l.text(",\"value\":");
    l.number(value);
  });
}

void sim_trace_i2c(uint8_t addr, const uint8_t* bytes, size_t len, bool ok) {
  if (len > max_event_bytes) len = max_event_bytes;
  emit([&](line& l) {
    l.text("\"i2c\",\"addr\":");
    l.number(addr);
    l.text(",\"bytes\":\"");
    l.hex(bytes, len);
    l.text(ok ? "\",\"ok\":true" : "\",\"ok\":false");
  });
}

void sim_trace_uart(const uint8_t* bytes, size_t len) {
  do {
    const size_t part = len > max_event_bytes ? max_event_bytes : len;
    emit([&](line& l) {
      l.text("\"uart\",\"bytes\":\"");
      l.hex(bytes, part);
      l.text("\"");
    });
    bytes += part;
    len -= part;
  } while (len > 0);
}

void sim_trace_fifo(const char* fifo, const char* what) {
  emit([&](line& l) {
    l.text("\"fifo\",\"fifo\":\"");
    l.text(fifo);
    l.text("\",\"what\":\"");
    l.text(what);
    l.text("\"");
  });
}

void sim_trace_gpio(uint8_t value) {
  emit([&](line& l) {
    l.text("\"gpio\",\"value\":");
    l.number(value);
  });
}
