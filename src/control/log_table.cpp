#include "control/log_table.h"

#include <cmath>

#include "control/state.h"

void fill_drive_db_table() {
  drive_db_table[0] = 63;
  drive_db_table[1] = 63;
  for (int i = 2; i < 256; ++i) {
    // The level goes through single precision on the way in, and the product
    // is narrowed to single precision before it is truncated.
    float v =
        static_cast<float>(-40.0 * std::log10(static_cast<double>(static_cast<float>(i)) / 255.0));
    drive_db_table[i] = v > 63.0f ? 63 : static_cast<uint8_t>(static_cast<unsigned>(v));
  }
}
