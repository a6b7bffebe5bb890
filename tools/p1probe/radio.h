// The client side of HPSDR Protocol 1: the UDP socket, name resolution,
// discovery, the start and stop commands, EP2 frames and the thread that
// feeds them to the radio at the transmit sample rate.
//
// Everything here runs on the operator's computer. The socket is shared by
// two threads while a stream runs: the main thread only receives on it, the
// feeder thread only sends.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"

// Set by SIGINT and SIGTERM (the handlers do nothing else); every loop of the
// probe looks at it and ends, and the radio is then stopped as on a normal end.
extern std::atomic<bool> probe_stop_requested;
// Installs the handlers, without SA_RESTART so that a blocking call returns.
void install_stop_signals();

int64_t monotonic_ns();
int64_t realtime_now_ns();

// "host" or "host:port"-free IPv4 name or dotted address to a socket
// address with `port`; false with a message when it does not resolve.
bool resolve_ipv4(const std::string& host, uint16_t port, sockaddr_in* out, std::string* error);
std::string ip_text(const sockaddr_in& a);  // "127.0.0.1"
bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b);

// A UDP socket bound to an ephemeral port on every interface, with a large
// receive buffer (a client that falls behind for a moment loses nothing),
// kernel arrival stamps (SO_TIMESTAMPNS) and, with `broadcast`, SO_BROADCAST.
// -1 with a message on failure.
int open_client_socket(bool broadcast, std::string* error);

// The 60-byte discovery reply.
struct discovery_reply {
  sockaddr_in from{};
  uint8_t status = 0;  // 2: idle, 3: streaming
  uint8_t mac[6] = {};
  uint8_t firmware = 0;
  uint8_t board_id = 0;
};
std::string mac_text(const uint8_t* mac);  // "02:00:5e:10:00:01"
const char* status_text(uint8_t status);   // "idle", "streaming"

// The limited broadcast address and the broadcast address of every IPv4
// interface that has one, each with `port`.
std::vector<sockaddr_in> broadcast_targets(uint16_t port);

// Sends a discovery request to every target and gathers the replies that
// come within `timeout_ms` (one per sender; datagrams that are not replies
// are skipped). With `first_from`, returns as soon as that sender answered.
// With `interruptible`, ends early with what it has when
// probe_stop_requested is set.
std::vector<discovery_reply> discover(int fd, const std::vector<sockaddr_in>& targets,
                                      int timeout_ms, const sockaddr_in* first_from = nullptr,
                                      bool interruptible = true);

// Start (EF FE 04 01) and stop (EF FE 04 00) commands, 64 bytes each.
void send_start(int fd, const sockaddr_in& radio);
void send_stop(int fd, const sockaddr_in& radio);

// One control word: C0 (bit 0 MOX, bits 1..7 the address, ep2_c0) and
// C1..C4.
struct control_word {
  uint8_t c[block_control_size];
};

control_word general_word(int rate_code, int receivers);
control_word frequency_word(uint8_t address, uint32_t hz);
control_word drive_word(int drive);

// An EP2 frame (1032 bytes at `frame`): header, sequence number, the two
// control words in blocks 1 and 2, and `iq` (126 pairs of the analytic
// signal's I and Q, 16-bit each, or null for silence) as transmit samples,
// put on the wire Q first as the radio takes them; audio is zero.
void build_ep2_frame(uint8_t* frame, uint32_t seq, const control_word& a, const control_word& b,
                     const int16_t* iq);

// Sends EP2 frames at the 48 kHz transmit rate (126 samples per frame, one
// frame every 2.625 ms, on absolute CLOCK_MONOTONIC deadlines, a few frames
// ahead so that the radio's transmit FIFO never runs dry), their control
// words cycling through `words`. While `mox` is set every C0 carries the MOX
// bit and, with a tone, the samples carry it. When told to stop it sends two
// frames of the general word with MOX clear and ends.
struct feeder {
  int fd = -1;
  sockaddr_in radio{};
  std::vector<control_word> words;  // words[0] is the general word
  double tone_hz = 0;               // offset of the transmitted tone
  double tone_amplitude = 0.5;      // of full scale
  std::atomic<bool> running{false};
  std::atomic<bool> mox{false};
  // Written by the feeder thread, read after feeder_stop.
  uint64_t frames_sent = 0;
  uint64_t late_frames = 0;  // sent more than 10 ms after their deadline
  uint64_t resyncs = 0;      // fell more than 20 ms behind; the schedule restarted
  std::thread thread;
};
// Starts the thread with SIGINT and SIGTERM blocked in it (the main thread
// takes them). False when the thread cannot be created.
bool feeder_start(feeder* f);
// Ends the thread (after its MOX-clear frames) and joins it.
void feeder_stop(feeder* f);

// Sends the stop command and checks with discovery that the radio reports
// idle; tries three times. False with a message when it still streams or no
// longer answers.
bool stop_and_confirm(int fd, const sockaddr_in& radio, std::string* error);
