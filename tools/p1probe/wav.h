// The receivers' I/Q as one multi-channel WAV file: channels 2r-1 and 2r
// are receiver r's I and Q of the analytic signal (left I, right Q, as SDR
// programs read I/Q recordings: a carrier above the tuned frequency at a
// positive offset), at the stream's sample rate, as 32-bit float (full
// scale 1.0) or 24-bit integers (the radio's own samples, exactly).
// A plain WAV file, which every program opens, unless the planned length
// would pass the 4 GB that WAV can describe: then RF64.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sndfile_close {
  void operator()(SNDFILE* f) const { sf_close(f); }
};

// No file until wav_open; the file is closed when the wav_file goes, on
// whatever path (wav_close closes it earlier and says whether that worked).
struct wav_file {
  std::unique_ptr<SNDFILE, sndfile_close> file;
  int channels = 0;
  bool pcm24 = false;
  std::vector<float> scratch;  // conversion buffer, grown once
  std::vector<int> scratch_int;
};

// `planned_frames`: the length the run is meant to have. False with a
// message when the file cannot be created.
bool wav_open(wav_file* w, const std::string& path, int rate, int channels, bool pcm24,
              double planned_frames, std::string* error);
// `frames` interleaved sample frames of 24-bit values; false on a write error.
bool wav_write(wav_file* w, const int32_t* samples, size_t frames);
// Writes `frames` frames of silence (for lost frames, so that time stays right).
bool wav_write_silence(wav_file* w, size_t frames);
// Finishes the header and closes the file; false when the file could not be
// completed.
bool wav_close(wav_file* w);
