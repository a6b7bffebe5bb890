// The receive loop in-process on loopback against the simulated board.
#include <gtest/gtest.h>

#include "control/counters.h"
#include "net_harness.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;
using namespace net_test;

TEST(receive_loop, discovery_reply_is_60_bytes_to_the_requester) {
  running_server server;
  ASSERT_TRUE(server.started);
  client c(server.port);
  c.send_command(0x02, 0x00, 100);  // whatever follows the first four bytes
  const auto reply = c.receive();
  ASSERT_TRUE(reply);
  std::vector<uint8_t> want(60, 0);
  const uint8_t head[11] = {0xEF, 0xFE, 0x02, 0x02, 0x00, 0x5E, 0x10, 0x00, 0x01, 0x20, 0x01};
  std::copy(head, head + 11, want.begin());
  EXPECT_EQ(*reply, want);
}

TEST(receive_loop, discovery_status_is_3_while_any_client_streams) {
  running_server server;
  client streamer(server.port), asker(server.port);
  EXPECT_EQ(running_server::sync(asker), 2);
  streamer.start();
  EXPECT_EQ(running_server::sync(asker), 3);
  streamer.stop();
  EXPECT_EQ(running_server::sync(asker), 2);
}

// The stream thread shares the socket and may have filled its send buffer:
// the reply is dropped, the loop goes on and answers the next request.
TEST(receive_loop, a_full_send_buffer_drops_the_discovery_reply_without_waiting) {
  running_server server;
  client c(server.port);
  stub.send_buffer_full = true;
  c.send_command(0x02, 0x00);
  ASSERT_TRUE(eventually([] { return stub.refused_sends == 1; }));
  stub.send_buffer_full = false;
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(stub.blocking_sends, 0);
}

TEST(receive_loop, stop_without_stream_returns_at_once_and_changes_nothing) {
  running_server server;
  client c(server.port);
  server.model.clear_logs();
  c.stop();
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(stub.loop_usleeps, 0);  // never waited for a thread
  EXPECT_EQ(stub.stream_threads_created, 0);
  EXPECT_TRUE(server.model.lo_rst_log().empty());
  EXPECT_EQ(enable_thread.load(), 0);
  EXPECT_EQ(active_thread.load(), 0);
}

TEST(receive_loop, start_sets_destination_flags_and_pulses_lo_rst) {
  running_server server;
  client c(server.port);
  st(rx_synced, 1);
  const uint8_t lo = *lo_rst;
  server.model.clear_logs();
  c.start();
  ASSERT_TRUE(eventually([] { return stub.stream_threads_created == 1; }));
  EXPECT_EQ(ld(rx_synced), 0);
  EXPECT_EQ(server.model.lo_rst_log(),
            (std::vector<uint8_t>{static_cast<uint8_t>(lo & ~3), static_cast<uint8_t>(lo | 3)}));
  EXPECT_EQ(addr_ep6.sin_family, AF_INET);
  EXPECT_EQ(ntohs(addr_ep6.sin_port), c.port());
  EXPECT_EQ(addr_ep6.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(std::vector<uint8_t>(addr_ep6.sin_zero, addr_ep6.sin_zero + 8),
            std::vector<uint8_t>(8, 0));
  EXPECT_EQ(enable_thread.load(), 1);
}

TEST(receive_loop, start_values_02_and_03_start_the_stream_too) {
  running_server server;
  client c(server.port), probe(server.port);
  c.send_command(0x04, 0x02);
  EXPECT_EQ(running_server::sync(probe), 3);
  c.send_command(0x04, 0x03);
  EXPECT_EQ(running_server::sync(probe), 3);
  EXPECT_EQ(stub.stream_threads_created, 2);
  c.send_command(0x04, 0x04);  // not a command
  EXPECT_EQ(running_server::sync(probe), 3);
  EXPECT_EQ(stub.stream_threads_created, 2);
}

TEST(receive_loop, second_start_ends_first_stream_and_streams_to_new_sender) {
  running_server server;
  client a(server.port), b(server.port);
  // Starts a stream to `to` and checks its first batch: a new stream numbers
  // its frames from 0.
  auto stream_to = [&](client& to, int restarts) {
    to.start();
    ASSERT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == restarts; }));
    server.model.add_rx_words(ep6_geometry_for(1).fill_threshold);
    for (uint32_t f = 0; f < 4; ++f) {
      const auto frame = to.receive();
      ASSERT_TRUE(frame);
      EXPECT_EQ(get_be32(frame->data() + 4), f);
    }
  };
  stream_to(a, 1);
  stream_to(b, 2);
  EXPECT_EQ(a.pending(), 0);
  EXPECT_EQ(stub.stream_threads_created, 2);
  EXPECT_EQ(stub.stream_threads_finished, 1);
  EXPECT_EQ(stub.max_live_streams, 1);
}

