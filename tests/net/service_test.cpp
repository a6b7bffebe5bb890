// The service manager's notifications against a test socket on a virtual
// clock: READY with the first status, the status line when it changes and at
// most once a second, the watchdog's ping only while every thread shows
// progress, STOPPING.
#include "net/service.h"

#include <gtest/gtest.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "control/counters.h"
#include "control/state.h"
#include "net/tx_release.h"
#include "sim/sim_platform.h"
#include "support/board.h"
#include "support/notify_socket.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;
using test_platform::now_ns;

using messages = std::vector<std::string>;

class service : public board_fixture {
 protected:
  service()
      : board_fixture(
            {.map = false, .settings = {.virtual_clock = true}, .clock_ns = 1'000'000'000}) {}
  ~service() override {
    service_close();
    active_thread.store(0);
  }
  notify_socket manager;
  const int64_t t0 = 1'000'000'000;
  void at_ms(int64_t ms) { now_ns = t0 + ms * 1'000'000; }
};

// At `ms`, `change`, then one pass of the loop; `sent` is what it sent.
struct step {
  int64_t ms;
  std::function<void()> change;
  messages sent;
};

void start_stream() {
  addr_ep6 = sockaddr_in{};
  addr_ep6.sin_family = AF_INET;
  addr_ep6.sin_addr.s_addr = htonl(0xC0A80114);  // 192.168.1.20
  addr_ep6.sin_port = htons(50123);
  st(rate, 3);
  st(receivers, 4);
  active_thread.store(1);
}

TEST_F(service, status_line_when_it_changes_and_at_most_once_a_second) {
  ASSERT_TRUE(service_open(manager.name.c_str(), nullptr, nullptr, getpid()));
  ASSERT_TRUE(service_enabled());
  at_ms(0);
  service_ready();
  EXPECT_EQ(manager.take(), messages{"READY=1\nSTATUS=idle"});
  const std::string streaming = "STATUS=streaming 384 kHz, 4 receivers to 192.168.1.20:50123";
  const std::vector<step> steps = {
      {500, start_stream, {}},  // a second has not passed since the last line
      {999, nullptr, {}},
      {1000, nullptr, {streaming + ", MOX off"}},
      {1200, [] { st(tx_general_word[0], 0x01); }, {}},
      {1500, [] { st(tx_general_word[0], 0x00); }, {}},
      {2000, nullptr, {}},  // back to the line sent: nothing to say
      {2100, [] { st(cw_ptt, 1); }, {streaming + ", MOX off, keyer PTT on"}},
      {2600,
       [] {
         st(cw_ptt, 0);
         counters_last_seconds = 10;  // a counter period ended without counts
       },
       {}},
      {3100, nullptr, {streaming + ", MOX off; last 10 s: nothing lost"}},
      {3300,
       [] {
         active_thread.store(0);
         std::strcpy(counters_last_summary, "stream of a silent client stopped once");
       },
       {}},
      {4100, nullptr, {"STATUS=idle; last 10 s: stream of a silent client stopped once"}},
      {4200, [] { counters_last_summary[0] = '\0'; }, {}},
      {5100, [] { st(tx_general_word[0], 0x01); }, {"STATUS=idle, MOX on"}},
      {9000, nullptr, {}},
  };
  for (const step& s : steps) {
    at_ms(s.ms);
    if (s.change) s.change();
    service_pass();
    EXPECT_EQ(manager.take(), s.sent) << "at " << s.ms << " ms";
  }
  service_stopping();
  EXPECT_EQ(manager.take(), messages{"STOPPING=1"});
}

// The watchdog: WATCHDOG_USEC 2 s, a ping due every second. At the second
// the threads have moved (or not) since READY.
struct ping_row {
  const char* name;
  bool keyer_ticks;      // the keyer's tick count moved
  bool stream_running;   // a stream ran at READY and runs now
  bool stream_progress;  // the stream thread sent a batch or looked at the FIFO
  bool ping;
};
class watchdog : public service, public testing::WithParamInterface<ping_row> {};

TEST_P(watchdog, pings_only_while_every_thread_shows_progress) {
  const ping_row& r = GetParam();
  ASSERT_TRUE(service_open(manager.name.c_str(), "2000000", nullptr, getpid()));
  EXPECT_EQ(service_watchdog_interval_ns(), 1'000'000'000);
  if (r.stream_running) start_stream();
  at_ms(0);
  service_ready();
  manager.take();
  at_ms(999);
  st(keyer_ticks, 999);
  st(stream_progress, 40);
  service_pass();
  EXPECT_EQ(manager.take(), messages{}) << "a ping before it was due";

  st(keyer_ticks, r.keyer_ticks ? 1000 : 0);
  st(stream_progress, r.stream_progress ? 41 : 0);
  at_ms(1000);
  service_pass();
  EXPECT_EQ(manager.take(), r.ping ? messages{"WATCHDOG=1"} : messages{});

  // Every thread moves again: the next ping comes a second later.
  st(keyer_ticks, 2000);
  st(stream_progress, 80);
  at_ms(1999);
  service_pass();
  EXPECT_EQ(manager.take(), messages{});
  at_ms(2000);
  service_pass();
  EXPECT_EQ(manager.take(), messages{"WATCHDOG=1"});
}

INSTANTIATE_TEST_SUITE_P(rows, watchdog,
                         testing::Values(ping_row{"idle_keyer_ticks", true, false, false, true},
                                         ping_row{"keyer_held", false, false, false, false},
                                         ping_row{"stream_sends", true, true, true, true},
                                         ping_row{"stream_thread_never_returns", true, true, false,
                                                  false},
                                         ping_row{"both_held", false, true, false, false}),
                         test_rows::row_name);

// A stream that starts between two looks has had no time to show progress.
TEST_F(service, a_stream_started_since_the_last_look_does_not_cost_a_ping) {
  ASSERT_TRUE(service_open(manager.name.c_str(), "2000000", nullptr, getpid()));
  at_ms(0);
  service_ready();
  manager.take();
  start_stream();
  st(keyer_ticks, 1000);
  at_ms(1000);
  service_pass();
  const messages sent = {"STATUS=streaming 384 kHz, 4 receivers to 192.168.1.20:50123, MOX off",
                         "WATCHDOG=1"};
  EXPECT_EQ(manager.take(), sent);
}

// What the variables say: where to send, and whether and how often to ping.
struct open_row {
  const char* name;
  const char* notify;  // "TEST": the test's socket
  const char* usec;
  const char* pid;  // "SELF": this process's
  bool result;
  bool enabled;
  int64_t interval_ns;
  const char* message;
};
class open_socket : public service, public testing::WithParamInterface<open_row> {};

TEST_P(open_socket, reads_notify_socket_watchdog_usec_and_watchdog_pid) {
  const open_row& r = GetParam();
  const std::string self = std::to_string(getpid());
  const bool test_socket = r.notify && std::string(r.notify) == "TEST";
  const char* notify = test_socket ? manager.name.c_str() : r.notify;
  const char* pid = r.pid && std::string(r.pid) == "SELF" ? self.c_str() : r.pid;
  testing::internal::CaptureStderr();
  EXPECT_EQ(service_open(notify, r.usec, pid, getpid()), r.result);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), r.message);
  EXPECT_EQ(service_enabled(), r.enabled);
  EXPECT_EQ(service_watchdog_interval_ns(), r.interval_ns);
  service_ready();
  service_stopping();
  const size_t expected = test_socket ? 2 : 0;
  EXPECT_EQ(manager.take().size(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    rows, open_socket,
    testing::Values(
        open_row{"started_by_hand", nullptr, "2000000", nullptr, true, false, 0, ""},
        open_row{"empty", "", nullptr, nullptr, true, false, 0, ""},
        open_row{"no_watchdog", "TEST", nullptr, nullptr, true, true, 0, ""},
        open_row{"watchdog", "TEST", "2000000", nullptr, true, true, 1'000'000'000, ""},
        open_row{"watchdog_of_this_process", "TEST", "3000000", "SELF", true, true, 1'500'000'000,
                 ""},
        open_row{"watchdog_of_another_process", "TEST", "2000000", "1", true, true, 0, ""},
        open_row{"watchdog_not_a_number", "TEST", "2s", nullptr, true, true, 0, ""},
        open_row{"watchdog_zero", "TEST", "0", nullptr, true, true, 0, ""},
        open_row{"path", "/run/varnholt-test-nowhere/notify", nullptr, nullptr, true, true, 0, ""},
        open_row{"unknown_kind", "vsock:2:1234", nullptr, nullptr, false, false, 0,
                 "varnholt: cannot notify the service manager at vsock:2:1234\n"}),
    test_rows::row_name);

}  // namespace
