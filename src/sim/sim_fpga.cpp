// The simulated FPGA's registers and FIFOs: the observer hooks through
// which the server's stores and loads reach the model, the register shadows,
// the four FIFOs, the receive record clock and the model thread. The signals
// themselves are made in sim_receivers.cpp and sim_transmitter.cpp.
#include "sim/sim_fpga.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "hardware/fpga.h"
#include "hardware/stop_signal.h"
#include "sim/sim_fpga_model.h"
#include "sim/sim_platform.h"
#include "sim/sim_trace.h"

namespace sim_model {

std::mutex model_lock;
sim_model_config model;
sim_fpga_counts counts;

uint8_t rx_rst_v, lo_rst_v, tx_rst_v, gpio_out_v;
uint16_t rx_rate_v, tx_level_v, tx_ramp_steps_v;
uint32_t rx_freq_v[3], tx_freq_v;
int32_t tx_ramp_v[tx_ramp_entries];
std::atomic<uint8_t> gpio_in_v;

word_fifo<rx_depth_words> rx_fifo;
word_fifo<tx_depth_words> tx_fifo;
word_fifo<dac_depth_words> dac_fifo;
word_fifo<adc_depth_words> adc_fifo;
bool tx_full, dac_full, adc_full;

int64_t rx_anchor_ns, rx_anchor_idx, rx_next_idx, rx_counter_base;

namespace {

bool rx_full;  // overflow of this episode already traced

// Model thread and input-line script.
pthread_t model_thread;
std::atomic<bool> thread_run{false};
bool thread_started = false;
size_t gpio_next;

// Brings the whole model up to `now`.
void advance(int64_t now) {
  advance_tx(now);
  if (rx_rate_v == 0) return;
  const int64_t due =
      rx_anchor_idx + (now - rx_anchor_ns) * 3072 / (static_cast<int64_t>(rx_rate_v) * 100000);
  if (due <= rx_next_idx) return;
  const int64_t n = due - rx_next_idx;
  if (!(rx_rst_v & rx_rst_bits::fifo_restart)) {
    receivers_skip(n);
    return;
  }
  const int64_t space = (rx_depth_words - rx_fifo.count) / record_words;
  const int64_t fit = std::min(n, space);
  uint8_t chunk[max_chunk * record_bytes];
  for (int64_t done = 0; done < fit;) {
    const uint32_t m = static_cast<uint32_t>(std::min<int64_t>(fit - done, max_chunk));
    receivers_generate(chunk, m);
    uint32_t w;
    for (uint32_t i = 0; i < m * record_words; ++i) {
      std::memcpy(&w, chunk + 4 * i, 4);
      rx_fifo.push(w);
    }
    done += m;
  }
  counts.rx_records += static_cast<uint64_t>(fit);
  if (n > fit) {
    if (!rx_full) {
      rx_full = true;
      ++counts.rx_overflows;
      sim_trace_fifo("rx", "overflow");
    }
    counts.rx_dropped += static_cast<uint64_t>(n - fit);
    receivers_skip(n - fit);
  }
}

void apply_cfg_store(int64_t now, const fpga_register& r, uint32_t value) {
  switch (r.id) {
    case reg::rx_rst: {
      const auto v = static_cast<uint8_t>(value);
      const uint8_t fell = rx_rst_v & ~v, rose = v & ~rx_rst_v;
      rx_rst_v = v;
      if (fell & rx_rst_bits::fifo_restart) {
        rx_fifo.clear();
        rx_full = false;
        ++counts.rx_resets;
        sim_trace_fifo("rx", "reset");
      }
      if (rose & rx_rst_bits::fifo_restart) rx_counter_base = rx_next_idx;
      if (fell & rx_rst_bits::codec_restart) {
        adc_fifo.clear();
        adc_full = false;
        ++counts.adc_resets;
        sim_trace_fifo("adc", "reset");
      }
      return;
    }
    case reg::lo_rst: {
      const auto v = static_cast<uint8_t>(value);
      const uint8_t rose = v & ~lo_rst_v;
      lo_rst_v = v;
      receivers_restart(rose);
      return;
    }
    case reg::tx_rst: {
      const auto v = static_cast<uint8_t>(value);
      const uint8_t fell = tx_rst_v & ~v;
      tx_rst_v = v;
      if (fell & tx_rst_bits::restart) {
        tx_fifo.clear();
        tx_full = false;
        ++counts.tx_resets;
        sim_trace_fifo("tx", "reset");
      }
      return;
    }
    case reg::gpio_out:
      gpio_out_v = static_cast<uint8_t>(value);
      return;
    case reg::rx_rate:
      // The new rate counts from the next record on.
      rx_rate_v = static_cast<uint16_t>(value);
      rx_anchor_ns = now;
      rx_anchor_idx = rx_next_idx;
      receivers_retune();
      return;
    case reg::tx_ramp_steps:
      tx_ramp_steps_v = static_cast<uint16_t>(value);
      return;
    case reg::tx_level:
      tx_level_v = static_cast<uint16_t>(value);
      return;
    case reg::rx_freq:
      rx_freq_v[r.element] = value;
      receivers_retune();
      return;
    case reg::tx_freq:
      tx_freq_v = value;
      receivers_retune();
      return;
    default:
      return;
  }
}

void on_store(void*, fpga_block block, uint32_t offset, unsigned width, uint32_t value) {
  switch (block) {
    case fpga_block::cfg: {
      std::lock_guard<std::mutex> guard(model_lock);
      const int64_t now = sim_now_ns();
      advance(now);
      const fpga_register* r = fpga_register_at(fpga_block::cfg, offset);
      if (!r) return;
      sim_trace_reg(r->name, value);
      // A store of another width than the register's changes nothing.
      if (width == r->width) apply_cfg_store(now, *r, value);
      return;
    }
    case fpga_block::alex:
      if (const fpga_register* r = fpga_register_at(block, offset)) sim_trace_reg(r->name, value);
      return;
    case fpga_block::tx_ramp: {
      const uint32_t index = offset / 4;
      sim_trace_table("tx_ramp", index, static_cast<int32_t>(value));
      std::lock_guard<std::mutex> guard(model_lock);
      if (index < tx_ramp_entries) tx_ramp_v[index] = static_cast<int32_t>(value);
      return;
    }
    case fpga_block::dac_ramp:
      sim_trace_table("dac_ramp", offset / 2, static_cast<int16_t>(value));
      return;
    case fpga_block::fifo: {
      std::lock_guard<std::mutex> guard(model_lock);
      advance_tx(sim_now_ns());
      ++counts.tx_words;
      if (!tx_fifo.push(value) && !tx_full) {
        tx_full = true;
        ++counts.tx_overflows;
        sim_trace_fifo("tx", "overflow");
      }
      return;
    }
    case fpga_block::codec: {
      std::lock_guard<std::mutex> guard(model_lock);
      advance_tx(sim_now_ns());
      if (!dac_fifo.push(value) && !dac_full) {
        dac_full = true;
        ++counts.dac_overflows;
        sim_trace_fifo("dac", "overflow");
      }
      return;
    }
    default:
      return;
  }
}

uint32_t on_load(void*, fpga_block block, uint32_t offset, unsigned, uint32_t memory) {
  if (block == fpga_block::sts) {
    const fpga_register* r = fpga_register_at(block, offset);
    if (!r) return memory;
    if (r->id == reg::gpio_in) return gpio_in_v.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(model_lock);
    advance(sim_now_ns());
    switch (r->id) {
      case reg::rx_cntr:
        return rx_fifo.count;
      case reg::tx_cntr:
        return tx_fifo.count;
      case reg::dac_cntr:
        return dac_fifo.count;
      case reg::adc_cntr:
        return adc_fifo.count;
      default:
        return memory;
    }
  }
  if (block == fpga_block::xadc) {
    std::lock_guard<std::mutex> guard(model_lock);
    advance_tx(sim_now_ns());
    return xadc_load(offset, memory);
  }
  return memory;
}

void on_read_fifo(void*, fpga_block block, void* dst, size_t bytes) {
  auto* out = static_cast<uint8_t*>(dst);
  const auto words = static_cast<uint32_t>(bytes / 4);
  std::lock_guard<std::mutex> guard(model_lock);
  advance(sim_now_ns());
  uint32_t got = 0;
  if (block == fpga_block::fifo) {
    got = rx_fifo.take(out, words);
    if (rx_fifo.count < rx_depth_words) rx_full = false;
    if (got < words) {
      ++counts.rx_underruns;
      sim_trace_fifo("rx", "underrun");
    }
  } else if (block == fpga_block::codec) {
    got = adc_fifo.take(out, words);
    if (adc_fifo.count < adc_depth_words) adc_full = false;
    if (got < words) {
      ++counts.adc_underruns;
      sim_trace_fifo("adc", "underrun");
    }
  }
  // An empty FIFO reads as zeros.
  std::memset(out + got * 4, 0, bytes - got * 4);
}

const fpga_observer observer{nullptr, on_store, on_load, on_read_fifo};

void set_gpio_locked(uint8_t value) {
  advance(sim_now_ns());
  gpio_in_v.store(value, std::memory_order_relaxed);
  sim_trace_gpio(value);
}

void* model_main(void*) {
  pthread_setname_np(pthread_self(), "sim-fpga");
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  while (thread_run.load(std::memory_order_acquire)) {
    next.tv_nsec += 1000000;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
    sim_fpga_step();
    // After a stall (the process was stopped) the ticks start afresh
    // instead of catching up one by one.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next.tv_sec + 1) next = now;
  }
  return nullptr;
}

}  // namespace
}  // namespace sim_model

