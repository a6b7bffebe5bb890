// The receivers of the simulated FPGA: the scene (carriers, optionally
// keyed, over a noise floor) mixed down by each receiver's oscillator into
// 32-byte records, or a counter instead of the scene. Receivers 1..3 follow
// `rx_freq`[0..2], receiver 4 `tx_freq` and hears the transmission.
//
// Each sample is two 24-bit words in the sense of the radios that clients
// are written for: the first word carries the quadrature part Q and the
// second the in-phase part I of the analytic baseband signal, so a client
// reads second + j*first and finds a carrier above the tuned frequency at a
// positive offset (read as first + j*second it sits at the negative one).
#include <cmath>
#include <numbers>
#include <vector>

#include "hardware/fpga.h"
#include "sim/sim_fpga_model.h"
#include "sim/sim_trace.h"

namespace sim_model {
namespace {

constexpr double two_pi = 2 * std::numbers::pi;
constexpr double full_scale = 8388607.0;  // largest 24-bit receiver sample
constexpr int model_receivers = 4;
constexpr uint32_t noise_table_len = 16384;  // indexed by the top 14 bits of a random word
constexpr double filter_edge = 0.45;         // receiver passband, fraction of the sample rate
constexpr double keying_rise_s = 0.005;

// Offsets of receivers 1..4 in a sample record.
constexpr uint32_t receiver_offset[model_receivers] = {0, 6, 18, 24};

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

std::vector<carrier_state> carriers;
std::vector<phasor> phasors[model_receivers];
std::vector<carrier_state*> audible;  // carriers some receiver hears
float noise_table[noise_table_len];
uint32_t noise_state;
float tx_gain;  // receiver counts per unit of transmitted amplitude

uint32_t lo_phase[model_receivers], lo_step[model_receivers];
uint32_t tx_nco_phase, tx_nco_step;
bool tx_heard[model_receivers];
bool tuning_dirty = true;
float gate_step;

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
  return increment * (fpga_clock_hz / phase_turn);
}
uint32_t receiver_increment(int r) {
  return r < 3 ? rx_freq_v[r] : tx_freq_v;
}

// Recomputes the oscillator steps and which signal each receiver hears.
void update_tuning() {
  tuning_dirty = false;
  if (rx_rate_v == 0) return;
  const double fs = static_cast<double>(rx_rate_clock_hz) / rx_rate_v;
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
  receivers_skip(m);
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
  // Transmitted sample position in ticks of the rx_rate clock (640 to a
  // 48 kHz sample); one record advances it by rx_rate.
  int64_t tx_pos = t0 * 3072 / 100000;
  for (uint32_t i = 0; i < m; ++i) {
    for (carrier_state* c : audible) {
      if (c->gate < c->target) c->gate = std::min(c->target, c->gate + gate_step);
      if (c->gate > c->target) c->gate = std::max(c->target, c->gate - gate_step);
    }
    double xi = 0, xq = 0;
    if (any_tx) {
      float si, sq;
      if (transmitted(tx_pos / rx_rate_divider[0], &si, &sq)) {
        xi = si * tx_gain;
        xq = sq * tx_gain;
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
      put24(rec + receiver_offset[r], acc_q);
      put24(rec + receiver_offset[r] + 3, acc_i);
    }
  }
  const uint32_t k = m;
  for (carrier_state& c : carriers) c.phase += c.step * k;
  for (int r = 0; r < model_receivers; ++r) lo_phase[r] += lo_step[r] * k;
  tx_nco_phase += tx_nco_step * k;
  rx_next_idx += m;
}

}  // namespace

uint32_t next_random() {
  uint32_t s = noise_state;
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  noise_state = s;
  return s;
}

void receivers_reset() {
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
  noise_state = model.noise_seed ? model.noise_seed : 1;
  const double sigma = std::pow(10.0, model.scene.noise_dbfs / 20) * full_scale;
  for (uint32_t i = 0; i < noise_table_len; i += 2) {
    const double u1 = (next_random() + 1.0) / 4294967297.0;
    const double u2 = next_random() / 4294967296.0;
    const double r = std::sqrt(-2.0 * std::log(u1)) * sigma;
    noise_table[i] = static_cast<float>(r * std::cos(two_pi * u2));
    noise_table[i + 1] = static_cast<float>(r * std::sin(two_pi * u2));
  }
  tx_gain = static_cast<float>(std::pow(10.0, model.tx_coupling_db / 20) * full_scale);

  std::memset(lo_phase, 0, sizeof lo_phase);
  std::memset(lo_step, 0, sizeof lo_step);
  tx_nco_phase = tx_nco_step = 0;
  tuning_dirty = true;
}

void receivers_retune() {
  tuning_dirty = true;
}

// Bit 0 restarts receiver 1's oscillator, bit 1 receiver 2's, bit 2 all of
// them and the transmitter's.
void receivers_restart(uint8_t rose) {
  if (rose & 0x01) lo_phase[0] = 0;
  if (rose & 0x02) lo_phase[1] = 0;
  if (rose & lo_rst_bits::startup) {
    for (uint32_t& p : lo_phase) p = 0;
    tx_nco_phase = 0;
  }
}

void receivers_skip(int64_t n) {
  const uint32_t k = static_cast<uint32_t>(n);  // phases wrap modulo 2^32
  for (carrier_state& c : carriers) {
    c.phase += c.step * k;
    c.gate = c.target;
  }
  for (int r = 0; r < model_receivers; ++r) lo_phase[r] += lo_step[r] * k;
  tx_nco_phase += tx_nco_step * k;
  rx_next_idx += n;
}

void receivers_generate(uint8_t* out, uint32_t count) {
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

}  // namespace sim_model

void sim_fpga_generate(uint8_t* out, uint32_t count) {
  std::lock_guard<std::mutex> guard(sim_model::model_lock);
  sim_model::receivers_generate(out, count);
}
