// The reports on standard output: a few lines of text for a person, or
// with --json one JSON object (keys below are the interface that scripts and
// the benchmarks read).
#pragma once

#include <vector>

#include "radio.h"
#include "stream.h"

void print_discovery(const std::vector<discovery_reply>& replies, uint16_t port, bool json);
void print_stream_report(const stream_report& r, bool json);
