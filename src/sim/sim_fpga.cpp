#include "sim/sim_fpga.h"

#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>

#include "hardware/fpga.h"
#include "sim/sim_platform.h"
#include "sim/sim_trace.h"

namespace {

constexpr double two_pi = 2 * std::numbers::pi;
constexpr uint32_t record_bytes = 32;
constexpr uint32_t record_words = record_bytes / 4;
constexpr uint32_t rx_depth_words = 8192;
constexpr uint32_t tx_depth_words = 4096;
constexpr uint32_t dac_depth_words = 2048;
constexpr uint32_t adc_depth_words = 2048;
constexpr int64_t audio_rate = 48000;      // Hz: transmit, audio-out and microphone FIFOs
constexpr uint32_t history_len = 16384;    // transmitted samples kept: 341 ms at 48 kHz
constexpr double full_scale = 8388607.0;   // largest 24-bit receiver sample
constexpr double tx_level_full = 21910.0;  // `tx_level` at drive 255
constexpr double envelope_step_hz = 200000.0;
constexpr uint32_t tx_ramp_entries = 1002;
constexpr int model_receivers = 4;
constexpr uint32_t noise_table_len = 16384;  // indexed by the top 14 bits of a random word
constexpr uint32_t max_chunk = 256;          // records generated with one set of phasors
constexpr double filter_edge = 0.45;         // receiver passband, fraction of the sample rate
constexpr double keying_rise_s = 0.005;
constexpr int64_t uart_partial_ns = 100000000;  // a frame without its end is shown after 100 ms

// Offsets of receivers 1..4 in a sample record.
constexpr uint32_t receiver_offset[model_receivers] = {0, 6, 18, 24};

// A FIFO of 32-bit words as the FPGA holds it: a fixed depth, oldest first.
template <uint32_t N>
struct word_fifo {
  uint32_t word[N];
  uint32_t rd = 0;
  uint32_t count = 0;

