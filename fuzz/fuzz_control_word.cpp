// Fuzz target: the control-word decoder alone, after start-up on the
// simulated board with every I2C accessory answering (the codec included).
//
// Input: control words of five bytes each, C0..C4, decoded in order; a
// shorter remainder is ignored. Each input starts from a freshly started
// board.
#include <cstddef>
#include <cstdint>

#include "control/decoder.h"
#include "fuzz_board.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_board_up(fuzz_all_accessories, false);
  for (; size >= 5; data += 5, size -= 5) process_ep2(data);
  fuzz_board_down();
  return 0;
}
