// Every wait of the receive loop but its wait for datagrams has a limit. The
// sink: a FIFO that does not drain costs one wait of fifo_wait_limit_ms, then
// counts as stalled and is looked at once per frame, its samples dropped and
// counted, until it has room again. The stream stop and the keyer's release
// at shutdown give up after their limits.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "control/counters.h"
#include "hardware/i2c.h"
#include "net/shutdown.h"
#include "net/tx_sink.h"
#include "net_harness.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using namespace net_test;

// The stub with a virtual clock: its sleeps call stub.usleep_hook, which
// moves the clock.
using test_platform::now_ns;
board_options stall_board() {
  board_options o = stub_board(true, {.virtual_clock = true});
  o.clock_ns = 1'000'000'000;
  return o;
}

struct fifo_row {
  const char* name;
  bool codec;  // the codec's DAC FIFO stalls, else the transmit FIFO
};
class stalled_fifo : public board_fixture, public testing::WithParamInterface<fifo_row> {
 protected:
  stalled_fifo() : board_fixture(stall_board()) {}

  fake_fpga model;
  int sleeps = 0;
  std::atomic<uint16_t>* level = nullptr;  // the FIFO under test
  uint16_t threshold = 0;
  std::atomic<uint32_t>* dropped = nullptr;
  std::atomic<uint8_t>* stalled = nullptr;

  void SetUp() override {
    model.attach();
    stub.usleep_hook = [this](useconds_t us) {
      ++sleeps;
      now_ns += static_cast<int64_t>(us) * 1000;
    };
    set_i2c_has(i2c_accessory::codec, 1);  // both parts run; the other FIFO always has room
    const bool codec = GetParam().codec;
    level = codec ? &model.dac_level : &model.tx_level;
    threshold = codec ? dac_fifo_threshold : tx_fifo_threshold;
    dropped = codec ? &count_codec_samples_dropped : &count_tx_samples_dropped;
    stalled = codec ? &dac_fifo_stalled : &tx_fifo_stalled;
  }
  void TearDown() override {
    st(tx_fifo_stalled, 0);
    st(dac_fifo_stalled, 0);
  }
  size_t words() { return GetParam().codec ? model.audio().size() : model.tx().size(); }
  // The loads of the level under test (tx_cntr is counted by the model).
  int looks() const { return GetParam().codec ? 0 : model.tx_cntr_loads.load(); }
};

TEST_P(stalled_fifo, costs_one_wait_then_one_look_per_frame_until_it_has_room) {
  const auto frame = ep2_frame();
  *level = 4000;  // never drains

  tx_sink_frame(frame.data());
  EXPECT_EQ(sleeps, fifo_wait_limit_ms);
  EXPECT_EQ(words(), 0u);
  EXPECT_EQ(dropped->load(), 126u);
  EXPECT_EQ(ld(*stalled), 1);

  const int looks_before = looks();
  for (int f = 0; f < 5; ++f) tx_sink_frame(frame.data());
  EXPECT_EQ(sleeps, fifo_wait_limit_ms);  // no further wait
  if (!GetParam().codec) {
    EXPECT_EQ(looks() - looks_before, 5);
  }
  EXPECT_EQ(words(), 0u);
  EXPECT_EQ(dropped->load(), 6 * 126u);

  // Drained to the threshold: fed as usual again.
  *level = threshold;
  tx_sink_frame(frame.data());
  EXPECT_EQ(ld(*stalled), 0);
  const size_t per_frame = GetParam().codec ? dac_words_per_frame : tx_words_per_frame;
  EXPECT_EQ(words(), per_frame);
  EXPECT_EQ(dropped->load(), 6 * 126u);

  // Flow control again: a full FIFO is waited for, and one that drains
  // within the limit loses nothing.
  stub.usleep_hook = [this](useconds_t us) {
    ++sleeps;
    now_ns += static_cast<int64_t>(us) * 1000;
    --*level;
  };
  *level = static_cast<uint16_t>(threshold + 5);
  tx_sink_frame(frame.data());
  EXPECT_EQ(sleeps, fifo_wait_limit_ms + 5);
  EXPECT_EQ(words(), 2 * per_frame);
  EXPECT_EQ(dropped->load(), 6 * 126u);
}

