// The simulated FPGA against a clock the test moves: FIFO fill and drain
// rates, overflow and restart behaviour, the record layout, the scene as the
// receivers hear it, the transmitter heard back, the XADC and the trace.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>

#include "model_fixture.h"
#include "sim/sim_scene.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

sim_model_config quiet_scene(const std::string& carriers) {
  sim_model_config c;
  std::string error;
  EXPECT_TRUE(sim_scene_parse("noise -200\n" + carriers, &c.scene, &error)) << error;
  return c;
}

sim_model_config counter_config() {
  sim_model_config c = quiet_scene("");
  c.counter = true;
  return c;
}

// ---- receive FIFO --------------------------------------------------------

TEST_F(model_test, receive_fifo_stays_empty_until_the_stream_releases_it) {
  write16(rx_rate, 640);
  advance_us(10000);
  EXPECT_EQ(read16(rx_cntr), 0);
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  advance_us(10000);
  EXPECT_EQ(read16(rx_cntr), 480 * 8);  // 10 ms at 48 kHz, 8 words a record
}

struct fill_row {
  uint16_t divider;
  uint16_t words_after_2ms;
};
std::ostream& operator<<(std::ostream& os, const fill_row& r) {
  return os << "rx_rate " << r.divider << " -> " << r.words_after_2ms << " words";
}
class receive_fill : public model_test, public ::testing::WithParamInterface<fill_row> {};

TEST_P(receive_fill, fills_at_30720000_over_rx_rate_records_per_second) {
  run_receive(GetParam().divider);
  advance_us(2000);
  EXPECT_EQ(read16(rx_cntr), GetParam().words_after_2ms);
}
INSTANTIATE_TEST_SUITE_P(rates, receive_fill,
                         ::testing::Values(fill_row{640, 96 * 8}, fill_row{320, 192 * 8},
                                           fill_row{160, 384 * 8}, fill_row{80, 768 * 8}));

TEST_F(model_test, a_full_receive_fifo_reads_8192_loses_records_and_traces_one_overflow) {
  run_receive(80);  // 384 kHz: 1024 records take 2.67 ms
  advance_us(10000);
  EXPECT_EQ(read16(rx_cntr), 8192);
  advance_us(30'000'000);  // the process was stopped for 30 s
  EXPECT_EQ(read16(rx_cntr), 8192);
  const sim_fpga_counts c = sim_fpga_stats();
  EXPECT_EQ(c.rx_overflows, 1u);
  EXPECT_EQ(c.rx_records, 1024u);
  EXPECT_EQ(c.rx_dropped, 30010u * 384 - 1024);
  EXPECT_EQ(trace_with("\"fifo\":\"rx\",\"what\":\"overflow\"").size(), 1u);
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  advance_us(1000);
  EXPECT_EQ(read16(rx_cntr), 384 * 8);
}

TEST_F(model_test, reading_a_full_fifo_makes_room_and_a_second_overflow_is_traced_again) {
  run_receive(80);
  advance_us(5000);
  read_records(500);
  EXPECT_EQ(read16(rx_cntr), (1024 - 500) * 8);
  advance_us(5000);
  EXPECT_EQ(read16(rx_cntr), 8192);
  EXPECT_EQ(sim_fpga_stats().rx_overflows, 2u);
}

TEST_F(model_test, a_restart_pulse_empties_the_fifo_traces_a_reset_and_restarts_the_counter) {
  start(counter_config());
  run_receive(640);
  advance_us(1000);
  EXPECT_EQ(read16(rx_cntr), 48 * 8);
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  EXPECT_EQ(read16(rx_cntr), 0);
  // Only the second pulse found the FIFO running.
  EXPECT_EQ(trace_with("\"fifo\":\"rx\",\"what\":\"reset\"").size(), 1u);
  advance_us(1000);
  const auto rx1 = receiver_counts(read_records(3), 1);
  EXPECT_EQ(rx1[0], 0);
  EXPECT_EQ(rx1[2], 2);
}

TEST_F(model_test, counter_records_carry_the_count_first_and_the_receiver_second) {
  start(counter_config());
  run_receive(640);
  advance_us(1000);
  const std::vector<uint8_t> rec = read_records(2);
  const uint8_t expected_first[32] = {0, 0,    0,    0,    0,    1,    0,    0, 0,    0,   0,
                                      2, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0, 0,    0,   0,
                                      0, 3,    0,    0,    0,    0,    0,    4, 0xA5, 0xA5};
  EXPECT_EQ(std::memcmp(rec.data(), expected_first, 32), 0);
  EXPECT_EQ(rec[32 + 2], 1);   // receiver 1, the count's low byte in the second record
  EXPECT_EQ(rec[32 + 26], 1);  // receiver 4, the count's low byte
}

