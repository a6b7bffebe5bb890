// The hot paths of the server, driven on plain memory with a virtual clock,
// for counting their instructions under valgrind (the host build) or under
// qemu-arm with the counting plugin (the board's build); bench/count/count.sh
// runs every case both ways and prints the table of docs/performance.md.
//
//   instruction_count batch RATE RECEIVERS CODEC   the stream thread
//   instruction_count ep2 MODE                     one EP2 datagram
//   instruction_count keyer MODE                   one keyer tick
//
// RATE is the rate code 0..3 (48, 96, 192, 384 kHz), CODEC 0 or 1; the EP2
// MODE is idle (not keyed), mox or mox-codec; the keyer MODE is idle or dot
// (the dot paddle held, iambic mode 1 at 20 wpm).
//
// The FPGA blocks are ordinary memory (no observer): a register load is one
// load, a FIFO read one load per word. The platform is a fake whose clock only
// moves when a thread sleeps; the receive FIFO fills at the sample rate while
// the stream thread sleeps (8 words per sample instant), and each send takes a
// batch out of it.
//
// The markers count_begin and count_end bound the counted window: the stream
// thread is counted from the return of one send to the return of the send
// `units` batches later, the keyer from one tick's sleep to the sleep `units`
// ticks later, the datagram path over `units` calls of handle_datagram after
// a warm-up. The fake platform's own functions are in the namespace
// count_fake, so that the counters can set them apart; they call nothing.
// Prints "units N per_second F": the counted units and how many of them the
// server makes per second.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/counters.h"
#include "control/decoder.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "keyer/keyer.h"
#include "net/frames.h"
#include "net/receive_loop.h"
#include "net/stream.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define COUNT_TOGGLE() CALLGRIND_TOGGLE_COLLECT
#else
#define COUNT_TOGGLE() ((void)0)
#endif

// Markers: callgrind starts and stops collecting here (client requests, a
// no-op outside valgrind); the qemu plugin toggles on their first
// instructions. Their bodies differ, so that the compiler cannot fold them
// into one function.
volatile int count_window;
extern "C" __attribute__((noinline)) void count_begin() {
  COUNT_TOGGLE();
  count_window = 1;
}
extern "C" __attribute__((noinline)) void count_end() {
  COUNT_TOGGLE();
  count_window = 2;
}

namespace {

constexpr long page = 4096;
constexpr int warm_up = 8;

// The eight blocks as plain memory, each as large as its mapping.
alignas(page) uint8_t block_memory[fpga_block_count][8 * page];

void map_plain_memory() {
  for (int i = 0; i < fpga_block_count; ++i) {
    fpga_base[i] = block_memory[i];
    fpga_size[i] = static_cast<uint32_t>(fpga_blocks[i].pages * page);
  }
  fpga_set_pointers();
  fpga_obs = nullptr;
  // Sample records and codec words with some content.
  for (size_t k = 0; k < fpga_size[static_cast<int>(fpga_block::fifo)]; ++k)
    block_memory[static_cast<int>(fpga_block::fifo)][k] = static_cast<uint8_t>(k * 7 + 1);
  for (size_t k = 0; k < fpga_size[static_cast<int>(fpga_block::codec)]; ++k)
    block_memory[static_cast<int>(fpga_block::codec)][k] = static_cast<uint8_t>(k * 3 + 5);
}

// Status registers are reached through const pointers; the fake FPGA writes
// them as the hardware would.
template <class T>
void set_status(const volatile T* reg, T value) {
  *const_cast<volatile T*>(reg) = value;
}

}  // namespace

