// The receive loop and the decoder together: EP2 frames sent over loopback
// become register stores and accessory messages, each change once.
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "control/control_fixture.h"
#include "net/net_harness.h"

namespace {

using namespace net_test;

// Records the control registers' stores (cfg and alex blocks) from the loop
// thread; the FIFO ports are left out.
struct control_register_log {
  std::mutex mutex;
  std::vector<recorded_store> stores;
  fpga_observer observer{this, &control_register_log::on_store, nullptr, nullptr};

  std::vector<recorded_store> take() {
    std::lock_guard lock(mutex);
    return std::exchange(stores, {});
  }

 private:
  static void on_store(void* ctx, fpga_block b, uint32_t offset, unsigned width, uint32_t value) {
    if (b != fpga_block::cfg && b != fpga_block::alex) return;
    auto* log = static_cast<control_register_log*>(ctx);
    std::lock_guard lock(log->mutex);
    log->stores.push_back({b, offset, width, value});
  }
};

class loop_and_decoder : public control_fixture {
 protected:
  control_register_log registers;
  std::thread loop;
  uint16_t port = 0;

  loop_and_decoder() : control_fixture(stub_board(false)) {}

  void SetUp() override {
    serve_on_loopback();
    for (int a : all_but_codec) sim_config.i2c_devices[a] = true;
    ASSERT_EQ(start_up_with_ones(), 0);
    port = sim_bound_port();
    // The transmit FIFO reads as part filled: the sink neither primes nor waits.
    *const_cast<volatile uint16_t*>(tx_cntr) = 100;
    sim_i2c_log.clear();
    fpga_obs = &registers.observer;  // before the loop thread exists
    loop = std::thread([] { receive_loop(); });
  }

  void TearDown() override {
    if (loop.joinable()) {
      stub.end_loop = true;
      loop.join();
    }
  }

  // Sends one frame and returns once the loop has handled it and run the
  // accessory pass after it: the reply to a first discovery request comes
  // from the same batch as the frame at the latest, so the reply to a second
  // one comes after that batch's accessory pass.
  void deliver(const client& c, const std::vector<uint8_t>& frame) {
    c.send(frame);
    ASSERT_EQ(running_server::sync(c), 2);
    ASSERT_EQ(running_server::sync(c), 2);
  }
};

TEST_F(loop_and_decoder, frames_over_loopback_change_registers_and_accessories_once) {
  client c(port);
  const control_word general{ep2_c0::general, 0x01, 0x04, 0x41, 0x01};
  const control_word general_sync{ep2_c0::general, 0x01, 0x04, 0x41, 0x81};
  const auto frame_1 = frame_with(general, frequency_word(ep2_c0::tx_frequency, 7100000));
  const auto frame_2 = frame_with(frequency_word(ep2_c0::rx1_frequency, 7100000),
                                  frequency_word(ep2_c0::rx2_frequency, 14200000));
  const uint32_t inc_7_1 = 62040747, inc_14_2 = phase_increment(14200000);

  // Settings, antennas and the transmit frequency: the decoder's messages,
  // then the Alex words and the band boards from the pass after the batch.
  deliver(c, frame_1);
  EXPECT_EQ(registers.take(),
            (std::vector<recorded_store>{store_of(gpio_out, 1, 0x26), store_of(rx_rate, 2, 320),
                                         store_of(tx_freq, 4, inc_7_1), store_of(alex, 4, 0x15201),
                                         store_of(alex, 4, 0x20288)}));
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x20, {0x02, 0x82, 0x0C}},
                                              {0x60, {0x0D, 0x42}},
                                              {0x40, {0x04, 0x00, 0x02, 0x40}},
                                              {0x40, {0x03, 0xBC, 0x1B}},
                                              {0x23, {0x02, 0x00, 0x01}},
                                              {0x55, {0x09, 0x90, 0x00, 0x00, 0x00}}}));

  // Both receivers: new filters and bands.
  deliver(c, frame_2);
  EXPECT_EQ(registers.take(), (std::vector<recorded_store>{
                                  store_of(rx_freq, 4, inc_7_1), store_of(rx_freq + 1, 4, inc_14_2),
                                  store_of(alex, 4, 0x14221), store_of(alex, 4, 0x20218)}));
  EXPECT_EQ(take_i2c(), (std::vector<i2c_msg>{{0x40, {0x01, 0xBC, 0x1B}},
                                              {0x40, {0x02, 0x78, 0x37}},
                                              {0x23, {0x02, 0x53, 0x00}},
                                              {0x55, {0x08, 0x90, 0x00, 0x00, 0x64}}}));

  // The client repeats itself: registers are rewritten, nothing else moves.
  deliver(c, frame_1);
  deliver(c, frame_2);
  EXPECT_EQ(registers.take(), (std::vector<recorded_store>{
                                  store_of(gpio_out, 1, 0x26), store_of(rx_rate, 2, 320),
                                  store_of(tx_freq, 4, inc_7_1), store_of(rx_freq, 4, inc_7_1),
                                  store_of(rx_freq + 1, 4, inc_14_2)}));
  EXPECT_TRUE(take_i2c().empty());

  // Synchronisation on: receiver 2 takes receiver 1's increment and the
  // oscillators restart once; the unchanged receiver-1 word then only
  // rewrites both registers.
  deliver(c, frame_with(general_sync, frequency_word(ep2_c0::rx1_frequency, 7100000)));
  EXPECT_EQ(registers.take(),
            (std::vector<recorded_store>{
                store_of(rx_freq + 1, 4, inc_7_1), store_of(lo_rst, 1, 0x04),
                store_of(lo_rst, 1, 0x07), store_of(gpio_out, 1, 0x26), store_of(rx_rate, 2, 320),
                store_of(rx_freq, 4, inc_7_1), store_of(rx_freq + 1, 4, inc_7_1)}));
  EXPECT_TRUE(take_i2c().empty());
}

}  // namespace
