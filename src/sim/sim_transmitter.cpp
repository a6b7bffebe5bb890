// The 48 kHz side of the simulated FPGA: the transmit FIFO played out one
// word pair per sample, the codec's audio-out FIFO one word per sample, the
// microphone FIFO filled with a test tone, the transmitted signal (the
// client's I/Q or the keyed, shaped carrier) kept for the receivers to hear,
// and the XADC readings that follow it.
#include <cmath>
#include <numbers>

#include "hardware/fpga.h"
#include "sim/sim_fpga_model.h"
#include "sim/sim_trace.h"

namespace sim_model {
namespace {

constexpr int64_t audio_rate = audio_rate_hz;  // transmit, audio-out and microphone FIFOs
constexpr double tx_level_full = tx_level_full_drive;
constexpr double envelope_step_hz = 200000.0;

int64_t tx_next;           // next 48 kHz sample to play out
bool tx_armed, dac_armed;  // held data since their last underrun
double envelope_pos;
float history_i[history_len], history_q[history_len];
double amplitude_sum;  // of the last 48 transmitted magnitudes (1 ms)
uint32_t tone_index;
int16_t tone[48];  // 1 kHz at 48 kHz

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

void tx_underrun() {
  if (!tx_armed) return;
  tx_armed = false;
  ++counts.tx_underruns;
  sim_trace_fifo("tx", "underrun");
}

void dac_underrun() {
  if (!dac_armed) return;
  dac_armed = false;
  ++counts.dac_underruns;
  sim_trace_fifo("dac", "underrun");
}

void adc_overflow() {
  if (adc_full) return;
  adc_full = true;
  ++counts.adc_overflows;
  sim_trace_fifo("adc", "overflow");
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
    tx_underrun();
  }
  uint32_t audio;
  if (dac_fifo.pop(&audio)) {
    dac_armed = true;
    dac_full = false;
  } else {
    dac_underrun();
  }
  if (microphone_running() && !push_tone()) adc_overflow();

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
  } else if (field_get(gpio_out_bits::mox, gpio_out_v) ||
             (gpio_in_v.load(std::memory_order_relaxed) & gpio_in_bits::ptt)) {
    // The I/Q word's bytes in wire order: first half high, low, second half
    // high, low. Clients put the quadrature part first, the in-phase part
    // second (as the receivers send theirs), so that a tone they send at
    // +f leaves the antenna f above the transmit frequency.
    const auto first = static_cast<int16_t>((pair[1] & 0xFF) << 8 | (pair[1] >> 8 & 0xFF));
    const auto second = static_cast<int16_t>((pair[1] >> 16 & 0xFF) << 8 | (pair[1] >> 24 & 0xFF));
    xi = second / 32768.0f;
    xq = first / 32768.0f;
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

// XADC reading (12 bits) in the XADC's register layout (bits 4..15).
uint32_t xadc_reading(double counts12) {
  const double jitter = static_cast<double>(next_random() % 3) - 1.0;
  const long c = std::clamp(std::lround(counts12 + jitter), 0L, 4095L);
  return static_cast<uint32_t>(c) << 4;
}

}  // namespace

void transmitter_reset() {
  for (int i = 0; i < 48; ++i)
    tone[i] = static_cast<int16_t>(std::lround(3277 * std::sin(2 * std::numbers::pi * i / 48.0)));
  tx_next = 0;
  tx_armed = dac_armed = false;
  envelope_pos = 0;
  std::memset(history_i, 0, sizeof history_i);
  std::memset(history_q, 0, sizeof history_q);
  amplitude_sum = 0;
  tone_index = 0;
}

void advance_tx(int64_t now) {
  const int64_t due = (now - sim_epoch_ns) * 48 / 1000000;
  if (due <= tx_next) return;
  if (due - tx_next > history_len) {
    // A long stall (the process was stopped): everything older than the
    // history is settled in one go, as the FIFOs would have run meanwhile.
    const int64_t gap = due - history_len - tx_next;
    // Whole word pairs only, as play_sample takes them.
    const int64_t pairs = std::min<int64_t>(gap, tx_fifo.count / 2);
    tx_fifo.drop(static_cast<uint32_t>(2 * pairs));
    if (pairs < gap) tx_underrun();
    if (dac_fifo.count <= gap) {
      dac_fifo.clear();
      dac_underrun();
    } else {
      dac_fifo.drop(static_cast<uint32_t>(gap));
    }
    if (microphone_running()) {
      for (int64_t i = 0; i < gap && adc_fifo.count < adc_depth_words; ++i) push_tone();
      if (adc_fifo.count == adc_depth_words) adc_overflow();
    }
    tx_next = due - history_len;
    // Nothing was transmitted meanwhile that anyone could still hear.
    std::memset(history_i, 0, sizeof history_i);
    std::memset(history_q, 0, sizeof history_q);
    amplitude_sum = 0;
  }
  while (tx_next < due) play_sample();
}

bool transmitted(int64_t n, float* i, float* q) {
  // A sample still being played out is heard as the last one played.
  if (n >= tx_next) n = tx_next - 1;
  if (n < 0 || n + history_len < tx_next) return false;
  *i = history_i[n % history_len];
  *q = history_q[n % history_len];
  return true;
}

uint32_t xadc_load(uint32_t offset, uint32_t memory) {
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

}  // namespace sim_model
