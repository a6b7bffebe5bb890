#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr double detect_db = 10;  // above the median
constexpr double peak_spacing_hz = 200;
// Within skirt_hz of a stronger signal only what is no more than 30 dB
// weaker counts as a signal.
constexpr double skirt_hz = 1000;
constexpr double skirt_ratio = 1e-3;
constexpr int level_half_width = 6;  // bins summed on each side of a maximum

double to_db(double p) {
  return 10 * std::log10(std::max(p, 1e-30));
}

// 4-term Blackman-Harris, periodic: sidelobes 92 dB down, so that the
// weakest signals stand out next to carriers 60 dB stronger.
double blackman_harris(int i, int n) {
  const double x = 2 * std::numbers::pi * i / n;
  return 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
}

// Power of bin i of the last FFT, i counted from -rate/2 (shifted).
double shifted_power(const spectrum& s, int i) {
  const int k = (i + s.n / 2) % s.n;
  return double(s.out[k][0]) * s.out[k][0] + double(s.out[k][1]) * s.out[k][1];
}

void add_waterfall(spectrum* s) {
  if (s->pending.empty()) s->pending.assign(waterfall_columns, 0.0);
  for (int c = 0; c < waterfall_columns; ++c) {
    const int b0 = static_cast<int>(int64_t(c) * s->n / waterfall_columns);
    const int b1 = std::max(b0 + 1, static_cast<int>(int64_t(c + 1) * s->n / waterfall_columns));
    double m = 0;  // the strongest bin of the column keeps narrow signals visible
    for (int i = b0; i < b1; ++i) m = std::max(m, shifted_power(*s, i));
    s->pending[c] += m;
  }
  if (++s->pending_ffts < s->per_row) return;
  if (s->row_count == waterfall_max_rows) {
    for (int r = 0; r < s->row_count / 2; ++r)
      for (int c = 0; c < waterfall_columns; ++c) {
        const size_t a = size_t(2 * r) * waterfall_columns + c;
        s->rows[size_t(r) * waterfall_columns + c] =
            0.5f * (s->rows[a] + s->rows[a + waterfall_columns]);
      }
    s->row_count /= 2;
    s->per_row *= 2;
    s->rows.resize(size_t(s->row_count) * waterfall_columns);
    if (s->pending_ffts < s->per_row) return;
  }
  for (int c = 0; c < waterfall_columns; ++c)
    s->rows.push_back(static_cast<float>(s->pending[c] / s->pending_ffts));
  ++s->row_count;
  std::fill(s->pending.begin(), s->pending.end(), 0.0);
  s->pending_ffts = 0;
}

void run_fft(spectrum* s) {
  for (int i = 0; i < s->n; ++i) {
    s->in[i][0] = s->raw[i].real() * s->window[i];
    s->in[i][1] = s->raw[i].imag() * s->window[i];
  }
  fftwf_execute(s->plan.get());
  for (int k = 0; k < s->n; ++k)
    s->sum[k] += double(s->out[k][0]) * s->out[k][0] + double(s->out[k][1]) * s->out[k][1];
  ++s->ffts;
  add_waterfall(s);
}

// Equivalent noise bandwidth of the window in bins.
double enbw_bins(const spectrum& s) {
  double sum = 0, sum2 = 0;
  for (float w : s.window) {
    sum += w;
    sum2 += double(w) * w;
  }
  return s.n * sum2 / (sum * sum);
}

std::vector<double> averaged_power(const spectrum& s) {
  std::vector<double> p(s.n);
  for (int i = 0; i < s.n; ++i) p[i] = s.sum[(i + s.n / 2) % s.n] / double(s.ffts);
  return p;
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

}  // namespace

int fft_size_for_rate(double rate) {
  if (rate <= 48000) return 4096;
  if (rate <= 96000) return 8192;
  return 16384;
}