TEST(receive_loop, stop_returns_promptly_when_the_fifo_stops_filling) {
  running_server server;
  client c(server.port);
  c.start();
  ASSERT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == 1; }));
  c.stop();  // the thread is waiting for a batch that never comes
  const int status = running_server::sync(c);
  if (status != 2) server.model.add_rx_words(8000);  // let a broken build finish its batch
  EXPECT_EQ(status, 2);
  // The thread clears active_thread as its last act; its entry returns after.
  EXPECT_TRUE(eventually([] { return stub.stream_threads_finished == 1; }));
}

TEST(receive_loop, frames_after_a_stop_in_one_batch_are_handled_once_the_thread_has_ended) {
  running_server server;
  client c(server.port), probe(server.port);
  c.start();
  ASSERT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == 1; }));

  // Hold the loop outside its receive call while the batch is queued.
  stub.hold_receive = true;
  const int polls = stub.polls;
  ASSERT_TRUE(eventually([&] { return stub.polls >= polls + 2; }));
  c.stop();
  c.send(ep2_frame(0));
  c.send(ep2_frame(1));
  stub.hold_receive = false;

  EXPECT_EQ(running_server::sync(probe), 2);
  EXPECT_GE(stub.max_batch, 3);
  EXPECT_EQ(server.model.tx().size(), 2 * 252u);
  EXPECT_EQ(server.model.active_at_first_tx_store, 0);
}

TEST(receive_loop, short_and_unknown_datagrams_are_ignored) {
  running_server server;
  client c(server.port);
  // EF FE 04 alone would read as EF FE 04 06 with the buffer's preset.
  for (const std::vector<uint8_t>& d : {std::vector<uint8_t>{},
                                        {0xEF},
                                        {0xEF, 0xFE},
                                        {0xEF, 0xFE, 0x04},
                                        {0xEF, 0xFE, 0x02},
                                        {0xEF, 0xFE, 0x02, 0x01},
                                        {0xEF, 0xFE, 0x04, 0x04},
                                        {0xEF, 0xFE, 0x01, 0x02}})
    c.send(d);
  auto ep6 = ep2_frame();
  ep6[3] = 0x06;
  c.send(ep6);
  auto ep2_short = ep2_frame();
  ep2_short.resize(1031);
  c.send(ep2_short);

  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(c.pending(), 0);  // only the one reply
  EXPECT_EQ(stub.stream_threads_created, 0);
  EXPECT_TRUE(server.model.tx().empty());
  EXPECT_TRUE(server.model.lo_rst_log().empty());
}

TEST(receive_loop, short_datagram_never_reuses_the_previous_datagrams_bytes) {
  // With a MAC beginning 00 the reply leaves EF FE 02 00 in the buffer that
  // took the request: a following three-byte EF FE 02 must not read as
  // another discovery request.
  running_server server([] { sim_config.hwaddr[0] = 0x00; });
  client c(server.port);
  c.discover();
  ASSERT_TRUE(c.receive());
  c.send({0xEF, 0xFE, 0x02});
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(c.pending(), 0);
}

