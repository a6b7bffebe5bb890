// --pcap FILE: every datagram the probe sends and receives, written as a
// capture file in libpcap's savefile format, for Wireshark or tshark on this
// or another machine (tools/wireshark/hpsdr.lua decodes it).
//
// Each record is the datagram behind synthetic IPv4 and UDP headers with the
// real addresses and ports (link type DLT_RAW, no link-layer header): the
// radio's endpoint as the socket saw it, the probe's own as its socket is
// bound, its address the one the kernel routes to the radio from. Received
// datagrams carry the kernel's arrival stamp where there is one.
//
// One recording per process, open from pcap_record_open to
// pcap_record_close; the hooks do nothing when none is open. The feeder
// thread and the main thread may record at the same time.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Creates (or truncates) FILE; false with a message when it cannot.
bool pcap_record_open(const std::string& path, std::string* error);
// A datagram sent on `fd` to `to`.
void pcap_record_sent(int fd, const sockaddr_in& to, const void* data, size_t len);
// A datagram received on `fd` from `from`; `realtime_ns` is its arrival
// time (CLOCK_REALTIME), 0 for now.
void pcap_record_received(int fd, const sockaddr_in& from, const void* data, size_t len,
                          int64_t realtime_ns = 0);
// Flushes and closes the file; false with a message when a write failed.
bool pcap_record_close(std::string* error);