using namespace sim_model;

void sim_fpga_init(const sim_model_config& config) {
  std::lock_guard<std::mutex> guard(model_lock);
  model = config;
  sim_epoch_ns = sim_now_ns();
  receivers_reset();
  transmitter_reset();

  rx_rst_v = lo_rst_v = tx_rst_v = gpio_out_v = 0;
  rx_rate_v = tx_level_v = tx_ramp_steps_v = 0;
  std::memset(rx_freq_v, 0, sizeof rx_freq_v);
  tx_freq_v = 0;
  std::memset(tx_ramp_v, 0, sizeof tx_ramp_v);
  gpio_in_v.store(0);

  rx_fifo.clear();
  rx_anchor_ns = sim_epoch_ns;
  rx_anchor_idx = rx_next_idx = rx_counter_base = 0;
  rx_full = false;
  tx_fifo.clear();
  dac_fifo.clear();
  adc_fifo.clear();
  tx_full = dac_full = adc_full = false;

  counts = sim_fpga_counts{};
  gpio_next = 0;
  fpga_obs = &observer;
}

void sim_fpga_shutdown() {
  if (thread_started) {
    thread_run.store(false, std::memory_order_release);
    pthread_join(model_thread, nullptr);
    thread_started = false;
  }
  if (fpga_obs == &observer) fpga_obs = nullptr;
}

bool sim_fpga_start_thread() {
  if (thread_started) return true;
  thread_run.store(true, std::memory_order_release);
  // Stop signals go to the server's main thread, not to the model.
  if (create_thread_without_stop_signals(&model_thread, nullptr, model_main, nullptr) != 0) {
    thread_run.store(false);
    return false;
  }
  thread_started = true;
  return true;
}

void sim_fpga_step() {
  const int64_t now = sim_now_ns();
  {
    std::lock_guard<std::mutex> guard(model_lock);
    advance(now);
    while (gpio_next < model.gpio.size() &&
           now - sim_epoch_ns >= model.gpio[gpio_next].ms * 1000000) {
      set_gpio_locked(model.gpio[gpio_next].value);
      ++gpio_next;
    }
  }
  sim_uart_poll(now);
}

void sim_fpga_set_gpio(uint8_t value) {
  std::lock_guard<std::mutex> guard(model_lock);
  set_gpio_locked(value);
}

sim_fpga_counts sim_fpga_stats() {
  std::lock_guard<std::mutex> guard(model_lock);
  sim_fpga_counts c = counts;
  c.uart_frames = sim_uart_frames();
  return c;
}
