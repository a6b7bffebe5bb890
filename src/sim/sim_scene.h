// What the simulated antenna hears, and the simulated input lines.
//
// Scene file, one item per line, '#' starts a comment:
//
//   noise DBFS                          noise floor: RMS of each of I and Q
//   FREQUENCY_HZ LEVEL_DBFS [PATTERN [UNIT_MS]]
//
// A carrier line gives the frequency in Hz (0..61440000) and the level in
// dBFS (0 dBFS: a 24-bit receiver sample at full scale). PATTERN keys the
// carrier on and off: a string of 1 (on) and 0 (off), or "morse:TEXT" (TEXT
// in letters, digits and '_' for a word space, sent with the usual 1-3-7
// unit timing). One pattern character lasts UNIT_MS milliseconds (default
// 60: 20 words per minute) and the pattern repeats for ever.
//
// Input-line script (--gpio FILE), one change per line, '#' comments:
//
//   MILLISECONDS VALUE
//
// From MILLISECONDS after the board came up, `gpio_in` reads VALUE (0..255,
// decimal or 0x hex): bit 0 the PTT input, bits 1 and 2 the paddles.
// Times must not decrease and reach at most sim_gpio_max_ms (about 24 days;
// the model counts time in 64-bit nanoseconds).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sim_carrier {
  double hz = 0;
  double dbfs = 0;
  std::vector<uint8_t> pattern;  // 1 on, 0 off per unit; empty: always on
  uint32_t unit_ms = 60;
};

struct sim_scene {
  double noise_dbfs = -100;
  std::vector<sim_carrier> carriers;
};

struct sim_gpio_step {
  int64_t ms;
  uint8_t value;
};
constexpr int64_t sim_gpio_max_ms = 2147483647;

// Parses a scene; false and a message naming the line on a fault.
bool sim_scene_parse(const std::string& text, sim_scene* scene, std::string* error);
// Parses an input-line script; false and a message naming the line on a fault.
bool sim_gpio_parse(const std::string& text, std::vector<sim_gpio_step>* steps, std::string* error);

// Carriers on several HF bands, some of them keyed, and broadcast stations
// around 600 kHz, where the receivers are tuned at power-on.
sim_scene sim_default_scene();

// On/off units for a text in Morse code: dot 1 unit, dash 3, 1 between
// elements, 3 between letters, 7 between words ('_' or ' '), and a word
// space at the end so that the repetitions stand apart. Unknown characters
// are skipped.
std::vector<uint8_t> sim_morse_pattern(const std::string& text);

// Reads a whole file; false with errno set on failure.
bool sim_read_file(const char* path, std::string* text);
