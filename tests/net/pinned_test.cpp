// Behaviours of the receive loop, the accessory pass and the stream thread
// that no other test would notice losing: each was checked by changing the
// code.
#include <gtest/gtest.h>

#include <ostream>

#include "control/control_fixture.h"
#include "control/writers.h"
#include "hardware/stop_signal.h"
#include "net/net_harness.h"
#include "net/shutdown.h"
#include "net/tx_release.h"
#include "net/tx_sink.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using namespace net_test;

// A frame whose two blocks begin with `sync`.
std::vector<uint8_t> with_sync(std::vector<uint8_t> f, uint8_t sync) {
  for (size_t block : frame_block_offset) f[block] = f[block + 1] = f[block + 2] = sync;
  return f;
}

// The sink runs before the frame's own control words: the frame that sets
// MOX still goes out as zero words, the next one carries its samples.
TEST(pinned, samples_are_gated_by_the_transmit_request_from_before_their_frame) {
  running_server server;
  ASSERT_TRUE(server.started);
  client c(server.port);
  const auto keying = frame_with({0x01, 0, 0, 0, 0}, {0x01, 0, 0, 0, 0});
  c.send(keying);
  c.send(keying);
  EXPECT_EQ(running_server::sync(c), 2);
  const auto tx = server.model.tx();
  ASSERT_EQ(tx.size(), 2 * tx_words_per_frame);
  EXPECT_EQ(std::vector<uint32_t>(tx.begin(), tx.begin() + 252), std::vector<uint32_t>(252, 0));
  EXPECT_EQ(tx[253], wire_word(ep2_sample(keying.data(), 0) + ep2_sample_iq));
  server.end_loop();
}

// Control words are used whatever the three sync bytes of their block hold.
class any_sync : public testing::TestWithParam<uint8_t> {};
TEST_P(any_sync, frame_is_still_used) {
  running_server server;
  ASSERT_TRUE(server.started);
  client c(server.port);
  c.send(with_sync(frame_with({0x02, 0x00, 0x6C, 0x56, 0x60}, {0x04, 0x00, 0x6B, 0x93, 0x10}),
                   GetParam()));
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(ld(tx_freq_hz), 7100000u);
  EXPECT_EQ(ld(rx1_freq_hz), 7050000u);
  EXPECT_EQ(server.model.tx().size(), tx_words_per_frame);
  server.end_loop();
}
INSTANTIATE_TEST_SUITE_P(sync_bytes, any_sync, testing::Values(0x7F, 0x00, 0xFF));

// The accessory pass calls the writers, not only its flags: stores to the
// alex register and messages on the bus.
struct writer_row {
  const char* name;
  uint8_t cw_ptt = 0;
  uint16_t alex_update = 0;
  uint16_t misc_update = 0;
  int32_t nucleo_update = 0;
  bool alex_written = false;
  std::vector<int> i2c;  // addresses written, in order
};
class pass_writers : public control_fixture, public testing::WithParamInterface<writer_row> {};

TEST_P(pass_writers, each_writer_asked_for_is_called) {
  const writer_row& r = GetParam();
  bring_up({i2c_address(i2c_accessory::misc), i2c_address(i2c_accessory::nucleo)});
  st(rx1_freq_hz, 7050000);  // a band the boards have not been told of
  st(cw_ptt, r.cw_ptt);
  st(alex_update, r.alex_update);
  st(misc_update, r.misc_update);
  st(nucleo_update, r.nucleo_update);
  accessory_updates();
  EXPECT_EQ(!rec.values_of(fpga_block::alex, 0).empty(), r.alex_written);
  std::vector<int> addresses;
  for (const auto& m : take_i2c()) addresses.push_back(m.addr);
  EXPECT_EQ(addresses, r.i2c);
}

INSTANTIATE_TEST_SUITE_P(
    rows, pass_writers,
    testing::Values(writer_row{"nothing_pending", 0, 0, 0, 0, false, {}},
                    writer_row{"ptt_merge_without_alex_update", 1, 0, 0, 0, true, {0x55}},
                    writer_row{"alex_update", 0, 1, 0, 0, true, {}},
                    writer_row{"misc_update", 0, 0, 1, 0, false, {0x23}},
                    writer_row{"nucleo_update", 0, 0, 0, 1, false, {0x55}}),
    test_rows::row_name);

// An overflow found by the running stream's own check restarts the FIFO.
TEST(pinned, overflow_inside_a_running_stream_restarts_the_receive_fifo) {
  running_server server;
  ASSERT_TRUE(server.started);
  client c(server.port);
  c.start();
  ASSERT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == 1; }));
  // Enough for one batch and, after it, the overflow mark: the check before
  // the next batch finds it, whichever batch the thread is at.
  server.model.add_rx_words(rx_fifo_overflow + ep6_geometry_for(1).fill_threshold);
  EXPECT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == 2; }));
  c.stop();
  EXPECT_EQ(running_server::sync(c), 2);
  server.end_loop();
}

// A stop that comes while the thread builds a batch: the batch still goes.
struct stop_in_batch {
  fake_fpga* model;
  fpga_observer observer{this, &stop_in_batch::on_store, &stop_in_batch::on_load,
                         &stop_in_batch::on_read_fifo};
  static void on_store(void* ctx, fpga_block b, uint32_t o, unsigned w, uint32_t v) {
    auto* m = static_cast<stop_in_batch*>(ctx)->model;
    m->observer.store(m->observer.ctx, b, o, w, v);
  }
  static uint32_t on_load(void* ctx, fpga_block b, uint32_t o, unsigned w, uint32_t mem) {
    auto* m = static_cast<stop_in_batch*>(ctx)->model;
    return m->observer.load(m->observer.ctx, b, o, w, mem);
  }
  static void on_read_fifo(void* ctx, fpga_block b, void* dst, size_t bytes) {
    auto* m = static_cast<stop_in_batch*>(ctx)->model;
    m->observer.read_fifo(m->observer.ctx, b, dst, bytes);
    enable_thread.store(0, std::memory_order_release);
  }
};

