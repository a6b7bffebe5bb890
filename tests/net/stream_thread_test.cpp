// The stream thread end to end: started by the receive loop, fed by the FPGA
// model one batch at a time, read back by a client on loopback.
#include <gtest/gtest.h>

#include "hardware/i2c.h"
#include "net_harness.h"

namespace {

using namespace net_test;

using frame_vec = std::vector<std::vector<uint8_t>>;

// Feeds one batch into the receive FIFO and collects its frames.
frame_vec next_batch(running_server& server, const client& c, int receivers) {
  const ep6_geometry g = ep6_geometry_for(receivers);
  server.model.add_rx_words(static_cast<uint32_t>(g.fill_threshold));
  frame_vec frames;
  for (int f = 0; f < g.frames; ++f) {
    auto frame = c.receive();
    if (!frame) break;
    frames.push_back(std::move(*frame));
  }
  return frames;
}

const uint8_t* slot(const std::vector<uint8_t>& frame, int block, int k, int slot_size) {
  return frame.data() + frame_block_offset[block] + block_payload_offset + k * slot_size;
}

// Starts a stream from `c` and waits until its thread has restarted the FIFO,
// so that words fed afterwards are not thrown away by that restart.
void start_stream(running_server& server, const client& c) {
  const int restarts = server.model.rx_fifo_restarts;
  c.start();
  ASSERT_TRUE(eventually([&] { return server.model.rx_fifo_restarts == restarts + 1; }));
}

TEST(stream_thread, one_receiver_batches_carry_consecutive_records_sequence_and_rotation) {
  running_server server;
  client c(server.port);
  start_stream(server, c);
  const uint8_t c0_of[5] = {0x00, 0x08, 0x10, 0x18, 0x20};
  uint32_t record = 0;
  int header = 0;
  for (uint32_t batch = 0; batch < 3; ++batch) {
    const frame_vec frames = next_batch(server, c, 1);
    ASSERT_EQ(frames.size(), 4u);
    for (uint32_t f = 0; f < 4; ++f) {
      const auto& frame = frames[f];
      ASSERT_EQ(frame.size(), frame_size);
      EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 4),
                (std::vector<uint8_t>{0xEF, 0xFE, 0x01, 0x06}));
      EXPECT_EQ(get_be32(frame.data() + 4), batch * 4 + f);
      for (int b = 0; b < 2; ++b) {
        EXPECT_EQ(frame[frame_block_offset[b] + 3], c0_of[header]) << batch << "/" << f << "/" << b;
        header = (header + 1) % 5;
        for (int k = 0; k < 63; ++k, ++record) {
          const uint8_t* s = slot(frame, b, k, 8);
          for (unsigned j = 0; j < 6; ++j) ASSERT_EQ(s[j], record_byte(record, j)) << record;
          ASSERT_EQ(s[6], 0);  // no codec: no microphone
          ASSERT_EQ(s[7], 0);
        }
      }
    }
  }
  EXPECT_EQ(test_platform::calls.sendmmsgs, 3);
}

TEST(stream_thread, three_receivers_read_exactly_one_batch_of_records_each_time) {
  running_server server;
  st(receivers, 3);
  client c(server.port);
  start_stream(server, c);
  uint32_t record = 0;
  for (int batch = 0; batch < 2; ++batch) {
    const frame_vec frames = next_batch(server, c, 3);
    ASSERT_EQ(frames.size(), 10u);
    for (const auto& frame : frames)
      for (int b = 0; b < 2; ++b)
        for (int k = 0; k < 25; ++k, ++record) {
          const uint8_t* s = slot(frame, b, k, 20);
          ASSERT_EQ(s[0], record_byte(record, 0)) << record;
          ASSERT_EQ(s[12], record_byte(record, 18)) << record;
        }
  }
  EXPECT_EQ(server.model.next_record, 1000u);
}

TEST(stream_thread, start_restarts_the_receive_fifo_without_touching_codec_bit) {
  running_server server;
  client c(server.port);
  start_stream(server, c);
  EXPECT_EQ(server.model.rx_rst_log(), (std::vector<uint8_t>{0x04, 0x05}));
}

TEST(stream_thread, start_restarts_codec_fifo_first_with_a_codec) {
  running_server server([] { sim_config.i2c_devices[i2c_address(i2c_accessory::codec)] = true; });
  ASSERT_EQ(i2c_has(i2c_accessory::codec), 1);
  client c(server.port);
  start_stream(server, c);
  EXPECT_EQ(server.model.rx_rst_log(), (std::vector<uint8_t>{0x00, 0x02, 0x02, 0x03}));
}

uint32_t mic_number(const std::vector<uint8_t>& frame, int b, int k) {
  const uint8_t* s = slot(frame, b, k, 8) + 6;
  return static_cast<uint32_t>(s[0]) << 8 | s[1];
}
// Microphone word numbers of a one-receiver batch, sample by sample.
std::vector<uint32_t> mic_numbers(const frame_vec& frames) {
  std::vector<uint32_t> v;
  for (const auto& frame : frames)
    for (int b = 0; b < 2; ++b)
      for (int k = 0; k < 63; ++k) v.push_back(mic_number(frame, b, k));
  return v;
}

TEST(stream_thread, codec_words_repeat_two_to_the_rate_times_and_hold_when_rate_drops) {
  running_server server([] { sim_config.i2c_devices[i2c_address(i2c_accessory::codec)] = true; });
  st(rate, 2);
  client c(server.port);
  start_stream(server, c);

  for (int batch = 1; batch <= 3; ++batch) {
    const auto mic = mic_numbers(next_batch(server, c, 1));
    ASSERT_EQ(mic.size(), 504u);
    EXPECT_EQ(mic, std::vector<uint32_t>(504, 0)) << "batch " << batch;
  }
  EXPECT_EQ(server.model.codec_reads, 0);

  // Fourth batch: the codec read brings words 1..504; each fills 4 slots.
  auto mic = mic_numbers(next_batch(server, c, 1));
  EXPECT_EQ(server.model.codec_reads, 1);
  for (uint32_t s = 0; s < 504; ++s) ASSERT_EQ(mic[s], s / 4 + 1) << s;
  mic = mic_numbers(next_batch(server, c, 1));
  for (uint32_t s = 0; s < 504; ++s) ASSERT_EQ(mic[s], (504 + s) / 4 + 1) << s;

  // The rate drops to 48 kHz before the read's words are used up: the index
  // would run past word 504; it holds there until the next read.
  st(rate, 0);
  for (int batch = 6; batch <= 7; ++batch)
    EXPECT_EQ(mic_numbers(next_batch(server, c, 1)), std::vector<uint32_t>(504, 504));
  EXPECT_EQ(server.model.codec_reads, 1);

  // Eighth batch: the next read (countdown set at the fourth), now one word
  // per slot.
  mic = mic_numbers(next_batch(server, c, 1));
  EXPECT_EQ(server.model.codec_reads, 2);
  for (uint32_t s = 0; s < 504; ++s) ASSERT_EQ(mic[s], 505 + s) << s;
}

TEST(stream_thread, stopped_before_it_runs_it_resets_fifos_and_sends_nothing) {
  sim_board board(stub_board());
  fake_fpga model;
  model.attach();
  model.rx_words = 8000;
  active_thread.store(1);  // as the loop leaves it; enable_thread is 0
  handler_ep6(nullptr);
  EXPECT_EQ(active_thread.load(), 0);
  EXPECT_EQ(model.rx_fifo_restarts, 1);
  EXPECT_EQ(test_platform::calls.sendmmsgs, 0);
}

}  // namespace
