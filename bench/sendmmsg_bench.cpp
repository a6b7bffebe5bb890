// What one sendmmsg of a batch of EP6 frames costs on this machine, and how
// the cost splits into a part per call and a part per datagram.
//
// BM_sendmmsg/N: one sendmmsg of N datagrams of 1032 bytes from a UDP socket
// on loopback to a second one on this host, as the stream thread sends a
// batch (N = 25 at 384 kHz with 8 receivers, 4 with one receiver). The
// receiving socket is emptied, outside the timing, whenever it holds a few
// hundred datagrams, so that no send finds it full. Reports the CPU time of
// the sending thread (user and kernel) per call, and per datagram
// (per_datagram, CPU seconds). On loopback the kernel hands each datagram to
// the receiving socket within the call, so a send here also pays for the
// receiving side's protocol work; on the board the datagrams go to the
// network driver instead. A fit of time = per call + N x per datagram over
// the arguments says whether larger batches would save kernel time.
// BM_send_segmented/N sends the same datagrams with UDP segmentation offload.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t datagram_size = 1032;
constexpr int max_batch = 100;
constexpr int drain_at = 400;  // datagrams queued at the receiver

struct loopback_pair {
  int tx = -1;
  int rx = -1;
  sockaddr_in to{};
  bool open() {
    rx = socket(AF_INET, SOCK_DGRAM, 0);
    tx = socket(AF_INET, SOCK_DGRAM, 0);
    if (rx < 0 || tx < 0) return false;
    const int size = 4 << 20;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(rx, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) return false;
    socklen_t len = sizeof to;
    return getsockname(rx, reinterpret_cast<sockaddr*>(&to), &len) == 0;
  }
  void drain() {
    static uint8_t buffer[max_batch][datagram_size];
    iovec iov[max_batch];
    mmsghdr msgs[max_batch] = {};
    for (int k = 0; k < max_batch; ++k) {
      iov[k] = {buffer[k], datagram_size};
      msgs[k].msg_hdr.msg_iov = &iov[k];
      msgs[k].msg_hdr.msg_iovlen = 1;
    }
    while (recvmmsg(rx, msgs, max_batch, MSG_DONTWAIT, nullptr) > 0) {
    }
  }
  ~loopback_pair() {
    if (tx >= 0) close(tx);
    if (rx >= 0) close(rx);
  }
};

// The timed loop of a send benchmark: `send` puts n datagrams on the
// socket (false when it fell short); the receiver is drained, untimed,
// before its buffer fills.
template <class Send>
void run_sends(benchmark::State& state, loopback_pair& p, int n, Send send) {
  int64_t queued = 0, short_sends = 0;
  for (auto _ : state) {
    if (!send()) ++short_sends;
    queued += n;
    if (queued >= drain_at) {
      state.PauseTiming();
      p.drain();
      queued = 0;
      state.ResumeTiming();
    }
  }
  state.counters["short_sends"] = static_cast<double>(short_sends);
  state.counters["per_datagram"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_sendmmsg(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  loopback_pair p;
  if (!p.open()) {
    state.SkipWithError("no loopback sockets");
    return;
  }
  static uint8_t frames[max_batch][datagram_size];
  std::memset(frames, 0x5A, sizeof frames);
  iovec iov[max_batch];
  mmsghdr msgs[max_batch] = {};
  for (int k = 0; k < n; ++k) {
    iov[k] = {frames[k], datagram_size};
    msgs[k].msg_hdr.msg_name = &p.to;
    msgs[k].msg_hdr.msg_namelen = sizeof p.to;
    msgs[k].msg_hdr.msg_iov = &iov[k];
    msgs[k].msg_hdr.msg_iovlen = 1;
  }
  run_sends(state, p, n,
            [&] { return sendmmsg(p.tx, msgs, static_cast<unsigned>(n), MSG_DONTWAIT) == n; });
}

BENCHMARK(BM_sendmmsg)->Arg(1)->Arg(4)->Arg(13)->Arg(25)->Arg(50)->Arg(100)->MinTime(1.0);

// BM_send_segmented/N: the same N datagrams as one buffer of N x 1032 bytes
// in one sendmsg with UDP segmentation offload (UDP_SEGMENT, Linux 4.18 and
// later): the kernel cuts it into 1032-byte datagrams after the protocol
// work, which is then done once per call instead of once per datagram.
void BM_send_segmented(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  loopback_pair p;
  if (!p.open()) {
    state.SkipWithError("no loopback sockets");
    return;
  }
  static uint8_t frames[max_batch * datagram_size];
  std::memset(frames, 0x5A, sizeof frames);
  iovec iov{frames, n * datagram_size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
  msghdr msg{};
  msg.msg_name = &p.to;
  msg.msg_namelen = sizeof p.to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const uint16_t segment = datagram_size;
  std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
  run_sends(state, p, n, [&] {
    return sendmsg(p.tx, &msg, MSG_DONTWAIT) == static_cast<ssize_t>(n * datagram_size);
  });
}

// At most 64 KB per call: 63 datagrams of 1032 bytes.
BENCHMARK(BM_send_segmented)->Arg(4)->Arg(25)->Arg(50)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