TEST_F(model_test, a_read_of_more_than_the_fifo_holds_pads_with_zeros_and_traces_an_underrun) {
  start(counter_config());
  run_receive(640);
  advance_us(1000);  // 48 records
  const std::vector<uint8_t> rec = read_records(50);
  EXPECT_EQ(rec[47 * 32 + 2], 47);
  EXPECT_EQ(rec[48 * 32 + 5], 0);  // receiver number gone: padding
  EXPECT_EQ(sim_fpga_stats().rx_underruns, 1u);
  EXPECT_EQ(trace_with("\"fifo\":\"rx\",\"what\":\"underrun\"").size(), 1u);
}

TEST_F(model_test, a_rate_change_applies_from_the_store_on) {
  run_receive(640);
  advance_us(5000);  // 240 records at 48 kHz
  write16(rx_rate, 80);
  advance_us(1000);  // 384 at 384 kHz
  EXPECT_EQ(read16(rx_cntr), (240 + 384) * 8);
}

// The stream end-to-end test counts on this: a reader late past the depth
// of the FIFO loses one run of records, as long as the count of dropped
// records, and leaves one overflow in the trace.
TEST_F(model_test, a_reader_late_past_the_fifo_depth_loses_one_run_of_records_and_one_overflow) {
  start(counter_config());
  run_receive(640);   // 48 kHz
  advance_us(10500);  // one batch of 504 records
  read_records(504);
  advance_us(40000);  // a 40 ms stall: 1920 records due, 1024 fit
  EXPECT_EQ(read16(rx_cntr), 8192);
  const auto kept = receiver_counts(read_records(504), 1);
  advance_us(5000);
  const auto later = receiver_counts(read_records(520 + 240), 1);
  const sim_fpga_counts c = sim_fpga_stats();
  EXPECT_EQ(c.rx_dropped, 1920u - 1024u);
  EXPECT_EQ(c.rx_overflows, 1u);
  EXPECT_EQ(trace_with("\"fifo\":\"rx\",\"what\":\"overflow\"").size(), 1u);
  EXPECT_EQ(kept.front(), 504);  // the oldest records stay
  std::vector<double> steps;
  double last = kept.back();
  for (const double x : later) {
    if (x != last + 1) steps.push_back(x - last - 1);
    last = x;
  }
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0], static_cast<double>(c.rx_dropped));
}

// ---- the scene -----------------------------------------------------------

TEST_F(model_test, each_receiver_hears_the_scene_at_its_own_offset) {
  start(quiet_scene("601500 -40\n"));
  write32(rx_freq + 0, phase_increment(600000));   // +1500 Hz
  write32(rx_freq + 1, phase_increment(7000000));  // far away: nothing
  write32(rx_freq + 2, phase_increment(603500));   // -2000 Hz
  write32(tx_freq, phase_increment(590000));       // receiver 4: +11500 Hz
  run_receive(640);
  const std::vector<uint8_t> rec = collect_records(4800);
  const auto r1 = receiver_samples(rec, 1), r2 = receiver_samples(rec, 2);
  const auto r3 = receiver_samples(rec, 3), r4 = receiver_samples(rec, 4);
  EXPECT_NEAR(dbfs(tone_amplitude(r1, 1500, 48000)), -40, 0.5);
  EXPECT_LT(dbfs(tone_amplitude(r1, -1500, 48000)), -100);  // no image: the analytic sense
  EXPECT_LT(dbfs(tone_amplitude(r2, 0, 48000)), -100);
  EXPECT_NEAR(dbfs(tone_amplitude(r3, -2000, 48000)), -40, 0.5);
  EXPECT_NEAR(dbfs(tone_amplitude(r4, 11500, 48000)), -40, 0.5);
}