spectrum::spectrum(int n, double rate)
    : n(n),
      rate(rate),
      raw(n),
      window(n),
      in(fftwf_alloc_complex(n)),
      out(fftwf_alloc_complex(n)),
      plan(fftwf_plan_dft_1d(n, in.get(), out.get(), FFTW_FORWARD, FFTW_ESTIMATE)),
      sum(n, 0.0) {
  double total = 0;
  for (int i = 0; i < n; ++i) total += blackman_harris(i, n);
  for (int i = 0; i < n; ++i)
    window[i] = static_cast<float>(blackman_harris(i, n) / (total * full_scale));
}

void spectrum_feed(spectrum* s, const std::complex<float>* x, size_t count) {
  const int hop = s->n / 2;
  while (count > 0) {
    const size_t take = std::min<size_t>(count, size_t(s->n - s->fill));
    std::copy(x, x + take, s->raw.begin() + s->fill);
    s->fill += static_cast<int>(take);
    x += take;
    count -= take;
    if (s->fill == s->n) {
      run_fft(s);
      std::copy(s->raw.begin() + hop, s->raw.end(), s->raw.begin());
      s->fill = s->n - hop;
    }
  }
}

std::vector<double> averaged_dbfs(const spectrum& s) {
  if (s.ffts == 0) return {};
  std::vector<double> p = averaged_power(s);
  for (double& v : p) v = to_db(v);
  return p;
}

std::vector<float> waterfall_row_dbfs(const spectrum& s, int r) {
  std::vector<float> row(waterfall_columns);
  for (int c = 0; c < waterfall_columns; ++c)
    row[c] = static_cast<float>(to_db(s.rows[size_t(r) * waterfall_columns + c]));
  return row;
}

double seconds_per_row(const spectrum& s) {
  return s.per_row * (s.n / 2) / s.rate;
}

double noise_floor_dbfs(const spectrum& s) {
  if (s.ffts == 0) return -300;
  return to_db(median(averaged_power(s)));
}

std::vector<peak> find_peaks(const spectrum& s, int max_peaks) {
  std::vector<peak> peaks;
  if (s.ffts == 0 || max_peaks <= 0) return peaks;
  const std::vector<double> p = averaged_power(s);
  const double floor = median(p);
  const double threshold = floor * std::pow(10.0, detect_db / 10);
  const double bin_hz = s.rate / s.n;
  const int spacing = static_cast<int>(std::ceil(peak_spacing_hz / bin_hz));
  const int skirt = static_cast<int>(std::ceil(skirt_hz / bin_hz));
  std::vector<int> candidates;
  for (int i = 1; i + 1 < s.n; ++i)
    if (p[i] > threshold && p[i] > p[i - 1] && p[i] >= p[i + 1]) candidates.push_back(i);
  std::sort(candidates.begin(), candidates.end(), [&](int a, int b) { return p[a] > p[b]; });
  std::vector<int> taken;
  const double enbw = enbw_bins(s);
  for (int i : candidates) {
    if (int(taken.size()) == max_peaks) break;
    // Too close to a stronger signal, or on its skirt: the keying sidebands
    // of a Morse signal are not signals of their own.
    if (std::any_of(taken.begin(), taken.end(), [&](int t) {
          return std::abs(t - i) < spacing ||
                 (std::abs(t - i) < skirt && p[i] < p[t] * skirt_ratio);
        }))
      continue;
    taken.push_back(i);
    // Where the maximum lies between bins: a parabola through the levels.
    const double a = to_db(p[i - 1]), b = to_db(p[i]), c = to_db(p[i + 1]);
    const double den = a - 2 * b + c;
    const double delta = den < 0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
    double power = 0;
    int bins = 0;
    for (int j = std::max(0, i - level_half_width); j <= std::min(s.n - 1, i + level_half_width);
         ++j, ++bins)
      power += p[j];
    power = std::max(power - bins * floor, p[i] * 1e-3);
    peaks.push_back({(i - s.n / 2 + delta) * bin_hz, to_db(power / enbw)});
  }
  return peaks;
}
