#include "pcap.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "common/bytes.h"
#include "common/clock.h"
#include "radio.h"

namespace {

constexpr size_t ipv4_header = 20;
constexpr size_t udp_header = 8;
constexpr int snap_length = 65535;
constexpr size_t max_datagram = snap_length - ipv4_header - udp_header;

std::mutex mutex;
pcap_t* dead = nullptr;  // the link type and snap length of the file
pcap_dumper_t* dumper = nullptr;
std::string file_path;
uint16_t ip_id = 0;
std::map<in_addr_t, in_addr_t> source_for;  // peer -> the local address routed to it

// The probe's endpoint towards `peer`: the port its socket is bound to and
// the address the kernel would send from (asked of a connected UDP socket,
// which sends nothing). Called with the mutex held.
sockaddr_in local_endpoint(int fd, const sockaddr_in& peer) {
  sockaddr_in self{};
  socklen_t len = sizeof self;
  getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len);
  if (self.sin_addr.s_addr != htonl(INADDR_ANY)) return self;
  auto known = source_for.find(peer.sin_addr.s_addr);
  if (known == source_for.end()) {
    in_addr_t source = htonl(INADDR_ANY);
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
      sockaddr_in to = peer;
      if (to.sin_port == 0) to.sin_port = htons(9);
      sockaddr_in got{};
      socklen_t got_len = sizeof got;
      if (connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
          getsockname(probe, reinterpret_cast<sockaddr*>(&got), &got_len) == 0)
        source = got.sin_addr.s_addr;
      close(probe);
    }
    known = source_for.emplace(peer.sin_addr.s_addr, source).first;
  }
  self.sin_addr.s_addr = known->second;
  return self;
}

uint16_t ipv4_checksum(const uint8_t* h) {
  uint32_t sum = 0;
  for (size_t i = 0; i < ipv4_header; i += 2) sum += get_be16(h + i);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// One record: IPv4 header, UDP header (no checksum), the datagram.
void record(const sockaddr_in& src, const sockaddr_in& dst, const void* data, size_t len,
            int64_t ns) {
  len = std::min(len, max_datagram);
  static uint8_t packet[snap_length];
  uint8_t* ip = packet;
  std::memset(ip, 0, ipv4_header + udp_header);
  ip[0] = 0x45;  // version 4, 5 words
  put_be16(ip + 2, static_cast<uint16_t>(ipv4_header + udp_header + len));
  put_be16(ip + 4, ip_id++);
  put_be16(ip + 6, 0x4000);  // don't fragment
  ip[8] = 64;                // TTL
  ip[9] = IPPROTO_UDP;
  std::memcpy(ip + 12, &src.sin_addr.s_addr, 4);  // both in network order already
  std::memcpy(ip + 16, &dst.sin_addr.s_addr, 4);
  put_be16(ip + 10, ipv4_checksum(ip));
  uint8_t* udp = ip + ipv4_header;
  std::memcpy(udp, &src.sin_port, 2);
  std::memcpy(udp + 2, &dst.sin_port, 2);
  put_be16(udp + 4, static_cast<uint16_t>(udp_header + len));
  std::memcpy(udp + udp_header, data, len);

  pcap_pkthdr h{};
  h.ts.tv_sec = static_cast<time_t>(ns / ns_per_s);
  h.ts.tv_usec = static_cast<suseconds_t>(ns % ns_per_s / ns_per_us);
  h.caplen = h.len = static_cast<bpf_u_int32>(ipv4_header + udp_header + len);
  pcap_dump(reinterpret_cast<u_char*>(dumper), &h, packet);
}

}  // namespace

bool pcap_record_open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex);
  dead = pcap_open_dead(DLT_RAW, snap_length);
  if (!dead) {
    *error = "cannot set up a capture file";
    return false;
  }
  dumper = pcap_dump_open(dead, path.c_str());
  if (!dumper) {
    *error = std::string("cannot write ") + pcap_geterr(dead);  // "FILE: reason"
    pcap_close(dead);
    dead = nullptr;
    return false;
  }
  file_path = path;
  return true;
}

void pcap_record_sent(int fd, const sockaddr_in& to, const void* data, size_t len) {
  const int64_t now = realtime_now_ns();
  std::lock_guard<std::mutex> lock(mutex);
  if (!dumper) return;
  record(local_endpoint(fd, to), to, data, len, now);
}

void pcap_record_received(int fd, const sockaddr_in& from, const void* data, size_t len,
                          int64_t realtime_ns) {
  if (realtime_ns == 0) realtime_ns = realtime_now_ns();
  std::lock_guard<std::mutex> lock(mutex);
  if (!dumper) return;
  record(from, local_endpoint(fd, from), data, len, realtime_ns);
}

bool pcap_record_close(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!dumper) return true;
  const bool flushed = pcap_dump_flush(dumper) == 0;
  FILE* file = pcap_dump_file(dumper);
  const bool ok = flushed && !std::ferror(file);
  pcap_dump_close(dumper);
  pcap_close(dead);
  dumper = nullptr;
  dead = nullptr;
  source_for.clear();
  if (!ok) *error = "cannot write " + file_path;
  return ok;
}