TEST_F(model_test, a_carrier_outside_the_receivers_passband_is_not_heard) {
  start(quiet_scene("625000 -20\n"));  // 25 kHz off: beyond 0.45 x 48 kHz
  write32(rx_freq, phase_increment(600000));
  run_receive(640);
  advance_us(20000);
  const auto r1 = receiver_samples(read_records(960), 1);
  double peak = 0;
  for (auto s : r1) peak = std::max(peak, std::abs(s));
  EXPECT_EQ(peak, 0);
  // At 384 kHz the same carrier is inside.
  write16(rx_rate, 80);
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  advance_us(2000);
  const auto wide = receiver_samples(read_records(768), 1);
  EXPECT_NEAR(dbfs(tone_amplitude(wide, 25000, 384000)), -20, 0.5);
}

TEST_F(model_test, the_noise_floor_has_the_level_of_the_scene) {
  sim_model_config c;
  std::string error;
  ASSERT_TRUE(sim_scene_parse("noise -80\n", &c.scene, &error));
  start(c);
  run_receive(640);
  const auto r1 = receiver_samples(collect_records(4800), 1);
  double power = 0;
  for (auto s : r1) power += s.real() * s.real();
  EXPECT_NEAR(10 * std::log10(power / r1.size()) - 20 * std::log10(8388607.0), -80, 0.5);
}

TEST_F(model_test, a_keyed_carrier_follows_its_pattern) {
  start(quiet_scene("600000 -30 10 20\n"));  // 20 ms on, 20 ms off
  write32(rx_freq, phase_increment(600000));
  run_receive(640);
  const auto r1 = receiver_samples(collect_records(3840), 1);
  auto level_at_ms = [&](int ms) { return std::abs(r1[static_cast<size_t>(ms) * 48]); };
  // The FIFO started at 0 ms after the epoch (within a record).
  EXPECT_NEAR(dbfs(level_at_ms(12)), -30, 0.5);
  EXPECT_EQ(level_at_ms(32), 0);
  EXPECT_NEAR(dbfs(level_at_ms(52)), -30, 0.5);
}

TEST_F(model_test, restarting_the_oscillators_puts_receivers_one_and_two_in_phase) {
  start(quiet_scene("7101000 -30\n"));
  write32(rx_freq + 0, phase_increment(7100000));
  write32(rx_freq + 1, phase_increment(7000000));
  write16(rx_rate, 640);
  advance_us(3000);
  write32(rx_freq + 1, phase_increment(7100000));
  pulse8(lo_rst, lo_rst_bits::rx_sync);
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  advance_us(2000);
  const std::vector<uint8_t> rec = read_records(96);
  for (size_t r = 0; r < 96; ++r)
    ASSERT_EQ(std::memcmp(&rec[r * 32], &rec[r * 32 + 6], 6), 0) << "record " << r;
}

// ---- transmit side -------------------------------------------------------

TEST_F(model_test, the_transmit_fifo_gives_up_one_word_pair_per_48_khz_sample) {
  for (int i = 0; i < 1000; ++i) fifo_write(fifo, 0);
  EXPECT_EQ(read16(tx_cntr), 1000);
  advance_us(5000);  // 240 samples
  EXPECT_EQ(read16(tx_cntr), 1000 - 480);
}

TEST_F(model_test, transmit_fifo_overflow_and_underrun_are_each_traced_once) {
  advance_us(100000);
  EXPECT_EQ(sim_fpga_stats().tx_underruns, 0u) << "a FIFO that never held data does not underrun";
  for (int i = 0; i < 4100; ++i) fifo_write(fifo, 0);
  EXPECT_EQ(read16(tx_cntr), 4096);
  advance_us(100000);
  EXPECT_EQ(read16(tx_cntr), 0);
  advance_us(100000);
  const sim_fpga_counts c = sim_fpga_stats();
  EXPECT_EQ(c.tx_overflows, 1u);
  EXPECT_EQ(c.tx_underruns, 1u);
  EXPECT_EQ(trace_with("\"fifo\":\"tx\"").size(), 2u);
}

TEST_F(model_test, a_transmit_restart_empties_the_transmit_fifo) {
  for (int i = 0; i < 100; ++i) fifo_write(fifo, 0);
  write8(tx_rst, tx_rst_bits::restart);
  clear_bits8(tx_rst, tx_rst_bits::restart);
  EXPECT_EQ(read16(tx_cntr), 0);
  EXPECT_EQ(sim_fpga_stats().tx_resets, 1u);
}

TEST_F(model_test, the_audio_fifo_drains_one_word_per_sample_and_reports_overflow) {
  for (int i = 0; i < 2100; ++i) fifo_write(codec, 0);
  EXPECT_EQ(read16(dac_cntr), 2048);
  advance_us(10000);
  EXPECT_EQ(read16(dac_cntr), 2048 - 480);
  EXPECT_EQ(sim_fpga_stats().dac_overflows, 1u);
}

