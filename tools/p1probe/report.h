// The reports on standard output: a few lines of text for a person, or
// with --json one JSON object on one line, which scripts and the benchmarks
// read:
//
//   discover: {"port", "radios": [{"address", "port", "mac", "board_id",
//              "firmware", "status": "idle"|"streaming"}]}
//   stream, transmit: {"command", "radio": {as above}, "rate_hz",
//              "receivers", "seconds", "interrupted",
//              "frames": {"received", "lost", "out_of_order"},
//              "ep2": {"sent", "late", "resyncs"}, "counter_mode",
//              "receiver": [{"number", "frequency_hz", "samples", "rate_hz",
//                "silent", and in counter mode "samples_lost",
//                "counter_restarts", "counter_errors", otherwise
//                "noise_dbfs_per_bin", "peaks": [{"offset_hz",
//                "frequency_hz", "level_dbfs"}] strongest first}],
//              "status": {"blocks", "ptt", "dash", "dot", "adc_overflow",
//                "analogue": {"forward": {"min", "max", "last"}, ...}},
//              "transmit": {"tx_frequency_hz", "tone_hz", "drive",
//                "mox_seconds"} (transmit only),
//              "files": {"wav", "png"}, "passed", "failures": [text]}
//
// Counts are of frames and 24-bit samples; levels in dBFS; frequencies and
// rates in Hz; the analogue values raw 16-bit readings.
#pragma once

#include <vector>

#include "radio.h"
#include "stream.h"

void print_discovery(const std::vector<discovery_reply>& replies, uint16_t port, bool json);
void print_stream_report(const stream_report& r, bool json);
