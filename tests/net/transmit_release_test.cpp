// Release of the client's transmit request: the same effect as its last
// general word with MOX clear, at a stop or start command, and after a
// second without EP2 frames; the next word with MOX set keys again.
#include <gtest/gtest.h>

#include <ostream>

#include "control/control_fixture.h"
#include "control/counters.h"
#include "control/writers.h"
#include "net/net_harness.h"
#include "net/tx_release.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using namespace net_test;

// What a control word leaves behind: FPGA stores, I2C messages and the
// state the writers and later words work from.
struct effect {
  std::vector<recorded_store> stores;
  std::vector<i2c_msg> i2c;
  std::vector<int64_t> state;
  bool operator==(const effect&) const = default;
};
std::ostream& operator<<(std::ostream& os, const effect& e) {
  os << "stores:";
  for (const auto& s : e.stores) os << " " << s;
  os << "\ni2c:";
  for (const auto& m : e.i2c) os << " [" << m << "]";
  os << "\nstate:";
  for (int64_t v : e.state) os << " " << v;
  return os;
}

std::vector<int64_t> state_words() {
  return {ld(filter_settings),
          ld(alex_update),
          ld(nucleo_settings),
          ld(nucleo_update),
          ld(misc_update),
          ld(i2c_pene_data),
          ld(i2c_dac0_data),
          ld(arduino_outputs_antennas_sent),
          ld(alex_rx_sent),
          ld(alex_tx_sent),
          ld(nucleo_word_sent),
          ld(receivers),
          ld(rate),
          ld(tx_eer),
          ld(rx_synced)};
}

struct release_row {
  const char* name;
  std::vector<int> devices;
  control_word general;  // C0 0: sent with MOX set first
  uint8_t rx_att = 0;    // receive attenuation set after the MOX word
  uint8_t keyer_ptt = 0;
};
class release_equals_mox_clear : public control_fixture,
                                 public testing::WithParamInterface<release_row> {
 protected:
  // Brings the board up, sends the row's general word with MOX set (and a
  // transmit frequency) as a frame, runs the accessory pass, then the row's
  // changes; returns with the recorders emptied.
  void keyed(const release_row& r) {
    bring_up(r.devices);
    control_word mox = r.general;
    mox.c[0] |= ep2_c0::mox;
    const auto f = frame_with(mox, {{ep2_c0::tx_frequency, 0x00, 0x6C, 0x56, 0x3C}});
    process_ep2(&f[ep2_c0_offset[0]]);
    process_ep2(&f[ep2_c0_offset[1]]);
    tx_release_note(f.data());
    if (r.rx_att) send_word(ep2_c0::rx_attenuation, 0, 0, 0, r.rx_att);
    st(cw_ptt, r.keyer_ptt);
    accessory_updates();
    ASSERT_EQ(read8(gpio_out) & 1, 1);
    rec.stores.clear();
    take_i2c();
  }
  effect taken() {
    accessory_updates();
    return {std::exchange(rec.stores, {}), take_i2c(), state_words()};
  }
};

TEST_P(release_equals_mox_clear, release_does_what_the_word_with_mox_clear_does) {
  const release_row& r = GetParam();
  keyed(r);
  ASSERT_TRUE(tx_release());
  const effect released = taken();
  EXPECT_EQ(count_tx_released.load(), 1u);
  EXPECT_EQ(read8(gpio_out) & 1, 0);
  EXPECT_EQ(ld(filter_settings) & 1, r.keyer_ptt);  // the keyer's PTT is merged back
  EXPECT_FALSE(tx_release());                       // nothing left to release
  EXPECT_TRUE(taken().stores.empty());
  EXPECT_EQ(count_tx_released.load(), 1u);

  keyed(r);
  process_ep2(r.general.c);
  EXPECT_EQ(released, taken());
}

const std::vector<int> all(all_but_codec.begin(), all_but_codec.end());

INSTANTIATE_TEST_SUITE_P(
    rows, release_equals_mox_clear,
    testing::Values(release_row{"every_accessory", all, {{0x00, 0x01, 0x0A, 0x25, 0x1A}}},
                    release_row{"every_accessory_all_bits", all, {{0x00, 0xFF, 0xFF, 0xFF, 0xFF}}},
                    release_row{"no_accessory", {}, {{0x00, 0x01, 0x0A, 0x25, 0x1A}}},
                    release_row{"codec_keeps_alex_quiet",
                                {i2c_address(i2c_accessory::codec)},
                                {{0x00, 0x02, 0x04, 0x41, 0x01}}},
                    // The receive path bit depends on the attenuation of now.
                    release_row{
                        "attenuation_changed_since", all, {{0x00, 0x00, 0x00, 0x00, 0x00}}, 12},
                    release_row{"keyer_holds_ptt", all, {{0x00, 0x01, 0x0A, 0x25, 0x1A}}, 0, 1}),
    test_rows::row_name);