TEST_F(model_test, the_microphone_fifo_fills_with_a_test_tone_only_with_a_codec) {
  set_bits8(rx_rst, rx_rst_bits::no_codec);
  pulse8(rx_rst, rx_rst_bits::codec_restart);
  advance_us(10000);
  EXPECT_EQ(read16(adc_cntr), 0);
  clear_bits8(rx_rst, rx_rst_bits::no_codec);
  advance_us(10000);
  EXPECT_EQ(read16(adc_cntr), 480);
  uint8_t words[48 * 4];
  fifo_read(words, codec, sizeof words);
  double peak = 0;
  for (int i = 0; i < 48; ++i) {
    const auto s = static_cast<int16_t>(words[4 * i] << 8 | words[4 * i + 1]);
    peak = std::max(peak, std::fabs(static_cast<double>(s)));
    EXPECT_EQ(words[4 * i], words[4 * i + 2]);  // both channels
  }
  EXPECT_NEAR(20 * std::log10(peak / 32768), -20, 0.5);
  advance_us(50000);
  EXPECT_EQ(read16(adc_cntr), 2048);
  EXPECT_EQ(sim_fpga_stats().adc_overflows, 1u);
}

class transmit_test : public model_test {
 protected:
  // Receiver 1 3 kHz below the transmit frequency.
  void SetUp() override {
    start(quiet_scene(""));
    write32(rx_freq, phase_increment(7097000));
    write32(tx_freq, phase_increment(7100000));
    write16(tx_level, 21910);
    run_receive(640);
  }
  // 20 ms of a constant I/Q sample (I = half scale, Q = 0) into the FIFO.
  static void send_half_scale_iq() {
    for (int i = 0; i < 960; ++i) {
      fifo_write(fifo, 0);
      fifo_write(fifo, 0x00000040);  // wire bytes 40 00 00 00: I = 0x4000
    }
  }
  static double heard_dbfs() {
    pulse8(rx_rst, rx_rst_bits::fifo_restart);
    advance_us(10000);
    return dbfs(tone_amplitude(receiver_samples(read_records(480), 1), 3000, 48000));
  }
};

// What receiver 1 hears of 20 ms of half-scale I/Q (40 dB coupling), -150
// standing for silence.
struct transmit_row {
  const char* name;
  bool mox, ptt;
  uint16_t level;
  double heard_dbfs;
};
class client_iq : public transmit_test, public ::testing::WithParamInterface<transmit_row> {};

TEST_P(client_iq, is_heard_at_the_transmit_frequency_only_while_transmitting) {
  const auto& r = GetParam();
  write16(tx_level, r.level);
  write8(gpio_out, r.mox);
  if (r.ptt) sim_fpga_set_gpio(gpio_in_bits::ptt);
  send_half_scale_iq();
  advance_us(1000);
  EXPECT_NEAR(std::max(heard_dbfs(), -150.0), r.heard_dbfs, 0.5);
}
INSTANTIATE_TEST_SUITE_P(cases, client_iq,
                         ::testing::Values(transmit_row{"mox", true, false, 21910, -46},
                                           transmit_row{"ptt", false, true, 21910, -46},
                                           transmit_row{"neither", false, false, 21910, -150},
                                           transmit_row{"drive_128", true, false, 10998,
                                                        -46 + 20 * std::log10(10998.0 / 21910)}),
                         test_rows::row_name);

