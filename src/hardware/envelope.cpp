#include "hardware/envelope.h"

#include <cmath>

#include "hardware/fpga.h"

namespace {

// Single-precision window coefficients, used widened to double.
constexpr float c0 = 0.35875f;
constexpr float c1 = 0.48829f;
constexpr float c2 = 0.14128f;
constexpr float c3 = 0.01168f;
constexpr double two_pi = 6.283185307179586;
constexpr double four_pi = 12.566370614359172;
constexpr double six_pi = 18.84955592153876;

constexpr int max_steps = tx_ramp_steps_count;

}  // namespace

void envelope_compute(int steps, float peak, int32_t* out, float* sum, float* scale) {
  float a[max_steps + 1];
  const double n = steps;
  a[0] = 0.0f;
  for (int i = 1; i <= steps; ++i) {
    const float s = a[i - 1] + c0;
    const double di = i;
    double x = static_cast<double>(s);
    x = x - std::cos(di * two_pi / n) * static_cast<double>(c1);
    x = x + std::cos(di * four_pi / n) * static_cast<double>(c2);
    x = x - std::cos(di * six_pi / n) * static_cast<double>(c3);
    a[i] = static_cast<float>(x);
  }
  const float k = peak / a[steps];
  if (sum) *sum = a[steps];
  if (scale) *scale = k;
  for (int j = 0; j <= steps; ++j) {
    const float v = k * a[j];
    out[j] = static_cast<int32_t>(std::floor(static_cast<double>(v) + 0.5));
  }
}

void envelope_write_tx() {
  int32_t entries[tx_ramp_steps_count + 1];
  envelope_compute(tx_ramp_steps_count, static_cast<float>(tx_ramp_peak), entries);
  for (int j = 0; j <= tx_ramp_steps_count; ++j) table_write32(tx_ramp, j, entries[j]);
}

void envelope_write_dac() {
  int32_t entries[dac_ramp_steps_count + 1];
  envelope_compute(dac_ramp_steps_count, static_cast<float>(dac_ramp_peak), entries);
  for (int j = 0; j <= dac_ramp_steps_count; ++j)
    table_write16(dac_ramp, j, static_cast<int16_t>(entries[j] & 0xFFFF));
}
