// Spectra of one receiver's I/Q stream: an averaged power spectrum (Welch:
// Blackman-Harris window, half-overlapping FFTs), a waterfall over the run,
// and the strongest signals in it.
//
// Levels are in dBFS of a 24-bit receiver sample: a complex tone whose
// magnitude is full scale (8388607) is 0 dBFS. The displayed spectrum is
// scaled so that a tone shows at its level; the noise floor it shows depends
// on the bin width (reported as dBFS per bin).
#pragma once

#include <fftw3.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

// The largest 24-bit receiver sample, 2^23 - 1: full scale of the dBFS
// levels and 1.0 of the float WAV recordings.
constexpr double full_scale = 8388607.0;

// Columns of the waterfall: the width of the plot area of the picture, one
// pixel per column.
constexpr int waterfall_columns = 840;
// Rows kept before neighbouring rows are merged (bounded memory on long runs).
constexpr int waterfall_max_rows = 1024;

struct fftw_buffer_free {
  void operator()(fftwf_complex* p) const { fftwf_free(p); }
};
struct fftw_plan_destroy {
  void operator()(fftwf_plan p) const { fftwf_destroy_plan(p); }
};

// One receiver's spectra; the FFT buffers and plan are its own and go with it.
struct spectrum {
  // An `n`-point FFT of samples at `rate` per second.
  spectrum(int n, double rate);

  int n;                                 // FFT size
  double rate;                           // samples per second
  std::vector<std::complex<float>> raw;  // samples waiting for the next FFT
  int fill = 0;
  std::vector<float> window;  // scaled: a tone on a bin reads its level
  std::unique_ptr<fftwf_complex[], fftw_buffer_free> in, out;
  std::unique_ptr<std::remove_pointer_t<fftwf_plan>, fftw_plan_destroy> plan;
  std::vector<double> sum;  // power per bin (unshifted), summed over FFTs
  uint64_t ffts = 0;
  // Waterfall: rows of waterfall_columns powers (linear, display scale),
  // frequency increasing to the right; each row averages `per_row` FFTs.
  std::vector<float> rows;
  int row_count = 0;
  int per_row = 1;
  std::vector<double> pending;  // the row being averaged
  int pending_ffts = 0;
};

// FFT size for a sample rate: about 12 Hz per bin up to 192 kHz.
int fft_size_for_rate(double rate);

// Adds samples (full-scale units: 24-bit counts).
void spectrum_feed(spectrum* s, const std::complex<float>* x, size_t count);

// The averaged spectrum in dBFS, from -rate/2 to +rate/2 (bin n/2 is 0 Hz);
// empty before the first FFT.
std::vector<double> averaged_dbfs(const spectrum& s);
// Waterfall row r (0 = earliest) in dBFS.
std::vector<float> waterfall_row_dbfs(const spectrum& s, int r);
// Seconds of signal each waterfall row covers.
double seconds_per_row(const spectrum& s);

struct peak {
  double offset_hz;   // from the tuned frequency
  double level_dbfs;  // power of the signal, whatever its bin position
};
// The strongest signals, strongest first: local maxima at least 10 dB above
// the median level, at least 200 Hz apart, within 1 kHz of a stronger one
// only when less than 30 dB below it, at most `max_peaks`. Each level
// sums the power around its maximum, less the noise in those bins, so that
// a tone between two bins reads the same as one on a bin.
std::vector<peak> find_peaks(const spectrum& s, int max_peaks);
// Median of the averaged spectrum: the noise floor in dBFS per bin.
double noise_floor_dbfs(const spectrum& s);
