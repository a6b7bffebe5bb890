// The simulated FPGA behind the device layer.
//
// Attached as the fpga_observer (src/hardware/fpga.h), the model sees every
// store the server makes, in order, and serves the status registers, the
// XADC words and the bulk FIFO reads. It keeps real time against
// CLOCK_MONOTONIC (platform->clock_now): whenever it is touched, and every
// millisecond on its own thread, it brings its FIFOs up to "now" under the
// state that held until then, so a register store takes effect at the
// moment it is made.
//
// Receive side. While `rx_rst` bit 0 is set the receive FIFO fills with one
// 32-byte record per sample instant at 30720000 / `rx_rate` records per
// second; a clear bit 0 holds the FIFO empty (power-on state: start-up never
// touches the bit, the stream thread pulses it at every start). The FIFO
// holds 8192 words (1024 records, the 32 KB window of the fifo block): when
// it is full `rx_cntr` reads 8192 and further records are lost, which the
// stream thread sees as its overflow (8192 or more). (A stream that wakes
// late, finds a full FIFO while waiting for a batch and reads it, is below
// 8192 at its next check: the lost records show only in the trace.)
// Receivers 1..4 deliver
// two 24-bit words per sample, most significant byte first, at record bytes
// 0..5, 6..11, 18..23 and 24..29: Q, then I of the analytic signal (read as
// second + j*first, a carrier above the tuned frequency sits at a positive
// offset); bytes 12..17 and 30..31 carry nothing for the client. In counter
// mode the first word counts the records and the second is the receiver's
// number.
// Receivers 1, 2 and 3 are tuned by `rx_freq`[0..2]; receiver 4 is tuned by
// `tx_freq`, so that it listens to the transmitter (a monitor receiver).
// Each receiver mixes the scene (carriers, optionally keyed, and a noise
// floor) down by its own oscillator; a carrier farther than 0.45 x the
// sample rate from the receiver's frequency is outside its filter. `lo_rst`
// bit 0 restarts receiver 1's oscillator, bit 1 receiver 2's, bit 2 all of
// them and the transmitter's (on the rising edge).
//
// Transmit side. The transmit FIFO (4096 words) gives up one word pair per
// 48 kHz sample (first word: audio or zero, second: the I/Q word, two 16-bit
// halves with the most significant byte first, Q then I as the receivers
// send them; a lone word waits for its other half); the codec's audio-out
// FIFO (2048 words) one word per sample; both keep draining whether or not
// they hold anything. A falling edge of `tx_rst` bit 0 empties the transmit
// FIFO.
// The microphone FIFO (2048 words) fills with a 1 kHz test tone at -20 dBFS
// at 48 kHz while `rx_rst` bit 1 is set and bit 2 (no codec) clear; a
// falling edge of bit 1 empties it. The transmitter sends the client's I/Q
// while `gpio_out` bit 0 (MOX) or `gpio_in` bit 0 (PTT) is set, or, while
// `tx_rst` bit 4 is set, a carrier keyed by bit 2 and shaped by the
// `tx_ramp` envelope (stepped at 200 kHz: 1001 steps rise in about 5 ms);
// either is scaled by `tx_level` (21910 = full drive). The receivers hear
// the transmission at `tx_freq`, 40 dB below full scale at full drive.
// The XADC words 24 (forward power) and 16 (reverse power) follow the
// transmitted amplitude, word 25 (supply) sags a little under load, word 17
// stays steady; 12-bit readings in bits 4..15, as the XADC delivers them.
//
// Every store to a `cfg` register or to `alex`, every envelope store, every
// FIFO overflow, underrun and reset and every `gpio_in` change goes to the
// trace (sim/sim_trace.h).
//
// Threads: the hooks run on whichever server thread touches the FPGA; the
// model's own thread runs sim_fpga_step every millisecond, which also reads
// and traces the far side of the serial port (sim_uart_poll in
// sim_platform.h, so sim_uart_drain finds nothing while it runs). One lock
// inside the model orders them; `gpio_in` loads take no lock.
//
// Inside: registers and FIFOs in sim_fpga.cpp, the receivers' signals in
// sim_receivers.cpp, the transmitter, audio and XADC in sim_transmitter.cpp
// (their shared state: sim_fpga_model.h).
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_scene.h"

struct sim_model_config {
  sim_scene scene = sim_default_scene();
  std::vector<sim_gpio_step> gpio;  // input-line script, times from sim_fpga_init
  bool counter = false;             // records carry a counter (I = records since the last
                                    // receive FIFO restart, 24 bits; Q = receiver number)
  double tx_coupling_db = -40;      // level of the own transmission in the receivers
  uint32_t noise_seed = 0x9E3779B9u;
};

// Puts the model into its power-on state, takes now as the epoch
// (sim_epoch_ns) and attaches it as fpga_obs. sim_board_select calls it
// (sim_platform.h), before start-up; the FPGA blocks need not be mapped yet.
void sim_fpga_init(const sim_model_config& config);
// Stops the model thread (if running) and detaches the observer.
void sim_fpga_shutdown();
// Starts the model's thread (sim_fpga_step every millisecond). False when
// the thread cannot be created.
bool sim_fpga_start_thread();
// Brings the model up to now: FIFOs, transmitter, input-line script, and
// reads the serial port. The model thread calls it; tests that drive time
// call it themselves.
void sim_fpga_step();
// Sets `gpio_in` now, as the script does (traced).
void sim_fpga_set_gpio(uint8_t value);

// Counts since sim_fpga_init (tests, benchmarks).
struct sim_fpga_counts {
  uint64_t rx_records = 0;  // records put into the receive FIFO
  uint64_t rx_dropped = 0;  // records lost to a full receive FIFO
  uint32_t rx_overflows = 0, rx_underruns = 0, rx_resets = 0;
  uint32_t tx_overflows = 0, tx_underruns = 0, tx_resets = 0;
  uint32_t dac_overflows = 0, dac_underruns = 0;
  uint32_t adc_overflows = 0, adc_underruns = 0, adc_resets = 0;
  uint64_t tx_words = 0;     // words stored into the transmit FIFO
  uint32_t uart_frames = 0;  // CI-V frames traced from the serial port (since sim_reset)
};
sim_fpga_counts sim_fpga_stats();

// Generates `count` receive records (count x 32 bytes) at the current
// tuning and rate straight into `out`, bypassing the FIFO and the clock;
// for benchmarks of the signal path. Advances the oscillators.
void sim_fpga_generate(uint8_t* out, uint32_t count);
