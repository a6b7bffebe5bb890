// HPSDR Protocol 1 on the wire: the datagram headers, the data frame and its
// blocks, the EP2 control word addresses and the EP6 sample slots. Every
// multi-byte field is big-endian (common/bytes.h reads and builds them).
//
// A leaf header: the server (frame layer, decoder, stream), the simulated
// board, the host tools and the tests share it.
#pragma once

#include <cstddef>
#include <cstdint>

// Every datagram begins EF FE <kind>: 01 data frame (byte 3 the endpoint),
// 02 discovery, 04 start and stop command (byte 3: 0 stop, 1..3 start).
constexpr uint8_t packet_sync[2] = {0xEF, 0xFE};
constexpr uint8_t packet_data = 0x01;
constexpr uint8_t packet_discovery = 0x02;
constexpr uint8_t packet_command = 0x04;
constexpr uint8_t endpoint_ep2 = 0x02;  // client to radio: control words, transmit samples
constexpr uint8_t endpoint_ep6 = 0x06;  // radio to client: status words, receiver samples
constexpr uint8_t command_stop = 0x00;
constexpr uint8_t command_start = 0x01;
constexpr uint8_t command_start_last = 0x03;  // 01, 02 and 03 all start the one stream
constexpr uint8_t ep2_frame_header[4] = {packet_sync[0], packet_sync[1], packet_data, endpoint_ep2};
// Bytes 0..3 of every EP6 frame the server sends. The receive loop also
// presets its buffers with them: no accepted kind has 0x06 in byte 3, so a
// datagram shorter than four bytes is always ignored.
constexpr uint8_t ep6_frame_header[4] = {packet_sync[0], packet_sync[1], packet_data, endpoint_ep6};

// Data frame, both directions: the header, the sequence number and two
// blocks. Each block: three sync bytes 7F, C0..C4, then the payload.
constexpr size_t frame_header_size = sizeof ep6_frame_header;
constexpr size_t frame_sequence_offset = frame_header_size;  // u32
constexpr size_t block_size = 512;
constexpr size_t frame_block_offset[2] = {frame_sequence_offset + 4,
                                          frame_sequence_offset + 4 + block_size};
constexpr size_t frame_size = frame_block_offset[1] + block_size;
constexpr uint8_t block_sync = 0x7F;
constexpr size_t block_sync_size = 3;
constexpr size_t block_c0_offset = block_sync_size;  // in the block; C1..C4 follow
constexpr size_t block_control_size = 5;             // C0..C4
constexpr size_t block_payload_offset = block_c0_offset + block_control_size;
constexpr size_t block_payload_size = block_size - block_payload_offset;
static_assert(frame_size == 1032 && block_payload_size == 504);
// Frame offsets of the two control words an EP2 frame hands to the decoder.
constexpr size_t ep2_c0_offset[2] = {frame_block_offset[0] + block_c0_offset,
                                     frame_block_offset[1] + block_c0_offset};

// EP2 payload: 63 samples of 8 bytes per block, 126 per frame in time order.
// Sample bytes: left audio (2), right audio (2), then the I/Q word: two
// 16-bit halves, each MSB first, which clients fill with Q then I of the
// analytic signal (the server passes the word on unchanged).
constexpr size_t ep2_sample_size = 8;
constexpr size_t ep2_sample_audio = 0;  // sample bytes 0..3: the audio word
constexpr size_t ep2_sample_iq = 4;     // sample bytes 4..7: the I/Q word
constexpr unsigned ep2_samples_per_block = block_payload_size / ep2_sample_size;
constexpr unsigned ep2_samples_per_frame = 2 * ep2_samples_per_block;
static_assert(ep2_samples_per_block * ep2_sample_size == block_payload_size);
// The transmit stream runs at 48 kHz whatever the receive rate.
constexpr unsigned ep2_sample_rate = 48000;

// Start of sample k (0..125) of an EP2 frame.
inline const uint8_t* ep2_sample(const uint8_t* frame, unsigned k) {
  const unsigned block = k / ep2_samples_per_block;
  const unsigned index = k % ep2_samples_per_block;
  return frame + frame_block_offset[block] + block_payload_offset + index * ep2_sample_size;
}

// C0 of each EP2 control word with MOX clear: bit 0 is the MOX bit (the
// client asks to transmit), bits 1..7 the address of the word, which says
// what C1..C4 carry. The same word with MOX set is C0 | ep2_c0::mox.
namespace ep2_c0 {
constexpr uint8_t mox = 0x01;
constexpr uint8_t general = 0x00;             // rate, outputs, antennas, receivers, sync
constexpr uint8_t tx_frequency = 0x02;        // Hz, big-endian C1..C4
constexpr uint8_t rx1_frequency = 0x04;       // Hz; receivers 1..7 at 0x04 + 2 (n - 1)
constexpr uint8_t rx2_frequency = 0x06;       // Hz
constexpr uint8_t rx3_frequency = 0x08;       // Hz
constexpr uint8_t drive_filters = 0x12;       // drive level (C1), mic boost, manual filters
constexpr uint8_t rx_attenuation = 0x14;      // receive attenuation, dB
constexpr uint8_t attenuation_keyer = 0x16;   // second attenuation, keyer timing
constexpr uint8_t tx_attenuation = 0x1C;      // transmit attenuation (arduino board only)
constexpr uint8_t keyer_sidetone = 0x1E;      // keyer enable, RF delay, sidetone level
constexpr uint8_t hang_sidetone_freq = 0x20;  // PTT hang time, sidetone frequency
constexpr uint8_t first_ignored = 0x22;       // this and every larger C0 is ignored by the server
constexpr uint8_t rx8_frequency = 0x24;       // Hz

// The frequency word of receiver 1..8.
constexpr uint8_t rx_frequency(int receiver) {
  return receiver >= 8 ? rx8_frequency : static_cast<uint8_t>(rx1_frequency + 2 * (receiver - 1));
}
static_assert(rx_frequency(2) == rx2_frequency && rx_frequency(3) == rx3_frequency &&
              rx_frequency(7) == 0x10 && rx_frequency(8) == rx8_frequency);
}  // namespace ep2_c0

// EP6 payload: one slot per sample instant, packed from the start of the
// block: two 24-bit words (Q then I of the analytic signal) per receiver,
// then the 16-bit microphone sample. The bytes after the last whole slot of
// a block are zero.
constexpr int ep6_max_receivers = 8;
constexpr int ep6_receiver_bytes = 6;
constexpr int ep6_mic_bytes = 2;
constexpr int ep6_slot_size(int receivers) {
  return ep6_receiver_bytes * receivers + ep6_mic_bytes;
}
constexpr int ep6_samples_per_block(int receivers) {
  return static_cast<int>(block_payload_size) / ep6_slot_size(receivers);
}
static_assert(ep6_samples_per_block(1) == 63 && ep6_samples_per_block(ep6_max_receivers) == 10);

// Discovery reply: 60 bytes, built from an 11-byte template (sync, status,
// MAC, firmware version, board identifier) and zeros.
constexpr size_t discovery_reply_size = 60;
constexpr size_t discovery_template_size = 11;
constexpr size_t discovery_status_offset = 2;  // 2: idle, 3: streaming
constexpr uint8_t discovery_idle = 0x02;
constexpr uint8_t discovery_streaming = 0x03;
