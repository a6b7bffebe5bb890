#include "sim/sim_scene.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Upper bound for a carrier: the receivers' clock is 122.88 MHz, and the
// scene is meant for what its anti-alias filter passes.
constexpr double scene_max_hz = 61440000.0;

bool parse_double(const std::string& s, double* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *v = std::strtod(s.c_str(), &end);
  return errno == 0 && end && *end == '\0' && std::isfinite(*v);
}

bool parse_long(const std::string& s, int base, long long* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *v = std::strtoll(s.c_str(), &end, base);
  return errno == 0 && end && *end == '\0';
}

std::vector<std::string> words_of(const std::string& raw) {
  const std::string text = raw.substr(0, raw.find('#'));
  std::istringstream in(text);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

std::string at_line(int n, const std::string& what) {
  return "line " + std::to_string(n) + ": " + what;
}

const char* morse_code(char c) {
  static const char* const letters[26] = {".-",   "-...", "-.-.", "-..",  ".",    "..-.", "--.",
                                          "....", "..",   ".---", "-.-",  ".-..", "--",   "-.",
                                          "---",  ".--.", "--.-", ".-.",  "...",  "-",    "..-",
                                          "...-", ".--",  "-..-", "-.--", "--.."};
  static const char* const digits[10] = {"-----", ".----", "..---", "...--", "....-",
                                         ".....", "-....", "--...", "---..", "----."};
  if (c >= 'A' && c <= 'Z') return letters[c - 'A'];
  if (c >= 'a' && c <= 'z') return letters[c - 'a'];
  if (c >= '0' && c <= '9') return digits[c - '0'];
  if (c == '/') return "-..-.";
  if (c == '?') return "..--..";
  return nullptr;
}

}  // namespace

std::vector<uint8_t> sim_morse_pattern(const std::string& text) {
  std::vector<uint8_t> units;
  auto gap = [&](size_t n) { units.insert(units.end(), n, 0); };
  bool letter_open = false;  // a letter was sent and its trailing space is owed
  for (char c : text) {
    if (c == '_' || c == ' ') {
      if (letter_open) gap(7);
      letter_open = false;
      continue;
    }
    const char* code = morse_code(c);
    if (!code) continue;
    if (letter_open) gap(3);
    for (const char* e = code; *e; ++e) {
      if (e != code) gap(1);
      units.insert(units.end(), *e == '-' ? 3 : 1, 1);
    }
    letter_open = true;
  }
  if (letter_open) gap(7);
  return units;
}

bool sim_scene_parse(const std::string& text, sim_scene* scene, std::string* error) {
  sim_scene s;
  std::istringstream in(text);
  std::string raw;
  int n = 0;
  while (std::getline(in, raw)) {
    ++n;
    const std::vector<std::string> w = words_of(raw);
    if (w.empty()) continue;
    if (w[0] == "noise") {
      double level;
      if (w.size() != 2 || !parse_double(w[1], &level) || level > 0) {
        *error = at_line(n, "expected: noise DBFS (0 or less)");
        return false;
      }
      s.noise_dbfs = level;
      continue;
    }
    sim_carrier c;
    if (w.size() > 4 || w.size() < 2 || !parse_double(w[0], &c.hz) || c.hz < 0 ||
        c.hz > scene_max_hz) {
      *error = at_line(n, "expected: FREQUENCY_HZ LEVEL_DBFS [PATTERN [UNIT_MS]]");
      return false;
    }
    if (!parse_double(w[1], &c.dbfs) || c.dbfs > 0) {
      *error = at_line(n, "the level is in dBFS, 0 or less");
      return false;
    }
    if (w.size() >= 3) {
      const std::string& p = w[2];
      if (p.rfind("morse:", 0) == 0) {
        c.pattern = sim_morse_pattern(p.substr(6));
      } else {
        for (char ch : p) {
          if (ch != '0' && ch != '1') {
            c.pattern.clear();
            break;
          }
          c.pattern.push_back(ch == '1');
        }
      }
      if (c.pattern.empty()) {
        *error = at_line(n, "the keying pattern is a string of 0 and 1, or morse:TEXT");
        return false;
      }
    }
    if (w.size() == 4) {
      long long unit;
      if (!parse_long(w[3], 10, &unit) || unit < 1 || unit > 60000) {
        *error = at_line(n, "the keying unit is 1..60000 ms");
        return false;
      }
      c.unit_ms = static_cast<uint32_t>(unit);
    }
    s.carriers.push_back(std::move(c));
  }
  *scene = std::move(s);
  return true;
}

bool sim_gpio_parse(const std::string& text, std::vector<sim_gpio_step>* steps,
                    std::string* error) {
  std::vector<sim_gpio_step> out;
  std::istringstream in(text);
  std::string raw;
  int n = 0;
  while (std::getline(in, raw)) {
    ++n;
    const std::vector<std::string> w = words_of(raw);
    if (w.empty()) continue;
    long long ms, value;
    if (w.size() != 2 || !parse_long(w[0], 10, &ms) || ms < 0 || !parse_long(w[1], 0, &value) ||
        value < 0 || value > 255) {
      *error = at_line(n, "expected: MILLISECONDS VALUE (value 0..255)");
      return false;
    }
    if (ms > sim_gpio_max_ms) {
      *error = at_line(n, "times are 0.." + std::to_string(sim_gpio_max_ms) + " ms");
      return false;
    }
    if (!out.empty() && ms < out.back().ms) {
      *error = at_line(n, "times must not decrease");
      return false;
    }
    out.push_back({ms, static_cast<uint8_t>(value)});
  }
  *steps = std::move(out);
  return true;
}

sim_scene sim_default_scene() {
  static const char* const text =
      "noise -105\n"
      // Broadcast stations around the power-on tuning of 600 kHz.
      "594000 -45\n"
      "603000 -60\n"
      "612000 -52\n"
      // 160 m to 10 m: steady carriers and keyed CW signals.
      "1832000 -80 morse:CQ_CQ_DE_DL0SIM 70\n"
      "1910000 -72\n"
      "3525000 -75 morse:TEST_DE_DL0SIM 60\n"
      "3650000 -64\n"
      "7012000 -70 morse:CQ_DE_DL0SIM_K 50\n"
      "7030000 -85 morse:QRL? 80\n"
      "7100000 -55\n"
      "7150000 -68\n"
      "10118000 -90 morse:VVV_DE_DL0SIM 60\n"
      "14020000 -66 morse:CQ_DX_DE_DL0SIM 45\n"
      "14200000 -58\n"
      "18080000 -84\n"
      "21040000 -78 morse:CQ_CQ_TEST 55\n"
      "21300000 -70\n"
      "24910000 -88\n"
      "28050000 -82 morse:DE_DL0SIM_BEACON 60\n"
      "28500000 -74\n";
  sim_scene s;
  std::string error;
  sim_scene_parse(text, &s, &error);
  return s;
}

bool sim_read_file(const char* path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == 0) errno = ENOENT;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return true;
}