// A client's upper-sideband tone (+1 kHz, packed Q first as clients pack
// it) leaves the antenna 1 kHz above the transmit frequency: receiver 1,
// 3 kHz below it, hears +4 kHz, receiver 2, 2 kHz above, -1 kHz; nothing at
// the mirrored offsets.
TEST_F(transmit_test, a_tone_above_the_transmit_frequency_is_heard_above_it) {
  write32(rx_freq + 1, phase_increment(7102000));
  write8(gpio_out, 1);
  for (int n = 0; n < 960; ++n) {
    const double a = 2 * std::numbers::pi * 1000 * n / 48000;
    const auto q = static_cast<uint16_t>(std::lround(16384 * std::sin(a)));
    const auto i = static_cast<uint16_t>(std::lround(16384 * std::cos(a)));
    fifo_write(fifo, 0);
    fifo_write(fifo, uint32_t(q >> 8) | uint32_t(q & 0xFF) << 8 | uint32_t(i >> 8) << 16 |
                         uint32_t(i & 0xFF) << 24);
  }
  advance_us(1000);
  pulse8(rx_rst, rx_rst_bits::fifo_restart);
  advance_us(10000);
  const std::vector<uint8_t> rec = read_records(480);
  const auto r1 = receiver_samples(rec, 1), r2 = receiver_samples(rec, 2);
  EXPECT_NEAR(dbfs(tone_amplitude(r1, 4000, 48000)), -46, 0.5);
  EXPECT_LT(dbfs(tone_amplitude(r1, 2000, 48000)), -100);
  EXPECT_NEAR(dbfs(tone_amplitude(r2, -1000, 48000)), -46, 0.5);
  EXPECT_LT(dbfs(tone_amplitude(r2, 1000, 48000)), -100);
}

// The sink stores a sample as two words; the model may run between them.
TEST_F(transmit_test, a_sample_whose_halves_straddle_an_underrun_stays_one_sample) {
  write8(gpio_out, 1);
  fifo_write(fifo, 0);  // the audio word of a sample, into an empty FIFO
  advance_us(1000);     // 48 samples due before its I/Q word comes
  fifo_write(fifo, 0x00000040);
  send_half_scale_iq();
  advance_us(1000);
  EXPECT_NEAR(heard_dbfs(), -46, 0.5);
  EXPECT_EQ(read16(tx_cntr) % 2, 0);
}

TEST_F(model_test, the_keyed_carrier_rises_and_falls_through_the_envelope) {
  start(quiet_scene(""));
  for (uint32_t j = 0; j <= 1001; ++j)
    table_write32(tx_ramp, j, static_cast<int32_t>(j * 4096));  // linear ramp
  write16(tx_ramp_steps, 1001);
  write16(tx_level, 21910);
  write32(tx_freq, phase_increment(7030000));  // receiver 4 sits on it
  run_receive(640);
  set_bits8(tx_rst, tx_rst_bits::keyer_ptt | tx_rst_bits::keyer_source);
  set_bits8(tx_rst, tx_rst_bits::key);
  advance_us(20000);
  std::vector<uint8_t> rec = read_records(960);
  clear_bits8(tx_rst, tx_rst_bits::key);
  advance_us(20000);
  const std::vector<uint8_t> after = read_records(960);
  rec.insert(rec.end(), after.begin(), after.end());
  const auto r4 = receiver_samples(rec, 4);
  // Rise over 1001 steps at 200 kHz: half way after 2.5 ms, full after 5 ms.
  EXPECT_NEAR(std::abs(r4[120]) / std::abs(r4[480]), 0.5, 0.05);
  EXPECT_NEAR(dbfs(std::abs(r4[480])), -40, 0.5);
  EXPECT_NEAR(dbfs(std::abs(r4[950])), -40, 0.5);
  EXPECT_LT(std::abs(r4[960 + 300]), 1.0);  // fallen within 5 ms of key-up
}

TEST_F(transmit_test, forward_and_reverse_power_follow_the_transmitted_amplitude) {
  auto reading = [](int word) { return (read32(xadc + word) >> 3) & 0xFFFF; };
  const uint32_t idle_forward = reading(24);
  write8(gpio_out, 1);
  send_half_scale_iq();
  advance_us(5000);
  const uint32_t forward = reading(24), reverse = reading(16);
  EXPECT_LT(idle_forward, 60u);
  EXPECT_NEAR(forward, 2 * (20 + 1800), 6);  // 12-bit reading in bits 4..15, >> 3
  EXPECT_NEAR(reverse, 2 * (8 + 180), 6);
  EXPECT_GT(reading(17), 0u);
  EXPECT_GT(reading(25), 0u);
}

// ---- trace and inputs ----------------------------------------------------

