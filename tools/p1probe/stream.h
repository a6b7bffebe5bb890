// A stream from the radio as a client runs it: discovery (is it there, is
// it free), the control words and the start command, the EP2 feed, the EP6
// frames counted and their samples checked and analysed, the stop, and the
// report. `stream` and `transmit` are both this run; `transmit` adds MOX and
// a tone.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"
#include "radio.h"

struct stream_options {
  std::string host;  // as given on the command line
  uint16_t port = 1024;
  int rate_code = 0;            // 0..3: 48, 96, 192, 384 kHz
  int receivers = 1;            // 1..8
  std::vector<uint32_t> rx_hz;  // one per receiver, Hz
  uint32_t tx_hz = 0;
  double seconds = 10;
  int max_peaks = 5;
  std::string wav_path;
  bool wav_pcm24 = false;
  std::string png_path;
  bool json = false;
  bool take_over = false;  // start even when the radio streams to someone else
  // transmit
  bool transmit = false;
  double tone_hz = 0;
  int drive = 0;  // 0..255
};

// Readings of one analogue monitor value from the status words (raw 16-bit).
struct analogue_reading {
  bool seen = false;
  uint16_t min = 0, max = 0, last = 0;
};
// The analogue values at their Protocol 1 places: C0 address 1 carries
// C1..C2 and C3..C4, addresses 2 and 3 likewise.
enum analogue_index { an_exciter, an_forward, an_reverse, an_ain3, an_ain4, an_ain6, an_count };
extern const char* const analogue_names[an_count];

struct receiver_report {
  int number = 0;
  uint32_t hz = 0;
  uint64_t samples = 0;
  double rate_hz = 0;  // samples received per second, from kernel arrival stamps
  // Counter mode (the radio numbers its samples): every gap, exactly.
  uint64_t samples_lost = 0;
  uint64_t counter_restarts = 0;  // the count began again from 0 (FIFO restarted)
  uint64_t counter_errors = 0;    // samples that are neither the count nor silence
  bool silent = true;             // every sample was zero
  double noise_dbfs_per_bin = 0;
  std::vector<peak> peaks;
};

struct stream_report {
  const char* command = "stream";
  std::string host, address;
  uint16_t port = 0;
  discovery_reply radio;
  int rate_hz = 0;
  int receivers = 0;
  double seconds = 0;  // from the first frame to the end
  bool interrupted = false;
  uint64_t frames_received = 0, frames_lost = 0, frames_out_of_order = 0;
  uint64_t ep2_sent = 0, ep2_late = 0, ep2_resyncs = 0;
  bool counter_mode = false;
  std::vector<receiver_report> rx;
  uint64_t status_blocks = 0, ptt_blocks = 0, dash_blocks = 0, dot_blocks = 0;
  uint64_t adc_overflow_blocks = 0;
  analogue_reading analogue[an_count];
  // transmit
  bool transmit = false;
  uint32_t tx_hz = 0;
  double tone_hz = 0;
  int drive = 0;
  double mox_seconds = 0;
  std::string wav_path, png_path;
  std::vector<std::string> failures;  // failed checks, one line each
};

// Runs the stream and prints the report; returns the exit status (0 all
// checks passed, 1 a check failed). Messages go to standard error.
int run_stream(const stream_options& o);