  bool push(uint32_t w) {
    if (count == N) return false;
    word[(rd + count) % N] = w;
    ++count;
    return true;
  }
  bool pop(uint32_t* w) {
    if (count == 0) return false;
    *w = word[rd];
    rd = (rd + 1) % N;
    --count;
    return true;
  }
  // Takes up to `n` words into dst (any alignment); returns how many.
  uint32_t take(uint8_t* dst, uint32_t n) {
    n = std::min(n, count);
    const uint32_t first = std::min(n, N - rd);
    std::memcpy(dst, word + rd, first * 4);
    std::memcpy(dst + first * 4, word, (n - first) * 4);
    rd = (rd + n) % N;
    count -= n;
    return n;
  }
  void clear() { rd = count = 0; }
};

struct carrier_state {
  double hz;
  float amp;  // peak, in receiver counts
  const std::vector<uint8_t>* pattern;
  int64_t unit_ns;
  uint32_t phase;  // turns x 2^32 at the next record
  uint32_t step;   // per record
  float gate;      // keying envelope 0..1
  float target;
  bool heard;  // some receiver hears it: its keying ramps run per record
};

// One in-band signal as one receiver sees it during a chunk.
struct phasor {
  const carrier_state* c;  // null: the transmitter
  double pr, pi;           // current baseband phasor
  double wr, wi;           // rotation per record
};

std::mutex model_lock;
sim_model_config model;
std::vector<carrier_state> carriers;
std::vector<phasor> phasors[model_receivers];
std::vector<carrier_state*> audible;  // carriers some receiver hears
float noise_table[noise_table_len];
uint32_t noise_state;
float tx_gain;  // receiver counts per unit of transmitted amplitude

// Register shadows, as last stored.
uint8_t rx_rst_v, lo_rst_v, tx_rst_v, gpio_out_v;
uint16_t rx_rate_v, tx_level_v, tx_ramp_steps_v;
uint32_t rx_freq_v[3], tx_freq_v;
int32_t tx_ramp_v[tx_ramp_entries];
std::atomic<uint8_t> gpio_in_v;

// Receive side.
word_fifo<rx_depth_words> rx_fifo;
int64_t rx_anchor_ns;  // the record rx_anchor_idx is due at this time
int64_t rx_anchor_idx;
int64_t rx_next_idx;  // next record to produce
int64_t rx_counter_base;
bool rx_full;  // overflow of this episode already traced
uint32_t lo_phase[model_receivers], lo_step[model_receivers];
uint32_t tx_nco_phase, tx_nco_step;
bool tx_heard[model_receivers];
bool tuning_dirty = true;
float gate_step;

// Transmit side.
word_fifo<tx_depth_words> tx_fifo;
word_fifo<dac_depth_words> dac_fifo;
word_fifo<adc_depth_words> adc_fifo;
int64_t tx_next;           // next 48 kHz sample to play out
bool tx_armed, dac_armed;  // held data since their last underrun
bool tx_full, dac_full, adc_full;
double envelope_pos;
float history_i[history_len], history_q[history_len];
double amplitude_sum;  // of the last 48 transmitted magnitudes (1 ms)
uint32_t tone_index;
int16_t tone[48];  // 1 kHz at 48 kHz

sim_fpga_counts counts;

// Model thread, script and serial port.
pthread_t model_thread;
std::atomic<bool> thread_run{false};
bool thread_started = false;
size_t gpio_next;
uint8_t uart_buf[256];
size_t uart_len;
int64_t uart_since_ns;

uint32_t next_random() {
  uint32_t s = noise_state;
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  noise_state = s;
  return s;
}
inline float noise() {
  return noise_table[next_random() >> 18];
}

void put24(uint8_t* p, double v) {
  long x = std::lrint(v);
  x = std::clamp(x, -8388607L, 8388607L);
  p[0] = static_cast<uint8_t>(x >> 16);
  p[1] = static_cast<uint8_t>(x >> 8);
  p[2] = static_cast<uint8_t>(x);
}

double receiver_hz(uint32_t increment) {
  return increment * (122880000.0 / 1073741824.0);
}
uint32_t receiver_increment(int r) {
  return r < 3 ? rx_freq_v[r] : tx_freq_v;
}

// Recomputes the oscillator steps and which signal each receiver hears.
void update_tuning() {
  tuning_dirty = false;
  if (rx_rate_v == 0) return;
  const double fs = 30720000.0 / rx_rate_v;
  gate_step = static_cast<float>(1.0 / (keying_rise_s * fs));
  for (carrier_state& c : carriers) {
    const double turns = c.hz / fs;
    c.step = static_cast<uint32_t>(
        static_cast<uint64_t>(std::llround((turns - std::floor(turns)) * 4294967296.0)));
  }
  // One output sample spans 4 x rx_rate clocks of the 30-bit oscillator.
  const uint32_t span = 16u * rx_rate_v;
  for (int r = 0; r < model_receivers; ++r) lo_step[r] = receiver_increment(r) * span;
  tx_nco_step = tx_freq_v * span;
  audible.clear();
  for (carrier_state& c : carriers) {
    c.heard = false;
    for (int r = 0; r < model_receivers; ++r)
      c.heard = c.heard || std::fabs(c.hz - receiver_hz(receiver_increment(r))) < filter_edge * fs;
    if (c.heard) audible.push_back(&c);
  }
  for (int r = 0; r < model_receivers; ++r) {
    const double f = receiver_hz(receiver_increment(r));
    phasors[r].clear();
    for (const carrier_state& c : carriers)
      if (std::fabs(c.hz - f) < filter_edge * fs) phasors[r].push_back({&c, 0, 0, 0, 0});
    tx_heard[r] = std::fabs(receiver_hz(tx_freq_v) - f) < filter_edge * fs;
    if (tx_heard[r]) phasors[r].push_back({nullptr, 0, 0, 0, 0});
  }
}

void set_phasor(uint32_t phase, double* re, double* im) {
  const double a = phase * (two_pi / 4294967296.0);
  *re = std::cos(a);
  *im = std::sin(a);
}

// Time of record `idx`, ns since the epoch.
int64_t record_time(int64_t idx) {
  return rx_anchor_ns - sim_epoch_ns + (idx - rx_anchor_idx) * rx_rate_v * 100000 / 3072;
}

// Skips `n` records: the oscillators run on, nothing is kept.
void skip_records(int64_t n) {
  const uint32_t k = static_cast<uint32_t>(n);  // phases wrap modulo 2^32
  for (carrier_state& c : carriers) {
    c.phase += c.step * k;
    c.gate = c.target;
  }
  for (int r = 0; r < model_receivers; ++r) lo_phase[r] += lo_step[r] * k;
  tx_nco_phase += tx_nco_step * k;
  rx_next_idx += n;
}

void generate_counter(uint8_t* out, uint32_t m) {
  for (uint32_t i = 0; i < m; ++i) {
    uint8_t* rec = out + i * record_bytes;
    std::memset(rec, 0xA5, record_bytes);
    const uint32_t v = static_cast<uint32_t>(rx_next_idx + i - rx_counter_base) & 0xFFFFFF;
    for (int r = 0; r < model_receivers; ++r) {
      uint8_t* p = rec + receiver_offset[r];
      p[0] = static_cast<uint8_t>(v >> 16);
      p[1] = static_cast<uint8_t>(v >> 8);
      p[2] = static_cast<uint8_t>(v);
      p[3] = p[4] = 0;
      p[5] = static_cast<uint8_t>(r + 1);
    }
  }
  skip_records(m);
}

// The scene as the four receivers hear it, `m` <= max_chunk records.
void generate_scene(uint8_t* out, uint32_t m) {
  const int64_t t0 = record_time(rx_next_idx);
  for (carrier_state& c : carriers) {
    c.target = 1;
    if (!c.pattern->empty() && t0 >= 0) {
      const size_t unit = static_cast<size_t>(t0 / c.unit_ns) % c.pattern->size();
      c.target = (*c.pattern)[unit] ? 1.0f : 0.0f;
    }
    if (!c.heard) c.gate = c.target;
  }
  bool any_tx = false;
  for (int r = 0; r < model_receivers; ++r) {
    any_tx = any_tx || tx_heard[r];
    for (phasor& p : phasors[r]) {
      const uint32_t phase = (p.c ? p.c->phase : tx_nco_phase) - lo_phase[r];
      const uint32_t step = (p.c ? p.c->step : tx_nco_step) - lo_step[r];
      set_phasor(phase, &p.pr, &p.pi);
      set_phasor(step, &p.wr, &p.wi);
    }
  }
  // Transmitted sample position in 1/640 of a 48 kHz sample; one record
  // advances it by rx_rate.
  int64_t tx_pos = t0 * 3072 / 100000;
  for (uint32_t i = 0; i < m; ++i) {
    for (carrier_state* c : audible) {
      if (c->gate < c->target) c->gate = std::min(c->target, c->gate + gate_step);
      if (c->gate > c->target) c->gate = std::max(c->target, c->gate - gate_step);
    }
    double xi = 0, xq = 0;
    if (any_tx) {
      int64_t n = tx_pos / 640;
      if (n >= tx_next) n = tx_next - 1;
      if (n >= 0 && n + history_len >= tx_next) {
        xi = history_i[n % history_len] * tx_gain;
        xq = history_q[n % history_len] * tx_gain;
      }
      tx_pos += rx_rate_v;
    }
    uint8_t* rec = out + i * record_bytes;
    std::memset(rec + 12, 0, 6);
    rec[30] = rec[31] = 0;
    for (int r = 0; r < model_receivers; ++r) {
      double acc_i = noise(), acc_q = noise();
      for (phasor& p : phasors[r]) {
        if (p.c) {
          const double a = p.c->amp * p.c->gate;
          acc_i += a * p.pr;
          acc_q += a * p.pi;
        } else {
          acc_i += xi * p.pr - xq * p.pi;
          acc_q += xi * p.pi + xq * p.pr;
        }
        const double nr = p.pr * p.wr - p.pi * p.wi;
        p.pi = p.pr * p.wi + p.pi * p.wr;
        p.pr = nr;
      }
      put24(rec + receiver_offset[r], acc_i);
      put24(rec + receiver_offset[r] + 3, acc_q);
    }
  }
  const uint32_t k = m;
  for (carrier_state& c : carriers) c.phase += c.step * k;
  for (int r = 0; r < model_receivers; ++r) lo_phase[r] += lo_step[r] * k;
  tx_nco_phase += tx_nco_step * k;
  rx_next_idx += m;
}

void generate(uint8_t* out, uint32_t count) {
  if (tuning_dirty) update_tuning();
  const uint32_t chunk =
      std::clamp<uint32_t>(rx_rate_v ? 30720u / rx_rate_v : max_chunk, 16u, max_chunk);
  while (count > 0) {
    const uint32_t m = std::min(count, chunk);
    if (model.counter)
      generate_counter(out, m);
    else
      generate_scene(out, m);
    out += m * record_bytes;
    count -= m;
  }
}

float drive() {
  return static_cast<float>(std::clamp(static_cast<int16_t>(tx_level_v) / tx_level_full, 0.0, 1.5));
}

// The codec delivers microphone samples while its FIFO is out of reset and
// a codec is there at all.
bool microphone_running() {
  return (rx_rst_v & rx_rst_bits::codec_restart) && !(rx_rst_v & rx_rst_bits::no_codec);
}

// One test-tone sample into the microphone FIFO; false when it is full.
bool push_tone() {
  const auto s = static_cast<uint16_t>(tone[tone_index]);
  tone_index = (tone_index + 1) % 48;
  // Sample bytes in wire order (high, low), the same sample for both channels.
  const uint32_t word = (s >> 8) | (s & 0xFFu) << 8 | (s >> 8) << 16 | (s & 0xFFu) << 24;
  return adc_fifo.push(word);
}

// One 48 kHz sample of the transmit side.
void play_sample() {
  uint32_t pair[2] = {0, 0};
  if (tx_fifo.count >= 2) {
    tx_fifo.pop(&pair[0]);
    tx_fifo.pop(&pair[1]);
    tx_armed = true;
    tx_full = false;
  } else {
    // A lone word is the first half of a sample whose second half is still
    // being stored: it waits. Dropping it would pair every later audio word
    // with the next sample's I/Q word.
    if (tx_armed) {
      tx_armed = false;
      ++counts.tx_underruns;
      sim_trace_fifo("tx", "underrun");
    }
  }
  uint32_t audio;
  if (dac_fifo.pop(&audio)) {
    dac_armed = true;
    dac_full = false;
  } else if (dac_armed) {
    dac_armed = false;
    ++counts.dac_underruns;
    sim_trace_fifo("dac", "underrun");
  }
  if (microphone_running() && !push_tone() && !adc_full) {
    adc_full = true;
    ++counts.adc_overflows;
    sim_trace_fifo("adc", "overflow");
  }

  const uint32_t steps = std::min<uint32_t>(tx_ramp_steps_v, tx_ramp_entries - 1);
  const double per_sample = envelope_step_hz / audio_rate;
  if (tx_rst_v & tx_rst_bits::key)
    envelope_pos = std::min<double>(envelope_pos + per_sample, steps);
  else
    envelope_pos = std::max(envelope_pos - per_sample, 0.0);

  float xi = 0, xq = 0;
  if (tx_rst_v & tx_rst_bits::keyer_source) {
    const int32_t peak = tx_ramp_v[steps];
    if (steps == 0 || peak <= 0)
      xi = (tx_rst_v & tx_rst_bits::key) ? 1.0f : 0.0f;
    else
      xi = static_cast<float>(tx_ramp_v[static_cast<uint32_t>(envelope_pos)]) / peak;
  } else if ((gpio_out_v & 1) || (gpio_in_v.load(std::memory_order_relaxed) & gpio_in_bits::ptt)) {
    // I/Q word bytes in wire order: I high, I low, Q high, Q low.
    const auto i16 = static_cast<int16_t>((pair[1] & 0xFF) << 8 | (pair[1] >> 8 & 0xFF));
    const auto q16 = static_cast<int16_t>((pair[1] >> 16 & 0xFF) << 8 | (pair[1] >> 24 & 0xFF));
    xi = i16 / 32768.0f;
    xq = q16 / 32768.0f;
  }
  const float d = drive();
  const uint32_t slot = static_cast<uint32_t>(tx_next % history_len);
  const uint32_t old = static_cast<uint32_t>((tx_next + history_len - 48) % history_len);
  amplitude_sum -= std::hypot(history_i[old], history_q[old]);
  history_i[slot] = xi * d;
  history_q[slot] = xq * d;
  amplitude_sum += std::hypot(history_i[slot], history_q[slot]);
  ++tx_next;
}

// Brings the 48 kHz side up to `now`.
void advance_tx(int64_t now) {
  const int64_t due = (now - sim_epoch_ns) * 48 / 1000000;
  if (due <= tx_next) return;
  if (due - tx_next > history_len) {
    // A long stall (the process was stopped): everything older than the
    // history is settled in one go, as the FIFOs would have run meanwhile.
    const int64_t gap = due - history_len - tx_next;
    // Whole word pairs only, as play_sample takes them.
    const int64_t pairs = std::min<int64_t>(gap, tx_fifo.count / 2);
    tx_fifo.rd = static_cast<uint32_t>((tx_fifo.rd + 2 * pairs) % tx_depth_words);
    tx_fifo.count -= static_cast<uint32_t>(2 * pairs);
    if (pairs < gap && tx_armed) {
      tx_armed = false;
      ++counts.tx_underruns;
      sim_trace_fifo("tx", "underrun");
    }
    if (dac_fifo.count <= gap) {
      dac_fifo.clear();
      if (dac_armed) {
        dac_armed = false;
        ++counts.dac_underruns;
        sim_trace_fifo("dac", "underrun");
      }
    } else {
      dac_fifo.rd = static_cast<uint32_t>((dac_fifo.rd + gap) % dac_depth_words);
      dac_fifo.count -= static_cast<uint32_t>(gap);
    }
    if (microphone_running()) {
      for (int64_t i = 0; i < gap && adc_fifo.count < adc_depth_words; ++i) push_tone();
      if (adc_fifo.count == adc_depth_words && !adc_full) {
        adc_full = true;
        ++counts.adc_overflows;
        sim_trace_fifo("adc", "overflow");
      }
    }
    tx_next = due - history_len;
    // Nothing was transmitted meanwhile that anyone could still hear.
    std::memset(history_i, 0, sizeof history_i);
    std::memset(history_q, 0, sizeof history_q);
    amplitude_sum = 0;
  }
  while (tx_next < due) play_sample();
}

// Brings the whole model up to `now`.
void advance(int64_t now) {
  advance_tx(now);
  if (rx_rate_v == 0) return;
  const int64_t due =
      rx_anchor_idx + (now - rx_anchor_ns) * 3072 / (static_cast<int64_t>(rx_rate_v) * 100000);
  if (due <= rx_next_idx) return;
  const int64_t n = due - rx_next_idx;
  if (!(rx_rst_v & rx_rst_bits::fifo_restart)) {
    skip_records(n);
    return;
  }
  const int64_t space = (rx_depth_words - rx_fifo.count) / record_words;
  const int64_t fit = std::min(n, space);
  uint8_t chunk[max_chunk * record_bytes];
  for (int64_t done = 0; done < fit;) {
    const uint32_t m = static_cast<uint32_t>(std::min<int64_t>(fit - done, max_chunk));
    generate(chunk, m);
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
    skip_records(n - fit);
  }
}

void apply_cfg_store(int64_t now, uint32_t offset, unsigned width, uint32_t value) {
  if (width == 1) {
    const auto v = static_cast<uint8_t>(value);
    switch (offset) {
      case reg_offset(reg::rx_rst): {
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
      case reg_offset(reg::lo_rst): {
        const uint8_t rose = v & ~lo_rst_v;
        lo_rst_v = v;
        if (rose & 0x01) lo_phase[0] = 0;
        if (rose & 0x02) lo_phase[1] = 0;
        if (rose & lo_rst_bits::startup) {
          for (uint32_t& p : lo_phase) p = 0;
          tx_nco_phase = 0;
        }
        return;
      }
      case reg_offset(reg::tx_rst): {
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
      case reg_offset(reg::gpio_out):
        gpio_out_v = v;
        return;
      default:
        return;
    }
  }
  if (width == 2) {
    const auto v = static_cast<uint16_t>(value);
    switch (offset) {
      case reg_offset(reg::rx_rate):
        // The new rate counts from the next record on.
        rx_rate_v = v;
        rx_anchor_ns = now;
        rx_anchor_idx = rx_next_idx;
        tuning_dirty = true;
        return;
      case reg_offset(reg::tx_ramp_steps):
        tx_ramp_steps_v = v;
        return;
      case reg_offset(reg::tx_level):
        tx_level_v = v;
        return;
      default:
        return;
    }
  }
  if (width == 4) {
    constexpr uint32_t rx_freq_first = reg_offset(reg::rx_freq0);
    if (offset >= rx_freq_first && offset <= reg_offset(reg::rx_freq2)) {
      rx_freq_v[(offset - rx_freq_first) / 4] = value;
      tuning_dirty = true;
    } else if (offset == reg_offset(reg::tx_freq)) {
      tx_freq_v = value;
      tuning_dirty = true;
    }
  }
}

void on_store(void*, fpga_block block, uint32_t offset, unsigned width, uint32_t value) {
  switch (block) {
    case fpga_block::cfg: {
      std::lock_guard<std::mutex> guard(model_lock);
      const int64_t now = sim_now_ns();
      advance(now);
      const reg_desc* r = fpga_register_at(fpga_block::cfg, offset);
      if (r) sim_trace_reg(r->name, value);
      apply_cfg_store(now, offset, width, value);
      return;
    }
    case fpga_block::alex:
      sim_trace_reg(reg_info(reg::alex).name, value);
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

// XADC reading (12 bits) in the XADC's register layout (bits 4..15).
uint32_t xadc_reading(double counts12) {
  const double jitter = static_cast<double>(next_random() % 3) - 1.0;
  const long c = std::clamp(std::lround(counts12 + jitter), 0L, 4095L);
  return static_cast<uint32_t>(c) << 4;
}

uint32_t on_load(void*, fpga_block block, uint32_t offset, unsigned, uint32_t memory) {
  if (block == fpga_block::sts) {
    if (offset == reg_offset(reg::gpio_in)) return gpio_in_v.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(model_lock);
    advance(sim_now_ns());
    switch (offset) {
      case reg_offset(reg::rx_cntr):
        return rx_fifo.count;
      case reg_offset(reg::tx_cntr):
        return tx_fifo.count;
      case reg_offset(reg::dac_cntr):
        return dac_fifo.count;
      case reg_offset(reg::adc_cntr):
        return adc_fifo.count;
      default:
        return memory;
    }
  }
  if (block == fpga_block::xadc) {
    std::lock_guard<std::mutex> guard(model_lock);
    advance_tx(sim_now_ns());
    // Mean transmitted amplitude over the last millisecond.
    const double amplitude = std::max(0.0, amplitude_sum / 48);
    switch (offset) {
      case 4 * xadc_word::reverse_power:
        return xadc_reading(8 + 360 * amplitude);
      case 4 * xadc_word::aux_input:
        return xadc_reading(1850);
      case 4 * xadc_word::forward_power:
        return xadc_reading(20 + 3600 * amplitude);
      case 4 * xadc_word::supply:  // supply sense, sagging under load
        return xadc_reading(2650 + 300 * amplitude);
      default:
        return memory;
    }
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

// Model thread only (the buffer is its own); the count is shared.
void flush_uart(size_t n) {
  sim_trace_uart(uart_buf, n);
  {
    std::lock_guard<std::mutex> guard(model_lock);
    ++counts.uart_frames;
  }
  std::memmove(uart_buf, uart_buf + n, uart_len - n);
  uart_len -= n;
}

// Reads what the server wrote to the serial port; one trace event per CI-V
// frame (ended by 0xFD).
void poll_uart(int64_t now) {
  const int fd = sim_uart_master_fd();
  if (fd < 0) return;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
    const ssize_t n = ::read(fd, uart_buf + uart_len, sizeof uart_buf - uart_len);
    if (n <= 0) break;
    if (uart_len == 0) uart_since_ns = now;
    uart_len += static_cast<size_t>(n);
    for (size_t i = 0; i < uart_len;) {
      if (uart_buf[i] == 0xFD) {
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

void sim_fpga_init(const sim_model_config& config) {
  std::lock_guard<std::mutex> guard(model_lock);
  model = config;
  sim_epoch_ns = sim_now_ns();

  carriers.clear();
  carriers.reserve(model.scene.carriers.size());
  for (const sim_carrier& c : model.scene.carriers)
    carriers.push_back({c.hz, static_cast<float>(std::pow(10.0, c.dbfs / 20) * full_scale),
                        &c.pattern, static_cast<int64_t>(c.unit_ms) * 1000000, 0, 0, 1, 1, false});
  for (auto& p : phasors) {
    p.clear();
    p.reserve(carriers.size() + 1);
  }
  audible.clear();
  audible.reserve(carriers.size());
  // Gaussian noise, Box-Muller over a fixed-seed generator: the same scene
  // gives the same noise on every run.
  noise_state = config.noise_seed ? config.noise_seed : 1;
  const double sigma = std::pow(10.0, model.scene.noise_dbfs / 20) * full_scale;
  for (uint32_t i = 0; i < noise_table_len; i += 2) {
    const double u1 = (next_random() + 1.0) / 4294967297.0;
    const double u2 = next_random() / 4294967296.0;
    const double r = std::sqrt(-2.0 * std::log(u1)) * sigma;
    noise_table[i] = static_cast<float>(r * std::cos(two_pi * u2));
    noise_table[i + 1] = static_cast<float>(r * std::sin(two_pi * u2));
  }
  tx_gain = static_cast<float>(std::pow(10.0, model.tx_coupling_db / 20) * full_scale);
  for (int i = 0; i < 48; ++i)
    tone[i] = static_cast<int16_t>(std::lround(3277 * std::sin(two_pi * i / 48.0)));

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
  std::memset(lo_phase, 0, sizeof lo_phase);
  std::memset(lo_step, 0, sizeof lo_step);
  tx_nco_phase = tx_nco_step = 0;
  tuning_dirty = true;

  tx_fifo.clear();
  dac_fifo.clear();
  adc_fifo.clear();
  tx_next = 0;
  tx_armed = dac_armed = tx_full = dac_full = adc_full = false;
  envelope_pos = 0;
  std::memset(history_i, 0, sizeof history_i);
  std::memset(history_q, 0, sizeof history_q);
  amplitude_sum = 0;
  tone_index = 0;

  counts = sim_fpga_counts{};
  gpio_next = 0;
  uart_len = 0;
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
  if (pthread_create(&model_thread, nullptr, model_main, nullptr) != 0) {
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
  poll_uart(now);
}

void sim_fpga_set_gpio(uint8_t value) {
  std::lock_guard<std::mutex> guard(model_lock);
  set_gpio_locked(value);
}

sim_fpga_counts sim_fpga_stats() {
  std::lock_guard<std::mutex> guard(model_lock);
  return counts;
}

void sim_fpga_generate(uint8_t* out, uint32_t count) {
  std::lock_guard<std::mutex> guard(model_lock);
  generate(out, count);
}