// The fake platform. Only arithmetic, no calls (the markers excepted), so
// that its instructions are all inside these functions.
namespace count_fake {

constexpr long ns_per_s = 1000000000;

timespec now{1000, 0};
// Receive FIFO: level in words, fill rate, the word-nanoseconds not yet
// turned into a word.
int64_t words_per_s;
double partial;
int32_t level;
int32_t batch_words;  // taken out by each send
// Windows and their end.
int64_t units_done;
int64_t units_wanted;
bool counting;
bool keyer_end;

void unit_done() {
  ++units_done;
  if (units_done == warm_up) {
    counting = true;
    count_begin();
  } else if (counting && units_done == warm_up + units_wanted) {
    count_end();
    counting = false;
  }
}

int clock_now(timespec* t) {
  *t = now;
  return 0;
}

// Moves the clock to the deadline; the FIFO gains the words of that time.
int sleep_until(const timespec* d) {
  if (d->tv_sec > now.tv_sec || (d->tv_sec == now.tv_sec && d->tv_nsec > now.tv_nsec)) {
    const int64_t elapsed = (d->tv_sec - now.tv_sec) * ns_per_s + (d->tv_nsec - now.tv_nsec);
    now = *d;
    // In double precision (exact below 2^53), which needs no library call
    // on either target.
    partial += static_cast<double>(elapsed) * static_cast<double>(words_per_s);
    const auto words = static_cast<int32_t>(partial / 1e9);
    partial -= words * 1e9;
    level = level + words > 16383 ? 16383 : level + words;
    set_status(rx_cntr, static_cast<uint16_t>(level));
  }
  if (keyer_end) {
    unit_done();
    if (units_done >= warm_up + units_wanted) throw units_done;
  }
  return 0;
}

int usleep(useconds_t us) {
  timespec d = now;
  d.tv_nsec += static_cast<long>(us) * 1000;
  while (d.tv_nsec >= ns_per_s) {
    d.tv_nsec -= ns_per_s;
    ++d.tv_sec;
  }
  return sleep_until(&d);
}

// One batch: its records leave the FIFO (the stream thread read them just
// before); after the last batch wanted the stream is stopped.
int sendmmsg(int, mmsghdr*, unsigned count, int) {
  level -= batch_words;
  if (level < 0) level = 0;
  set_status(rx_cntr, static_cast<uint16_t>(level));
  unit_done();
  if (units_done >= warm_up + units_wanted) enable_thread.store(0, std::memory_order_relaxed);
  return static_cast<int>(count);
}

ssize_t write(int, const void*, size_t len) {
  return static_cast<ssize_t>(len);
}
int i2c_select(int, unsigned long, long) {
  return 0;
}
ssize_t sendto(int, const void*, size_t len, int, const sockaddr*, socklen_t) {
  return static_cast<ssize_t>(len);
}
int set_thread_name(const char*) {
  return 0;
}
int eventfd_write(int, eventfd_t) {
  return 0;
}

platform_ops make() {
  platform_ops ops{};
  ops.name = "instruction-count";
  ops.write = write;
  ops.i2c_select = i2c_select;
  ops.sendto = sendto;
  ops.sendmmsg = sendmmsg;
  ops.usleep = usleep;
  ops.sleep_until = sleep_until;
  ops.clock_now = clock_now;
  ops.set_thread_name = set_thread_name;
  ops.eventfd_write = eventfd_write;
  return ops;
}
const platform_ops ops = make();

}  // namespace count_fake