TEST(pinned, batch_in_hand_is_sent_after_a_stop) {
  sim_board board(stub_board());
  fake_fpga model;
  stop_in_batch hook{&model};
  fpga_obs = &hook.observer;
  client c(1);                                     // its own address is the stream's destination
  st(sock_ep2, ::socket(AF_INET, SOCK_DGRAM, 0));  // closed with the board
  addr_ep6.sin_family = AF_INET;
  addr_ep6.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr_ep6.sin_port = htons(c.port());
  // The thread restarts the FIFO first; the batch comes while it waits.
  stub.usleep_hook = [&](useconds_t) {
    if (model.next_record == 0) model.add_rx_words(ep6_geometry_for(1).fill_threshold);
  };
  enable_thread.store(1);
  active_thread.store(1);
  handler_ep6(nullptr);  // on this thread: ends after the batch
  EXPECT_EQ(active_thread.load(), 0);
  EXPECT_EQ(test_platform::calls.sendmmsgs, 1);
  EXPECT_EQ(c.pending(), ep6_geometry_for(1).frames);
}

// The stub on a virtual clock that its sleeps move: the limits of the
// shutdown's hand-shakes pass at once.
board_options timed_stub_board(bool map) {
  board_options o = stub_board(map, {.virtual_sleeps = true});
  o.clock_ns = 1'000'000'000;
  return o;
}

// The shutdown writes the Alex and band-board MOX release before it waits
// for the keyer, so a keyer that misses its limit does not leave the
// transmit/receive relays in transmit.
class shutdown_release : public control_fixture {
 protected:
  shutdown_release() : control_fixture(timed_stub_board(true)) {}
};

TEST_F(shutdown_release, relays_leave_transmit_even_when_the_keyer_misses_its_limit) {
  bring_up({i2c_address(i2c_accessory::nucleo)});
  const auto f = frame_with({{0x01, 0x01, 0x0A, 0x25, 0x1A}},
                            {{ep2_c0::tx_frequency, 0x00, 0x6C, 0x56, 0x3C}});
  process_ep2(&f[ep2_c0_offset[0]]);
  process_ep2(&f[ep2_c0_offset[1]]);
  tx_release_note(f.data());
  accessory_updates();
  ASSERT_EQ(ld(filter_settings) & 1, 1);
  ASSERT_EQ(ld(nucleo_word_sent) & 2, 2u);  // nucleo_settings bit 0, one up in the word
  rec.stores.clear();
  take_i2c();

  testing::internal::CaptureStderr();
  EXPECT_FALSE(shut_down());  // no keyer runs to answer
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "varnholt: the keyer did not release the transmitter\n");
  int rx_words = 0, tx_words = 0;
  for (const uint32_t v : rec.values_of(fpga_block::alex, 0)) {
    if (v & 0x10000) {
      ++rx_words;
      EXPECT_EQ(v & 0x8000, 0u) << "receive word " << std::hex << v;
    } else {
      ++tx_words;
      EXPECT_EQ(v & 0x1000, 0u) << "transmit word " << std::hex << v;
    }
  }
  EXPECT_GT(rx_words + tx_words, 0) << "the Alex board was not written";
  std::vector<i2c_msg> nucleo;
  for (const auto& m : take_i2c())
    if (m.addr == i2c_address(i2c_accessory::nucleo)) nucleo.push_back(m);
  ASSERT_FALSE(nucleo.empty()) << "the band board was not written";
  EXPECT_EQ(ld(nucleo_word_sent) & 2, 0u);
}

// The exit status after a stop signal: 0 only when the keyer released the
// transmitter and the stream ended within their limits. The signal comes
// before start-up ends, so the loop's first wait must end at once.
struct stop_exit_row {
  const char* name;
  bool keyer_answers;
  bool stream_stuck;
  int status;
  const char* message;
};
class stop_exit : public testing::TestWithParam<stop_exit_row> {};

TEST_P(stop_exit, status_1_unless_every_thread_answered) {
  const stop_exit_row& r = GetParam();
  sim_board board(timed_stub_board(false));
  serve_on_loopback();
  stop_requested.store(SIGTERM);
  ASSERT_EQ(start_up_with_ones(), 0);
  if (r.keyer_answers) cw_released.store(1);
  if (r.stream_stuck) {
    enable_thread.store(1);
    active_thread.store(1);
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(receive_loop(), r.status);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), r.message);
  EXPECT_EQ(stub.poll_timeouts, 0) << "the first wait ran to its limit";
  EXPECT_EQ(stub.polls, 1);
  stop_requested.store(0);
  active_thread.store(0);
}

INSTANTIATE_TEST_SUITE_P(
    rows, stop_exit,
    testing::Values(stop_exit_row{"every_thread_answers", true, false, 0, ""},
                    stop_exit_row{"keyer_misses_its_limit", false, false, 1,
                                  "varnholt: the keyer did not release the transmitter\n"},
                    stop_exit_row{"stream_thread_stuck", true, true, 1,
                                  "varnholt: the stream thread did not stop\n"}),
    test_rows::row_name);

}  // namespace
