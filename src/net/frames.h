// The server's side of the HPSDR Protocol 1 datagrams (their layout is in
// common/protocol.h): what a received datagram asks for, and the discovery
// reply.
//
// Frames are parsed and built with byte access only: a receive buffer
// carries no alignment guarantee that a wider load could rely on, and the
// board's ARM core faults on some misaligned accesses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"
#include "common/protocol.h"

// What the first four bytes of a received datagram ask for. Only EF FE 02 00
// (discovery), EF FE 04 00 (stop), EF FE 04 01..03 (start) and EF FE 01 02
// (EP2 data) are accepted; everything else is `other` and is ignored.
enum class datagram_kind : uint8_t { other, discovery, stop, start, ep2 };
datagram_kind classify_datagram(const uint8_t* head);

// EF FE 02, MAC of "eth0" (bytes 3..8, read at start-up), 0x20 firmware
// version, 0x01 board identifier. Byte 2 is rewritten with the status before
// each reply. Written at start-up, then only by the receive loop.
extern uint8_t discovery_reply_template[discovery_template_size];

// Writes the status into the template and the 60-byte reply into `buf`
// (which must hold 60 bytes): the template's 11 bytes, then 49 zero bytes.
void build_discovery_reply(uint8_t* buf, uint8_t status);
