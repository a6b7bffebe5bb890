// The picture of a stream: per receiver the spectrum averaged over the run
// (dBFS against frequency in kHz around the tuned frequency, the strongest
// signals marked) and a waterfall over the run (time downwards from the
// start, colour the level in dBFS, with its scale). A PNG image
// picture_width pixels wide and picture_height(receivers) high.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"

constexpr int picture_width = 1000;
constexpr int picture_header = 44;
constexpr int picture_panel = 440;  // per receiver
constexpr int picture_height(int receivers) {
  return picture_header + picture_panel * receivers;
}

struct picture_receiver {
  int number;
  uint32_t hz;  // tuned frequency
  const spectrum* s;
  std::vector<peak> peaks;
};

struct picture_input {
  std::string title;
  double rate = 0;
  double seconds = 0;
  std::vector<picture_receiver> rx;
};

// False with a message when the file cannot be written.
bool write_picture(const std::string& path, const picture_input& in, std::string* error);
