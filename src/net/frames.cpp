#include "net/frames.h"

#include <cstring>

uint8_t discovery_reply_template[discovery_template_size] = {
    packet_sync[0], packet_sync[1], discovery_idle, 0, 0, 0, 0, 0, 0, 0x20, 0x01};

datagram_kind classify_datagram(const uint8_t* head) {
  if (head[0] != packet_sync[0] || head[1] != packet_sync[1]) return datagram_kind::other;
  switch (head[2]) {
    case packet_discovery:
      return head[3] == 0 ? datagram_kind::discovery : datagram_kind::other;
    case packet_command:
      if (head[3] == command_stop) return datagram_kind::stop;
      return head[3] <= command_start_last ? datagram_kind::start : datagram_kind::other;
    case packet_data:
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
