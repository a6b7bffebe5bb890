#include "control/decoder.h"

// PLACEHOLDER (decoder not yet built): control words are ignored.
void process_ep2(const uint8_t*) {}