TEST_F(model_test, trace_lines_have_the_exact_layout_of_each_event) {
  write32(rx_freq + 1, 62040747);
  pulse8(lo_rst, lo_rst_bits::rx_sync);
  write32(alex, 0x1ABCD);
  table_write16(dac_ramp, 3, -2);
  sim_fpga_set_gpio(6);
  const std::vector<std::string> lines = trace_lines();
  ASSERT_EQ(lines.size(), 6u);
  const std::string t = "{\"t_us\":0,";
  EXPECT_EQ(lines[0], t + "\"ev\":\"reg\",\"name\":\"rx_freq[1]\",\"value\":62040747}");
  EXPECT_EQ(lines[1], t + "\"ev\":\"reg\",\"name\":\"lo_rst\",\"value\":0}");
  EXPECT_EQ(lines[2], t + "\"ev\":\"reg\",\"name\":\"lo_rst\",\"value\":3}");
  EXPECT_EQ(lines[3], t + "\"ev\":\"reg\",\"name\":\"alex\",\"value\":109517}");
  EXPECT_EQ(lines[4], t + "\"ev\":\"table\",\"name\":\"dac_ramp\",\"index\":3,\"value\":-2}");
  EXPECT_EQ(lines[5], t + "\"ev\":\"gpio\",\"value\":6}");
}

TEST_F(model_test, trace_stamps_microseconds_since_the_epoch) {
  advance_us(1234567);
  write8(gpio_out, 5);
  EXPECT_EQ(trace_lines().back(),
            "{\"t_us\":1234567,\"ev\":\"reg\",\"name\":\"gpio_out\",\"value\":5}");
}

TEST_F(model_test, i2c_transactions_are_traced_with_their_bytes_and_acknowledge) {
  sim_config.i2c_devices[0x21] = true;
  const int fd = platform->open("/dev/i2c-0", O_RDWR);
  const uint8_t msg[3] = {0x02, 0x0A, 0xFF};
  platform->i2c_select(fd, 0x0703, 0x21);
  EXPECT_EQ(platform->write(fd, msg, 3), 3);
  platform->i2c_select(fd, 0x0703, 0x22);
  EXPECT_EQ(platform->write(fd, msg, 2), -1);
  const std::vector<std::string> lines = trace_with("i2c");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{\"t_us\":0,\"ev\":\"i2c\",\"addr\":33,\"bytes\":\"020aff\",\"ok\":true}");
  EXPECT_EQ(lines[1], "{\"t_us\":0,\"ev\":\"i2c\",\"addr\":34,\"bytes\":\"020a\",\"ok\":false}");
}

TEST_F(model_test, ci_v_frames_from_the_serial_port_are_traced_one_per_frame) {
  sim_config.uart_present = true;
  const int fd = platform->open("/dev/ttyPS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  cfmakeraw(&t);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  const uint8_t frames[] = {0xFE, 0xFE, 0x04, 0xE0, 0x05, 0x00, 0x00, 0x00,
                            0x07, 0xFD, 0xFE, 0xFE, 0x04, 0xE0, 0x05};
  ASSERT_EQ(platform->write(fd, frames, sizeof frames), static_cast<ssize_t>(sizeof frames));
  // Steps the model until the pty has passed `n` frames on (no fixed sleep).
  auto wait_frames = [](uint64_t n) {
    for (int i = 0; i < 2000 && sim_fpga_stats().uart_frames < n; ++i) {
      sim_fpga_step();
      if (sim_fpga_stats().uart_frames < n) usleep(1000);
    }
  };
  wait_frames(1);
  const uint8_t rest[] = {0x00, 0x00, 0x00, 0x10, 0xFD};
  ASSERT_EQ(platform->write(fd, rest, sizeof rest), static_cast<ssize_t>(sizeof rest));
  wait_frames(2);
  const std::vector<std::string> lines = trace_with("uart");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"bytes\":\"fefe04e00500000007fd\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"bytes\":\"fefe04e00500000010fd\""), std::string::npos);
}

TEST_F(model_test, the_input_script_sets_gpio_in_at_its_times) {
  sim_model_config c = quiet_scene("");
  c.gpio = {{0, 0}, {5, gpio_in_bits::paddle_b}, {8, 0}, {8, gpio_in_bits::ptt}};
  start(c);
  sim_fpga_step();
  EXPECT_EQ(read8(gpio_in), 0);
  advance_us(4999);
  sim_fpga_step();
  EXPECT_EQ(read8(gpio_in), 0);
  advance_us(1);
  sim_fpga_step();
  EXPECT_EQ(read8(gpio_in), gpio_in_bits::paddle_b);
  advance_us(10000);
  sim_fpga_step();
  EXPECT_EQ(read8(gpio_in), gpio_in_bits::ptt);
  const std::vector<std::string> lines = trace_with("gpio");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "{\"t_us\":5000,\"ev\":\"gpio\",\"value\":4}");
}

}  // namespace
