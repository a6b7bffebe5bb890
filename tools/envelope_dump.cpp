// Prints both keying envelopes, one entry per line, with the bit patterns of
// their last running sum and scale factor. The test script runs it natively
// and under the ARM emulator and compares the two outputs: the tables must be
// bit-identical on every target.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hardware/envelope.h"

namespace {

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

void dump(const char* name, int steps, int32_t peak) {
  int32_t entries[tx_ramp_steps_count + 1];
  float sum = 0;
  float scale = 0;
  envelope_compute(steps, static_cast<float>(peak), entries, &sum, &scale);
  std::printf("%s steps %d sum 0x%08X scale 0x%08X\n", name, steps, bits(sum), bits(scale));
  for (int j = 0; j <= steps; ++j) std::printf("%s %d %d\n", name, j, entries[j]);
}

}  // namespace

int main() {
  dump("tx_ramp", tx_ramp_steps_count, tx_ramp_peak);
  dump("dac_ramp", dac_ramp_steps_count, dac_ramp_peak);
  return 0;
}
