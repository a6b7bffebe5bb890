// EP2 control-word decoder.
//
// Every EP2 block carries five control bytes C0..C4. C0 bit 0 is the MOX bit
// (the client asks to transmit); C0 bits 1..7 are the address of the word,
// which says what C1..C4 carry. Addresses that ep2_c0 does not list, and
// every C0 from ep2_c0::first_ignored on, are ignored without any effect.
#pragma once

#include <cstdint>

#include "common/protocol.h"  // ep2_c0: the addresses of the words

// Decodes one control word: c points at C0, followed by C1..C4; nothing else
// of the block is read. Stores the settings in the control state, writes the
// FPGA registers that follow from them, sends changed values to the I2C
// accessories found at start-up (cache updated first, results ignored), calls
// icom_write() when the transmit frequency changes and raises alex_update,
// misc_update and nucleo_update. Frequencies above freq_max are ignored.
// Main thread only (receive loop); needs the FPGA blocks mapped.
void process_ep2(const uint8_t* c);
