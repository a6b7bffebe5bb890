// EP2 control-word decoder.
#pragma once

#include <cstdint>

// Decodes one control word: c points at C0, followed by C1..C4. Main thread.
void process_ep2(const uint8_t* c);
