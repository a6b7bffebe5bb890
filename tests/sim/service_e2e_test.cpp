// End to end against varnholt-sim: the service manager's notifications
// under a test NOTIFY_SOCKET, and a client that falls silent losing its
// stream.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/e2e_test.h"
#include "support/notify_socket.h"

namespace {

class service_e2e : public e2e {};

TEST_F(service_e2e, ready_status_watchdog_and_stopping_under_a_notify_socket) {
  notify_socket manager;
  sim.env = {"NOTIFY_SOCKET=" + manager.name, "WATCHDOG_USEC=200000"};
  launch({});
  // READY comes once the port is bound: the server answers at once.
  EXPECT_EQ(manager.next_starting("READY=1"), "READY=1\nSTATUS=idle");
  udp_client client(sim.port);
  EXPECT_EQ(discovery_status(client, 1000), 2);
  EXPECT_EQ(manager.next_starting("WATCHDOG=1"), "WATCHDOG=1");

  client.start();
  ASSERT_TRUE(next_ep6(client));
  const std::string streaming = manager.next_starting("STATUS=");
  EXPECT_EQ(streaming.rfind("STATUS=streaming 48 kHz, 1 receiver to 127.0.0.1:", 0), 0u)
      << streaming;
  EXPECT_NE(streaming.find(", MOX off"), std::string::npos) << streaming;
  EXPECT_EQ(manager.next_starting("WATCHDOG=1"), "WATCHDOG=1") << "no ping while streaming";
  client.stop();
  EXPECT_EQ(manager.next_starting("STATUS="), "STATUS=idle");

  const int status = sim.stop(SIGTERM);
  EXPECT_EQ(manager.next_starting("STOPPING=1", 1000), "STOPPING=1");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A client that keeps sending keeps its stream past the silence limit; once
// it sends nothing more, the stream stops within a few seconds, discovery
// says idle and the last report counts it.
TEST_F(service_e2e, a_silent_client_loses_its_stream) {
  sim.capture_err = true;
  launch({});
  udp_client client(sim.port);
  client.start();
  const int64_t started = e2e_now_ms();
  uint32_t sequence = 0;
  int64_t last_sent = started;
  while (e2e_now_ms() - started < 4000) {  // more than the 3 s limit, at about 200 frames/s
    last_sent = e2e_now_ms();
    client.send(ep2_frame({}, {}, sequence++));
    client.discard_for(5);
  }
  ASSERT_EQ(discovery_status(client), 3) << "a client that sends lost its stream";
  const int64_t silent = last_sent;
  int status = 3;
  while (status == 3 && e2e_now_ms() - silent < 10000) {
    client.discard_for(100);
    status = discovery_status(client);
  }
  EXPECT_EQ(status, 2) << "still streaming 10 s after the client fell silent";
  const int64_t took = e2e_now_ms() - silent;
  std::printf("stream stopped %lld ms after the last frame\n", static_cast<long long>(took));
  EXPECT_GE(took, 3000);

  const int exit = sim.stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(exit));
  EXPECT_EQ(WEXITSTATUS(exit), 0);
  EXPECT_NE(sim.err.find("stream of a silent client stopped once"), std::string::npos) << sim.err;
}

}  // namespace