TEST_P(stalled_fifo, gives_up_at_the_limit_not_before) {
  const auto frame = ep2_frame();
  // Room comes with the last sleep before the limit.
  stub.usleep_hook = [this](useconds_t us) {
    ++sleeps;
    now_ns += static_cast<int64_t>(us) * 1000;
    if (sleeps == fifo_wait_limit_ms) *level = threshold;
  };
  *level = 4000;
  tx_sink_frame(frame.data());
  EXPECT_EQ(ld(*stalled), 0);
  EXPECT_EQ(dropped->load(), 0u);
  EXPECT_GT(words(), 0u);
}

INSTANTIATE_TEST_SUITE_P(rows, stalled_fifo,
                         testing::Values(fifo_row{"transmit", false}, fifo_row{"codec", true}),
                         test_rows::row_name);

// The receive loop with a transmit FIFO that never drains: one wait, then
// frames, discovery requests and a stop are handled without sleeping.
TEST(stalled_fifo_loop, answers_discovery_and_stop_without_further_waits) {
  running_server server;
  ASSERT_TRUE(server.started);
  server.model.tx_level = 4000;
  client c(server.port);
  c.start();
  c.send(ep2_frame());
  EXPECT_EQ(running_server::sync(c), 3);
  const int after_first = stub.loop_usleeps;
  EXPECT_GT(after_first, 0);
  EXPECT_EQ(ld(tx_fifo_stalled), 1);

  for (int f = 0; f < 20; ++f) c.send(ep2_frame(static_cast<uint32_t>(f)));
  EXPECT_EQ(running_server::sync(c), 3);
  EXPECT_EQ(stub.loop_usleeps, after_first);
  EXPECT_EQ(count_tx_samples_dropped.load(), 21 * 126u);
  EXPECT_TRUE(server.model.tx().empty());
  c.stop();
  EXPECT_EQ(running_server::sync(c), 2);

  // The FIFO drains: the next frame goes in.
  server.model.tx_level = 100;
  c.send(ep2_frame());
  EXPECT_EQ(running_server::sync(c), 2);
  EXPECT_EQ(server.model.tx().size(), tx_words_per_frame);
  EXPECT_EQ(ld(tx_fifo_stalled), 0);
  server.end_loop();
}

// The other end of a hand-shake answers at sleep `answer_at` (0: never).
struct handshake_row {
  const char* name;
  int answer_at;
  bool done;
};
class handshake : public board_fixture, public testing::WithParamInterface<handshake_row> {
 protected:
  int sleeps = 0;
  handshake() : board_fixture(stall_board()) {}
  // Each sleep advances the virtual clock; at sleep `answer_at` `answer` runs.
  void answer_with(const std::function<void()>& answer) {
    stub.usleep_hook = [this, answer](useconds_t us) {
      now_ns += static_cast<int64_t>(us) * 1000;
      if (++sleeps == GetParam().answer_at) answer();
    };
  }
};

TEST_P(handshake, stream_stop_waits_for_the_thread_at_most_its_limit) {
  active_thread.store(1);  // a stream thread that has not ended
  enable_thread.store(1);
  answer_with([] { active_thread.store(0); });
  EXPECT_EQ(stream_stop(), GetParam().done);
  EXPECT_EQ(enable_thread.load(), 0);
  EXPECT_EQ(sleeps, GetParam().answer_at ? GetParam().answer_at : stream_stop_limit_ms);
}

TEST_P(handshake, shutdown_waits_for_the_keyer_at_most_its_limit) {
  answer_with([] { cw_released.store(1); });
  testing::internal::CaptureStderr();
  EXPECT_EQ(shut_down(), GetParam().done);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            GetParam().done ? "" : "varnholt: the keyer did not release the transmitter\n");
  EXPECT_EQ(ld(cw_release), 1);
  EXPECT_EQ(sleeps, GetParam().answer_at ? GetParam().answer_at : keyer_release_limit_ms);
}

INSTANTIATE_TEST_SUITE_P(rows, handshake,
                         testing::Values(handshake_row{"answers_at_once", 1, true},
                                         handshake_row{"answers_late", 7, true},
                                         handshake_row{"never_answers", 0, false}),
                         test_rows::row_name);

}  // namespace