namespace {

double run_batch(int rate_code, int rx, bool codec, int64_t units) {
  namespace f = count_fake;
  st(rate, rate_code);
  st(receivers, rx);
  set_i2c_has(i2c_accessory::codec, codec ? 1 : 0);
  const ep6_geometry g = ep6_geometry_for(rx);
  f::words_per_s = ep6_words_per_second(rate_code);
  f::batch_words = g.fill_threshold;
  f::units_wanted = units;
  enable_thread.store(1, std::memory_order_relaxed);
  active_thread.store(1, std::memory_order_relaxed);
  handler_ep6(nullptr);
  return static_cast<double>(48000 << rate_code) / g.samples;
}

// An EP2 data frame as a client sends it: block 1 carries the general
// settings, block 2 one of the other addresses in turn; samples with some
// content.
constexpr uint8_t second_words[] = {ep2_c0::tx_frequency,      ep2_c0::rx1_frequency,
                                    ep2_c0::rx2_frequency,     ep2_c0::rx3_frequency,
                                    ep2_c0::drive_filters,     ep2_c0::rx_attenuation,
                                    ep2_c0::attenuation_keyer, ep2_c0::tx_attenuation,
                                    ep2_c0::keyer_sidetone,    ep2_c0::hang_sidetone_freq};
constexpr int ep2_frames = sizeof second_words;
uint8_t ep2_frame[ep2_frames][frame_size];

void fill_control_word(uint8_t* c, uint8_t address, bool mox) {
  c[0] = static_cast<uint8_t>(address | (mox ? ep2_c0::mox : 0));
  c[1] = c[2] = c[3] = c[4] = 0;
  switch (address) {
    case ep2_c0::general:
      c[1] = 0x03;  // 384 kHz
      c[4] = 0x3C;  // 8 receivers, duplex
      break;
    case ep2_c0::tx_frequency:
    case ep2_c0::rx1_frequency:
    case ep2_c0::rx2_frequency:
    case ep2_c0::rx3_frequency:
      put_be32(c + 1, 7100000);
      break;
    case ep2_c0::drive_filters:
      c[1] = 0xFF;
      break;
    default:
      break;
  }
}

double run_ep2(const char* mode, int64_t units) {
  const bool mox = std::strcmp(mode, "idle") != 0;
  const bool codec = std::strcmp(mode, "mox-codec") == 0;
  set_i2c_has(i2c_accessory::codec, codec ? 1 : 0);
  set_status(tx_cntr, uint16_t{1000});
  set_status(dac_cntr, uint16_t{500});
  for (int k = 0; k < ep2_frames; ++k) {
    uint8_t* fr = ep2_frame[k];
    fr[0] = 0xEF;
    fr[1] = 0xFE;
    fr[2] = 0x01;
    fr[3] = 0x02;
    put_be32(fr + 4, static_cast<uint32_t>(k));
    for (int b = 0; b < 2; ++b) {
      uint8_t* block = fr + frame_block_offset[b];
      block[0] = block[1] = block[2] = 0x7F;
      for (size_t j = 0; j < block_payload_size; ++j)
        block[block_payload_offset + j] = static_cast<uint8_t>(j * 5 + k);
    }
    fill_control_word(fr + ep2_c0_offset[0], ep2_c0::general, mox);
    fill_control_word(fr + ep2_c0_offset[1], second_words[k], mox);
  }
  sockaddr_in from{};
  from.sin_family = AF_INET;
  for (int k = 0; k < 4 * ep2_frames; ++k)
    handle_datagram(ep2_frame[k % ep2_frames], frame_size, from);
  count_begin();
  for (int64_t n = 0; n < units; ++n) handle_datagram(ep2_frame[n % ep2_frames], frame_size, from);
  count_end();
  return 48000.0 / ep2_samples_per_frame;
}

double run_keyer(const char* mode, int64_t units) {
  namespace f = count_fake;
  const bool dot = std::strcmp(mode, "dot") == 0;
  st(keyer_enabled, 1);
  st(cw_mode, 1);
  st(cw_speed, 20);
  st(cw_weight, 50);
  st(cw_hang, 10);
  set_status(gpio_in, dot ? gpio_in_bits::paddle_b : uint8_t{0});
  f::keyer_end = true;
  f::units_wanted = units;
  try {
    handler_keyer(nullptr);
  } catch (int64_t) {
  }
  return 1000.0;
}

int usage() {
  std::fputs(
      "usage: instruction_count batch RATE(0-3) RECEIVERS(1-8) CODEC(0|1) [UNITS]\n"
      "       instruction_count ep2 idle|mox|mox-codec [UNITS]\n"
      "       instruction_count keyer idle|dot [UNITS]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  map_plain_memory();
  control_state_reset();
  counters_reset();
  platform = &count_fake::ops;
  const char* what = argv[1];
  double per_second = 0;
  int64_t units = 0;
  if (std::strcmp(what, "batch") == 0 && argc >= 5) {
    units = argc > 5 ? std::atoll(argv[5]) : 64;
    per_second =
        run_batch(std::atoi(argv[2]) & 3, std::atoi(argv[3]), std::atoi(argv[4]) != 0, units);
  } else if (std::strcmp(what, "ep2") == 0) {
    units = argc > 3 ? std::atoll(argv[3]) : 200;
    per_second = run_ep2(argv[2], units);
  } else if (std::strcmp(what, "keyer") == 0) {
    units = argc > 3 ? std::atoll(argv[3]) : 2000;
    per_second = run_keyer(argv[2], units);
  } else {
    return usage();
  }
  std::printf("units %lld per_second %.3f\n", static_cast<long long>(units), per_second);
  return 0;
}