// A datagram longer than a frame reaches the loop cut to the frame's size:
// whatever its kind, it is dropped and counted, so a long one with MOX set
// in its first 1032 bytes keys nothing.
TEST(receive_loop, ep2_frame_reaches_the_sink_and_longer_datagrams_are_dropped) {
  running_server server;
  client c(server.port);
  auto frame = ep2_frame();
  frame[3 + 8] = 0;  // C0 = 0: no transmit request
  c.send(frame);
  for (const size_t length : {frame_size + 1, size_t{2000}}) {
    auto longer = frame_with({0x01, 0, 0, 0, 0}, {0x01, 0, 0, 0, 0});  // MOX set
    longer.resize(length, 0x55);
    c.send(longer);
  }
  std::vector<uint8_t> long_discovery(frame_size + 8, 0);
  long_discovery[0] = 0xEF, long_discovery[1] = 0xFE, long_discovery[2] = 0x02;
  c.send(long_discovery);
  EXPECT_EQ(running_server::sync(c), 2);  // the one reply: to the short request
  EXPECT_EQ(c.pending(), 0);
  EXPECT_EQ(server.model.tx().size(), 252u);
  EXPECT_EQ(read8(gpio_out) & 1, 0);
  EXPECT_EQ(ld(filter_settings) & 1, 0);
  EXPECT_EQ(ld(count_long_datagrams), 3u);
  EXPECT_EQ(ld(count_ep2_short), 0u);
}

TEST(receive_loop, interrupted_receive_keeps_the_loop_serving) {
  running_server server;
  client c(server.port);
  stub.inject_eintr = 3;
  ASSERT_TRUE(eventually([] { return stub.inject_eintr == 0; }));
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(server.loop_result, -1);  // still running
}

TEST(receive_loop, idle_loop_runs_the_accessory_pass) {
  running_server server;
  st(cw_ptt, 1);
  EXPECT_TRUE(eventually([] { return (ld(filter_settings) & 1) && (ld(nucleo_settings) & 1); }));
}

TEST(receive_loop, receive_error_ends_the_loop_with_1) {
  running_server server;
  EXPECT_EQ(server.end_loop(), 1);
}

// A wait that fails, or reports an error condition on a descriptor (which
// would end every later wait at once), ends the loop with 1 and a message;
// a wait interrupted by a signal is an empty pass.
struct wait_failure_row {
  const char* name;
  int poll_errno;
  short socket_revents, event_revents;
  const char* message;  // "": the loop keeps serving
};
class wait_failure : public testing::TestWithParam<wait_failure_row> {};

TEST_P(wait_failure, ends_the_loop_with_1_instead_of_spinning) {
  const wait_failure_row& r = GetParam();
  running_server server;
  client c(server.port);
  ASSERT_EQ(running_server::sync(c), 2);
  testing::internal::CaptureStderr();
  stub.socket_revents = r.socket_revents;
  stub.event_revents = r.event_revents;
  stub.poll_errno = r.poll_errno;
  if (*r.message == '\0') {
    EXPECT_EQ(running_server::sync(c), 2);
    EXPECT_EQ(server.loop_result, -1);  // still running
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    return;
  }
  ASSERT_TRUE(eventually([&] { return server.loop_result != -1; }));
  EXPECT_EQ(server.loop_result, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), r.message);
  const int polls = stub.polls;
  EXPECT_EQ(server.end_loop(), 1);
  EXPECT_EQ(stub.polls, polls);
}

INSTANTIATE_TEST_SUITE_P(
    rows, wait_failure,
    testing::Values(wait_failure_row{"poll_fails", ENOMEM, 0, 0, "poll: Cannot allocate memory\n"},
                    wait_failure_row{"poll_interrupted", EINTR, 0, 0, ""},
                    wait_failure_row{"socket_error", 0, POLLERR, 0,
                                     "varnholt: the socket failed (poll events 0x8)\n"},
                    wait_failure_row{"socket_hung_up_with_data", 0, POLLIN | POLLHUP, 0,
                                     "varnholt: the socket failed (poll events 0x11)\n"},
                    wait_failure_row{"event_descriptor_invalid", 0, 0, POLLNVAL,
                                     "varnholt: the event descriptor failed (poll events 0x20)\n"},
                    wait_failure_row{"event_descriptor_error_with_signal", 0, 0, POLLIN | POLLERR,
                                     "varnholt: the event descriptor failed (poll events 0x9)\n"}),
    test_rows::row_name);

TEST(receive_loop, failed_thread_creation_ends_the_loop_with_1) {
  running_server server;
  client c(server.port);
  stub.fail_stream_thread = true;
  c.start();
  EXPECT_TRUE(eventually([&] { return server.loop_result == 1; }));
}

}  // namespace
