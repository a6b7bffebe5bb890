// Fuzz target: datagrams as the receive loop handles them, on the simulated
// board with its FPGA model: classification, discovery replies, start and
// stop of the stream, EP2 frames through the transmit sample sink and both
// control words, and the accessory pass after each datagram.
//
// Input: two bytes, big-endian, whose low ten bits say which I2C accessories
// answer (i2c_present order: pene, alex, level, misc, drive, dac0, dac1,
// arduino, nucleo, codec); then datagrams, each as one byte choosing the
// client (bits 0-1: port 50000 + n on 127.0.0.1), a big-endian 16-bit
// length and the datagram's bytes. A length beyond what is left takes the
// rest; a datagram longer than 1032 bytes is dropped, as the loop drops one
// that the receive call cut. Each input starts from a freshly started board.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "control/writers.h"
#include "fuzz_board.h"
#include "net/frames.h"
#include "net/receive_loop.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t accessories = static_cast<uint16_t>((data[0] << 8 | data[1]) & 0x3FF);
  data += 2;
  size -= 2;
  fuzz_board_up(accessories, true);

  // The loop's receive slot: preset with the EP6 header before every
  // receive; bytes past a short datagram stay from the one before.
  static uint8_t slot[frame_size];
  std::memset(slot, 0, sizeof slot);
  while (size >= 3) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(static_cast<uint16_t>(50000 + (data[0] & 3)));
    size_t length = static_cast<size_t>(data[1] << 8 | data[2]);
    data += 3;
    size -= 3;
    if (length > size) length = size;
    const uint8_t* datagram = data;
    data += length;
    size -= length;
    if (length > frame_size) continue;
    std::memcpy(slot, ep6_frame_header, sizeof ep6_frame_header);
    std::memcpy(slot, datagram, length);
    if (!handle_datagram(slot, static_cast<unsigned>(length), from)) std::abort();
    accessory_updates();
  }
  fuzz_board_down();
  return 0;
}
