// EP2 control-word decoder.
//
// Every EP2 block carries five control bytes C0..C4. C0 bit 0 is the MOX bit
// (the client asks to transmit); C0 bits 1..7 are the address of the word,
// which says what C1..C4 carry. Addresses not listed below, and every C0 of
// 0x22 and above, are ignored without any effect.
#pragma once

#include <cstdint>

// C0 of each handled word with MOX clear; the same word with MOX set is C0 | ep2_c0::mox.
namespace ep2_c0 {
constexpr uint8_t mox = 0x01;
constexpr uint8_t general = 0x00;             // rate, outputs, antennas, receivers, sync
constexpr uint8_t tx_frequency = 0x02;        // Hz, big-endian C1..C4
constexpr uint8_t rx1_frequency = 0x04;       // Hz
constexpr uint8_t rx2_frequency = 0x06;       // Hz
constexpr uint8_t rx3_frequency = 0x08;       // Hz
constexpr uint8_t drive_filters = 0x12;       // drive level, mic boost, manual filters
constexpr uint8_t rx_attenuation = 0x14;      // receive attenuation, dB
constexpr uint8_t attenuation_keyer = 0x16;   // second attenuation, keyer timing
constexpr uint8_t tx_attenuation = 0x1C;      // transmit attenuation (arduino board only)
constexpr uint8_t keyer_sidetone = 0x1E;      // keyer enable, RF delay, sidetone level
constexpr uint8_t hang_sidetone_freq = 0x20;  // PTT hang time, sidetone frequency
constexpr uint8_t first_ignored = 0x22;       // this and every larger C0 is ignored
}  // namespace ep2_c0

// Decodes one control word: c points at C0, followed by C1..C4; nothing else
// of the block is read. Stores the settings in the control state, writes the
// FPGA registers that follow from them, sends changed values to the I2C
// accessories found at start-up (cache updated first, results ignored), calls
// icom_write() when the transmit frequency changes and raises alex_update,
// misc_update and nucleo_update. Frequencies above freq_max are ignored.
// Main thread only (receive loop); needs the FPGA blocks mapped.
void process_ep2(const uint8_t* c);
