// A stream whose client falls silent is stopped after
// stream_silence_limit_ms, as its stop command would stop it, against a
// virtual clock; a client that keeps sending keeps its stream.
#include <gtest/gtest.h>

#include <thread>

#include "control/counters.h"
#include "net/net_harness.h"
#include "net/tx_release.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;
using namespace net_test;
using test_platform::now_ns;

// In the stream thread's place: a thread that only answers the hand-shake,
// so that nothing but the silence check runs on the virtual clock.
void* answers_the_handshake(void*) {
  while (enable_thread.load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(100us);
  active_thread.store(0, std::memory_order_release);
  return nullptr;
}
void create_placeholder() {
  test_platform::ops.thread_create = [](pthread_t* thread, const pthread_attr_t*,
                                        void* (*entry)(void*), void*) {
    return pthread_create(thread, nullptr, entry == handler_ep6 ? answers_the_handshake : entry,
                          nullptr);
  };
}

sockaddr_in address(uint32_t host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host);
  a.sin_port = htons(port);
  return a;
}
const sockaddr_in the_client = address(0xC0A80114, 50123);  // 192.168.1.20
std::vector<uint8_t> keying_frame() {
  return frame_with({0x01, 0, 0, 0, 0}, {0x01, 0, 0, 0, 0});
}

enum class sender { nobody, the_client, same_host_other_port, other_host };
struct silence_row {
  const char* name;
  sender from;
  size_t length;  // of the frames sent every second
  bool keeps_it;  // the stream outlives the limit (for ten minutes)
};

class stream_silence : public testing::TestWithParam<silence_row> {
 protected:
  sim_board board{{.settings = {.virtual_clock = true},
                   .replace = create_placeholder,
                   .clock_ns = 5'000'000'000}};
  const int64_t limit_ns = stream_silence_limit_ms * 1000000;

  void datagram(std::vector<uint8_t> d, const sockaddr_in& from) {
    ASSERT_TRUE(handle_datagram(d.data(), static_cast<unsigned>(d.size()), from));
  }
  // One second of the row's sender, then the loop's pass.
  void second(const silence_row& r) {
    now_ns += 1'000'000'000;
    auto f = keying_frame();
    f.resize(r.length);
    switch (r.from) {
      case sender::nobody:
        break;
      case sender::the_client:
        datagram(f, the_client);
        break;
      case sender::same_host_other_port:
        datagram(f, address(0xC0A80114, 50124));
        break;
      case sender::other_host:
        datagram(f, address(0xC0A80115, 50123));
        break;
    }
    ASSERT_TRUE(stream_silence_check());
  }
};

TEST_P(stream_silence, stops_the_stream_of_a_silent_client_as_a_stop_would) {
  const silence_row& r = GetParam();
  std::vector<uint8_t> start(64, 0);
  start[0] = 0xEF, start[1] = 0xFE, start[2] = 0x04, start[3] = 0x01;
  datagram(start, the_client);
  datagram(keying_frame(), the_client);
  ASSERT_TRUE(stream_silence_check());
  const int64_t heard = now_ns;
  ASSERT_EQ(read8(gpio_out) & 1, 1);

  const int seconds = r.keeps_it ? 600 : static_cast<int>(stream_silence_limit_ms / 1000) - 1;
  for (int s = 0; s < seconds; ++s) second(r);
  if (r.keeps_it) {
    EXPECT_EQ(enable_thread.load(), 1);
    EXPECT_EQ(ld(count_stream_timeouts), 0u);
    EXPECT_EQ(read8(gpio_out) & 1, 1);
    ASSERT_TRUE(stream_stop());
    return;
  }
  now_ns = heard + limit_ns - 1;
  ASSERT_TRUE(stream_silence_check());
  EXPECT_EQ(enable_thread.load(), 1) << "stopped before the time";
  now_ns = heard + limit_ns;
  ASSERT_TRUE(stream_silence_check());
  EXPECT_EQ(enable_thread.load(), 0);
  EXPECT_EQ(active_thread.load(), 0);  // discovery says idle
  EXPECT_EQ(ld(count_stream_timeouts), 1u);
  EXPECT_EQ(ld(count_tx_released), 1u);
  EXPECT_EQ(read8(gpio_out) & 1, 0);
  // Idle: nothing more to stop.
  now_ns += 10 * limit_ns;
  ASSERT_TRUE(stream_silence_check());
  EXPECT_EQ(ld(count_stream_timeouts), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    rows, stream_silence,
    testing::Values(
        silence_row{"nothing_more", sender::nobody, frame_size, false},
        silence_row{"frames_from_another_port", sender::same_host_other_port, frame_size, false},
        silence_row{"frames_from_another_host", sender::other_host, frame_size, false},
        silence_row{"short_frames_of_the_client", sender::the_client, frame_size - 1, false},
        silence_row{"the_client_keeps_sending", sender::the_client, frame_size, true}),
    test_rows::row_name);

}  // namespace
