// HPSDR Protocol 1 frame layouts.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t frame_size = 1032;        // data frame, both directions
constexpr size_t discovery_reply_size = 60;
constexpr size_t discovery_template_size = 11;

// EF FE 02, MAC of "eth0" (bytes 3..8, read at start-up), 0x20 firmware
// version, 0x01 board identifier. Byte 2 is rewritten with the status before
// each reply. Written at start-up, then only by the receive loop.
extern uint8_t discovery_reply_template[discovery_template_size];
