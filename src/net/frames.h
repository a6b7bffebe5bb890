// HPSDR Protocol 1 frame layouts and the byte helpers that read and build
// them.
//
// Every multi-byte protocol field is big-endian. Frames are parsed and built
// with byte access only: a receive buffer carries no alignment guarantee that
// a wider load could rely on, and the board's ARM core faults on some
// misaligned accesses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"

// Data frame, both directions: EF FE 01 <endpoint>, sequence number, two
// 512-byte blocks. Each block: 7F 7F 7F, C0..C4, 504-byte payload.
constexpr size_t frame_size = 1032;
constexpr size_t frame_sequence_offset = 4;  // u32, big-endian
constexpr size_t frame_block_offset[2] = {8, 520};
constexpr size_t block_size = 512;
constexpr size_t block_c0_offset = 3;       // in the block; C1..C4 follow
constexpr size_t block_payload_offset = 8;  // in the block
constexpr size_t block_payload_size = 504;
// Frame offsets of the two control words handed to the decoder.
constexpr size_t ep2_c0_offset[2] = {frame_block_offset[0] + block_c0_offset,
                                     frame_block_offset[1] + block_c0_offset};
static_assert(ep2_c0_offset[0] == 11 && ep2_c0_offset[1] == 523);

// EP2 payload: 63 samples of 8 bytes per block, 126 per frame in time order.
// Sample bytes: left audio (2), right audio (2), then the I/Q word: two
// 16-bit halves, each MSB first, which clients fill with Q then I of the
// analytic signal (the server passes the word on unchanged).
constexpr unsigned ep2_samples_per_block = 63;
constexpr unsigned ep2_samples_per_frame = 2 * ep2_samples_per_block;
constexpr size_t ep2_sample_size = 8;
constexpr size_t ep2_sample_audio = 0;  // sample bytes 0..3: the audio word
constexpr size_t ep2_sample_iq = 4;     // sample bytes 4..7: the I/Q word
static_assert(ep2_samples_per_block * ep2_sample_size == block_payload_size);

// Start of sample k (0..125) of an EP2 frame.
inline const uint8_t* ep2_sample(const uint8_t* frame, unsigned k) {
  const unsigned block = k / ep2_samples_per_block;
  const unsigned index = k % ep2_samples_per_block;
  return frame + frame_block_offset[block] + block_payload_offset + index * ep2_sample_size;
}

// Bytes 0..3 of every EP6 frame the server sends. The receive loop also
// presets its buffers with them: no accepted kind has 0x06 in byte 3, so a
// datagram shorter than four bytes is always ignored.
constexpr uint8_t ep6_frame_header[4] = {0xEF, 0xFE, 0x01, 0x06};

// What the first four bytes of a received datagram ask for. Only EF FE 02 00
// (discovery), EF FE 04 00 (stop), EF FE 04 01..03 (start) and EF FE 01 02
// (EP2 data) are accepted; everything else is `other` and is ignored.
enum class datagram_kind : uint8_t { other, discovery, stop, start, ep2 };
datagram_kind classify_datagram(const uint8_t* head);

// Discovery reply: 60 bytes, built from an 11-byte template.
constexpr size_t discovery_reply_size = 60;
constexpr size_t discovery_template_size = 11;
constexpr size_t discovery_status_offset = 2;  // 2: idle, 3: streaming

// EF FE 02, MAC of "eth0" (bytes 3..8, read at start-up), 0x20 firmware
// version, 0x01 board identifier. Byte 2 is rewritten with the status before
// each reply. Written at start-up, then only by the receive loop.
extern uint8_t discovery_reply_template[discovery_template_size];

// Writes the status into the template and the 60-byte reply into `buf`
// (which must hold 60 bytes): the template's 11 bytes, then 49 zero bytes.
void build_discovery_reply(uint8_t* buf, uint8_t status);