// The silence check against a virtual clock.
using test_platform::now_ns;

struct silence_row {
  const char* name;
  uint8_t c0;  // of the general word in the last frame
  bool released;
  int block = 0;  // of the general word; the other block carries another word
};
class silence : public control_fixture, public testing::WithParamInterface<silence_row> {
 protected:
  silence() : control_fixture({.settings = {.virtual_clock = true}, .clock_ns = 7'000'000'000}) {}
};

TEST_P(silence, releases_mox_after_a_second_without_frames) {
  const silence_row& r = GetParam();
  bring_up(std::vector<int>{});
  const control_word general{{r.c0, 0x01, 0x0A, 0x25, 0x1A}}, other{{ep2_c0::rx_attenuation}};
  const auto f = r.block == 0 ? frame_with(general, other) : frame_with(other, general);
  process_ep2(&f[ep2_c0_offset[0]]);
  process_ep2(&f[ep2_c0_offset[1]]);
  tx_release_note(f.data());
  ASSERT_EQ(read8(gpio_out) & 1, r.c0 & 1);
  tx_release_check();  // the pass that handled the frame
  now_ns += tx_silence_limit_ms * 1000000 - 1;
  tx_release_check();
  EXPECT_EQ(count_tx_released.load(), 0u) << "released before the time";
  now_ns += 1;
  tx_release_check();
  EXPECT_EQ(count_tx_released.load(), r.released ? 1u : 0u);
  EXPECT_EQ(read8(gpio_out) & 1, 0);
}

INSTANTIATE_TEST_SUITE_P(rows, silence,
                         testing::Values(silence_row{"mox", 0x01, true},
                                         silence_row{"no_mox", 0x00, false},
                                         // A client whose general word comes in block 2.
                                         silence_row{"mox_in_block_2", 0x01, true, 1},
                                         silence_row{"no_mox_in_block_2", 0x00, false, 1}),
                         test_rows::row_name);

// The receive loop: stop and start commands release the transmit request
// before they touch the stream.

enum class command { stop, start_same_client, start_other_client };
struct command_row {
  const char* name;
  command what;
};
class command_releases : public testing::TestWithParam<command_row> {};

TEST_P(command_releases, at_once_and_the_next_mox_word_keys_again) {
  running_server server;
  ASSERT_TRUE(server.started);
  client a(server.port), b(server.port);
  const control_word mox{{0x01, 0x00, 0x00, 0x00, 0x00}};
  const auto keyed = frame_with(mox, mox);

  a.start();
  a.send(keyed);
  EXPECT_EQ(running_server::sync(a), 3);
  ASSERT_EQ(ld(filter_settings) & 1, 1);
  switch (GetParam().what) {
    case command::stop:
      a.stop();
      EXPECT_EQ(running_server::sync(a), 2);
      break;
    case command::start_same_client:
      a.start();
      EXPECT_EQ(running_server::sync(a), 3);
      break;
    case command::start_other_client:
      b.start();
      EXPECT_EQ(running_server::sync(a), 3);
      break;
  }
  // gpio_out itself: release_equals_mox_clear and the end-to-end trace.
  EXPECT_EQ(count_tx_released.load(), 1u);
  EXPECT_EQ(ld(tx_general_word[0]), 0);
  EXPECT_EQ(ld(filter_settings) & 1, 0);

  a.send(keyed);
  EXPECT_EQ(running_server::sync(a), GetParam().what == command::stop ? 2 : 3);
  EXPECT_EQ(ld(filter_settings) & 1, 1);
  EXPECT_EQ(count_tx_released.load(), 1u);
  server.end_loop();
}

INSTANTIATE_TEST_SUITE_P(
    rows, command_releases,
    testing::Values(command_row{"stop", command::stop},
                    command_row{"start_same_client", command::start_same_client},
                    command_row{"start_other_client", command::start_other_client}),
    test_rows::row_name);

}  // namespace
