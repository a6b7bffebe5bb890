#include "net/frames.h"

#include <cstring>

uint8_t discovery_reply_template[discovery_template_size] = {0xEF, 0xFE, 0x02, 0,    0,   0,
                                                             0,    0,    0,    0x20, 0x01};

namespace {
constexpr uint8_t sync_0 = 0xEF;
constexpr uint8_t sync_1 = 0xFE;
constexpr uint8_t type_data = 0x01;
constexpr uint8_t type_discovery = 0x02;
constexpr uint8_t type_command = 0x04;
constexpr uint8_t endpoint_ep2 = 0x02;
constexpr uint8_t command_stop = 0x00;
constexpr uint8_t command_start_last = 0x03;  // 01, 02 and 03 all start the one stream
}  // namespace

datagram_kind classify_datagram(const uint8_t* head) {
  if (head[0] != sync_0 || head[1] != sync_1) return datagram_kind::other;
  switch (head[2]) {
    case type_discovery:
      return head[3] == 0 ? datagram_kind::discovery : datagram_kind::other;
    case type_command:
      if (head[3] == command_stop) return datagram_kind::stop;
      return head[3] <= command_start_last ? datagram_kind::start : datagram_kind::other;
    case type_data:
      return head[3] == endpoint_ep2 ? datagram_kind::ep2 : datagram_kind::other;
    default:
      return datagram_kind::other;
  }
}

void build_discovery_reply(uint8_t* buf, uint8_t status) {
  discovery_reply_template[discovery_status_offset] = status;
  std::memset(buf, 0, discovery_reply_size);
  std::memcpy(buf, discovery_reply_template, discovery_template_size);
}
