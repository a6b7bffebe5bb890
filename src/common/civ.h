// Framing of the serial band message: the radio's bus protocol, one message
// per band change (control/icom.cpp sends it, the simulator's serial port
// splits what it reads at the end byte).
#pragma once

#include <cstdint>

constexpr uint8_t civ_preamble = 0xFE;  // sent twice to open a message
constexpr uint8_t civ_end = 0xFD;       // closes every message
