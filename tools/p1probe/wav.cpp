#include "wav.h"

#include "analysis.h"  // full_scale

namespace {

// What a WAV header can describe, less room for the header and the silence
// that stands in for lost frames.
constexpr double wav_limit_bytes = 4.0e9;

}  // namespace

bool wav_open(wav_file* w, const std::string& path, int rate, int channels, bool pcm24,
              double planned_frames, std::string* error) {
  const double bytes = planned_frames * channels * (pcm24 ? 3 : 4);
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = (bytes < wav_limit_bytes ? SF_FORMAT_WAV : SF_FORMAT_RF64) |
                (pcm24 ? SF_FORMAT_PCM_24 : SF_FORMAT_FLOAT);
  w->file.reset(sf_open(path.c_str(), SFM_WRITE, &info));
  if (!w->file) {
    *error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  w->channels = channels;
  w->pcm24 = pcm24;
  return true;
}

bool wav_write(wav_file* w, const int32_t* samples, size_t frames) {
  if (!w->file) return true;
  const size_t n = frames * w->channels;
  if (w->pcm24) {
    // libsndfile takes integers left-aligned in 32 bits.
    w->scratch_int.resize(n);
    for (size_t i = 0; i < n; ++i) w->scratch_int[i] = static_cast<int>(samples[i] * 256);
    return sf_writef_int(w->file.get(), w->scratch_int.data(), static_cast<sf_count_t>(frames)) ==
           static_cast<sf_count_t>(frames);
  }
  w->scratch.resize(n);
  for (size_t i = 0; i < n; ++i) w->scratch[i] = static_cast<float>(samples[i] / full_scale);
  return sf_writef_float(w->file.get(), w->scratch.data(), static_cast<sf_count_t>(frames)) ==
         static_cast<sf_count_t>(frames);
}

bool wav_write_silence(wav_file* w, size_t frames) {
  if (!w->file) return true;
  w->scratch.assign(frames * w->channels, 0.0f);
  return sf_writef_float(w->file.get(), w->scratch.data(), static_cast<sf_count_t>(frames)) ==
         static_cast<sf_count_t>(frames);
}

bool wav_close(wav_file* w) {
  if (!w->file) return true;
  return sf_close(w->file.release()) == 0;
}
