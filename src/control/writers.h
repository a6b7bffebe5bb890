// Accessory writers: each brings one device up to date from the control
// state, sending only what differs from its last-sent cache (the cache is
// updated first; a failed send is not repeated until the value changes).
// Main thread only: the receive loop calls alex_write, misc_write and
// nucleo_write after each batch, process_ep2 calls icom_write.
#pragma once

#include <cstdint>

// The accessory pass, in this order: merges cw_ptt into bit 0 of filter_settings
// and, when that sets a bit, calls alex_write (else only when alex_update is
// set); calls misc_write when misc_update is set; merges cw_ptt into bit 0 of
// nucleo_settings (kept to 16 bits) and calls nucleo_write when that changes the
// word (else only when nucleo_update is set). Each update flag is cleared
// before its writer is called. The merge only ever sets bits. Main thread.
void accessory_updates();

// Alex filter words to the alex register: the receive word (high-pass,
// receive antenna, attenuator, MOX) as 0x10000 | word, then the transmit word
// (low-pass, transmit antenna, relay, MOX) as 0x20000 | word, each only when
// it changed. Filters follow filter_manual when its bit 15 asks for manual
// selection, else the frequencies. Does nothing at all with a codec present.
void alex_write();

// Band word to the misc board at I2C 0x23: 0x02, word bits 0-7, bits 8-15.
void misc_write();

// Word and band byte to the nucleo board at I2C 0x55: the 32-bit word least
// significant byte first, then the band byte. Sends nothing when no nucleo
// board answered at start-up.
void nucleo_write();

// CI-V frame on the serial port (uart_fd) announcing a typical frequency of
// the transmit band, when that band changed. Without a port the band is
// still recorded.
void icom_write();

// Band numbers of the band-decoder boards for a frequency in Hz: 1..10
// (misc) or 1..11 (nucleo, which has an extra 5.25-5.45 MHz band); 0 when
// f lies in no band. A band holds the frequencies above its lower edge up to
// and including its upper edge.
int misc_band(uint32_t hz);
int nucleo_band(uint32_t hz);
