// The start-up sequence on the simulated board: the ordered FPGA store
// transcript, the devices and how they are opened and configured, the socket,
// the keyer thread and every fatal failure.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "hardware/envelope.h"
#include "hardware/i2c.h"
#include "keyer/keyer.h"
#include "startup_harness.h"
#include "support/rows.h"

namespace {

using test_platform::calls;

using test_rows::operator<<;

using B = fpga_block;

recorded_store cfg8(uint32_t off, uint32_t v) {
  return {B::cfg, off, 1, v};
}
recorded_store cfg16(uint32_t off, uint32_t v) {
  return {B::cfg, off, 2, v};
}
recorded_store cfg32(uint32_t off, uint32_t v) {
  return {B::cfg, off, 4, v};
}

// The whole store transcript start-up must produce for the mask 0x2A and
// rx_rst/lo_rst/tx_rst holding `power_on` before start-up.
std::vector<recorded_store> expected_transcript(bool codec, const uint8_t power_on[3]) {
  std::vector<recorded_store> t = {
      cfg8(6, 0x0A),        // arg_bits_lo
      cfg8(30, 0x02),       // arg_bits_hi
      cfg8(3, 0),           // gpio_out
      cfg32(8, 0x500000),   // rx_freq[0]: 600 kHz
      cfg32(12, 0x500000),  // rx_freq[1]
      cfg32(16, 0x500000),  // rx_freq[2]
      cfg16(4, 640),        // rx_rate: 48 kHz
      cfg32(20, 0x500000),  // tx_freq
  };
  int32_t tx[tx_ramp_steps_count + 1];
  envelope_compute(tx_ramp_steps_count, static_cast<float>(tx_ramp_peak), tx);
  for (uint32_t j = 0; j <= tx_ramp_steps_count; ++j)
    t.push_back({B::tx_ramp, 4 * j, 4, static_cast<uint32_t>(tx[j])});
  t.push_back(cfg16(24, 1001));   // tx_ramp_steps
  t.push_back(cfg16(26, 21910));  // tx_level: drive 255
  t.push_back(cfg16(28, 18716));  // cfg_word_28

  uint8_t tx_rst_v = power_on[2] & ~0x10;  // keyer source off
  t.push_back(cfg8(2, tx_rst_v));
  t.push_back(cfg8(2, tx_rst_v & ~0x03));     // transmit restart pulse: low...
  t.push_back(cfg8(2, tx_rst_v | 0x03));      // ...then high
  t.push_back(cfg8(1, power_on[1] & ~0x04));  // oscillator restart pulse
  t.push_back(cfg8(1, power_on[1] | 0x04));

  if (codec) {
    t.push_back(cfg8(0, power_on[0] & ~0x02));  // microphone FIFO restart pulse
    t.push_back(cfg8(0, power_on[0] | 0x02));
    t.push_back(cfg8(0, (power_on[0] | 0x02) & ~0x04));  // codec present
    t.push_back(cfg32(32, 0xCCCCCD));                    // dac_freq: 600 Hz
    int32_t dac[dac_ramp_steps_count + 1];
    envelope_compute(dac_ramp_steps_count, static_cast<float>(dac_ramp_peak), dac);
    for (uint32_t j = 0; j <= dac_ramp_steps_count; ++j)
      t.push_back({B::dac_ramp, 2 * j, 2, static_cast<uint32_t>(dac[j]) & 0xFFFF});
    t.push_back(cfg16(36, 481));   // dac_ramp_steps
    t.push_back(cfg16(38, 3200));  // dac_level: level 50
  } else {
    t.push_back(cfg8(0, power_on[0] | 0x04));  // no codec
  }
  return t;
}

struct transcript_row {
  const char* label;
  bool codec;
  uint8_t power_on[3];  // rx_rst, lo_rst, tx_rst before start-up
};

class startup_transcript : public startup_fixture,
                           public testing::WithParamInterface<transcript_row> {};

TEST_P(startup_transcript, writes_every_register_and_table_once_in_order) {
  const transcript_row& r = GetParam();
  std::memcpy(harness::cfg_power_on, r.power_on, 3);
  if (r.codec) present({i2c_address(i2c_accessory::codec)});

  const harness::outcome o = harness::run_startup({"1", "2", "1", "2", "1", "2"});

  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(i2c_has(i2c_accessory::codec), r.codec ? 1 : 0);
  harness::expect_same("store", board.rec.stores, expected_transcript(r.codec, r.power_on));
}

INSTANTIATE_TEST_SUITE_P(
    each_branch, startup_transcript,
    testing::Values(transcript_row{"codec_from_zero", true, {0, 0, 0}},
                    transcript_row{"no_codec_from_zero", false, {0, 0, 0}},
                    transcript_row{"codec_keeps_other_bits", true, {0xF4, 0xFB, 0xDF}},
                    transcript_row{"no_codec_keeps_other_bits", false, {0xE3, 0x84, 0xD3}}),
    test_rows::row_name);

TEST_F(startup_fixture, opens_the_three_devices_in_order_with_their_flags) {
  sim_config.uart_present = true;
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  ASSERT_EQ(calls.opens.size(), 3u);
  EXPECT_EQ(calls.opens[0].path, "/dev/mem");
  EXPECT_EQ(calls.opens[0].flags, O_RDWR);
  EXPECT_EQ(calls.opens[1].path, "/dev/ttyPS1");
  EXPECT_EQ(calls.opens[1].flags, O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_EQ(calls.opens[2].path, "/dev/i2c-0");
  EXPECT_EQ(calls.opens[2].flags, O_RDWR);
  EXPECT_EQ(ld(uart_fd), calls.opens[1].result);
  EXPECT_EQ(ld(i2c_fd), calls.opens[2].result);
}

TEST_F(startup_fixture, maps_the_eight_blocks_after_the_i2c_probe) {
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  const off_t phys[8] = {0x40000000, 0x41000000, 0x42000000, 0x43000000,
                         0x44000000, 0x45000000, 0x46000000, 0x47000000};
  const size_t pages[8] = {1, 1, 8, 2, 1, 1, 1, 1};
  ASSERT_EQ(calls.mmaps.size(), 8u);
  const int mem_fd = calls.opens.at(0).result;
  for (size_t i = 0; i < 8; ++i) {
    const auto& m = calls.mmaps[i];
    EXPECT_EQ(m.offset, phys[i]) << "block " << i;
    EXPECT_EQ(m.len, pages[i] * static_cast<size_t>(sim_platform.page_size())) << "block " << i;
    EXPECT_EQ(m.prot, PROT_READ | PROT_WRITE) << "block " << i;
    EXPECT_EQ(m.flags, MAP_SHARED) << "block " << i;
    EXPECT_EQ(m.fd, mem_fd) << "block " << i;
    EXPECT_EQ(harness::mmap_moments.at(i).i2c_transactions, 10u) << "block " << i;
  }
}

// No SO_REUSEADDR: a process that binds the port with it gets the port
// only while no server holds it.
TEST_F(startup_fixture, sets_the_socket_options_and_binds_to_port_1024_on_any_address) {
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  ASSERT_EQ(calls.sockopts.size(), 2u);
  EXPECT_EQ(calls.sockopts[0].level, SOL_SOCKET);
  EXPECT_EQ(calls.sockopts[0].name, SO_RCVTIMEO);
  timeval timeout{};
  ASSERT_EQ(calls.sockopts[0].value.size(), sizeof timeout);
  std::memcpy(&timeout, calls.sockopts[0].value.data(), sizeof timeout);
  EXPECT_EQ(timeout.tv_sec, 0);
  EXPECT_EQ(timeout.tv_usec, 1000);
  EXPECT_EQ(calls.sockopts[1].level, SOL_SOCKET);
  EXPECT_EQ(calls.sockopts[1].name, SO_RXQ_OVFL);
  int drops = 0;
  ASSERT_EQ(calls.sockopts[1].value.size(), sizeof drops);
  std::memcpy(&drops, calls.sockopts[1].value.data(), sizeof drops);
  EXPECT_EQ(drops, 1);

  ASSERT_EQ(calls.binds.size(), 1u);
  EXPECT_EQ(calls.binds[0].sin_family, AF_INET);
  EXPECT_EQ(ntohl(calls.binds[0].sin_addr.s_addr), INADDR_ANY);
  EXPECT_EQ(ntohs(calls.binds[0].sin_port), 1024);

  const int sock = ld(sock_ep2);
  ASSERT_GE(sock, 0);
  int type = 0;
  socklen_t len = sizeof type;
  ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &len), 0);
  EXPECT_EQ(type, SOCK_DGRAM);
  EXPECT_NE(sim_bound_port(), 0);

  // Another process's socket with SO_REUSEADDR cannot share the port.
  const int other = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(other, 0);
  const int reuse = 1;
  ASSERT_EQ(setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse), 0);
  sockaddr_in taken{};
  socklen_t taken_len = sizeof taken;
  ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&taken), &taken_len), 0);
  EXPECT_NE(bind(other, reinterpret_cast<const sockaddr*>(&taken), sizeof taken), 0);
  EXPECT_EQ(errno, EADDRINUSE);
  close(other);
}

TEST_F(startup_fixture, copies_the_hardware_address_of_eth0_into_the_discovery_reply) {
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  EXPECT_EQ(0, std::memcmp(discovery_reply_template + 3, sim_config.hwaddr, 6));
}

TEST_F(startup_fixture, without_a_hardware_address_the_reply_carries_a_zero_mac) {
  sim_config.hwaddr_present = false;
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  const uint8_t zero[6] = {};
  EXPECT_EQ(0, std::memcmp(discovery_reply_template + 3, zero, 6));
}

TEST_F(startup_fixture, creates_the_keyer_thread_last_with_fifo_priority_99) {
  present({i2c_address(i2c_accessory::codec)});
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  ASSERT_EQ(calls.threads.size(), 1u);
  const auto& k = calls.threads[0];
  EXPECT_EQ(k.inherit, PTHREAD_EXPLICIT_SCHED);
  EXPECT_EQ(k.policy, SCHED_FIFO);
  EXPECT_EQ(k.priority, 99);
  EXPECT_EQ(k.entry, &handler_keyer);
  EXPECT_EQ(k.arg, nullptr);
  const harness::moment& then = harness::keyer_moment;
  EXPECT_EQ(then.stores, board.rec.stores.size()) << "every register written before";
  EXPECT_EQ(then.log_table_7, 62) << "drive table filled before";
  EXPECT_NE(then.bound_port, 0) << "socket bound before";
}

TEST_F(startup_fixture, the_serial_port_is_raw_1200_baud_8n1_without_flow_control) {
  sim_config.uart_present = true;
  ASSERT_EQ(harness::run_startup(harness::six_ones).status, 0);
  ASSERT_GE(ld(uart_fd), 0);
  termios t{};
  ASSERT_TRUE(sim_uart_termios(&t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B1200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | ICRNL | INLCR | ISTRIP | BRKINT), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST_F(startup_fixture, without_serial_port_and_i2c_bus_start_up_completes_without_a_codec) {
  sim_config.uart_present = false;
  sim_config.i2c_present = false;
  present({i2c_address(i2c_accessory::codec),
           i2c_address(i2c_accessory::filter_expander)});  // unreachable without the bus
  const harness::outcome o = harness::run_startup(harness::six_ones);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_LT(ld(uart_fd), 0);
  EXPECT_LT(ld(i2c_fd), 0);
  EXPECT_TRUE(sim_i2c_log.empty());
  EXPECT_EQ(i2c_has(i2c_accessory::codec), 0);
  EXPECT_EQ(i2c_has(i2c_accessory::filter_expander), 0);
  EXPECT_EQ(cfg[0] & 0x04, 0x04);
  EXPECT_EQ(calls.threads.size(), 1u);
}

// Fatal failures: the one-word label through perror, status 1, and nothing
// after the failing step. errnum 0: whatever the system said.
enum fatal_step { at_open, at_mmap, at_socket, at_thread };
struct fatal_row {
  const char* label;
  void (*fail)();
  const char* err;
  int errnum;
  fatal_step at;
};
class startup_failure : public startup_fixture, public testing::WithParamInterface<fatal_row> {};

TEST_P(startup_failure, reports_the_step_and_goes_no_further) {
  const fatal_row& r = GetParam();
  r.fail();
  const harness::outcome o = harness::run_startup(harness::six_ones);
  EXPECT_EQ(o.status, 1);
  const std::string label = std::string(r.err) + ": ";
  if (r.errnum) {
    EXPECT_EQ(o.err, label + std::strerror(r.errnum) + "\n");
  } else {
    EXPECT_EQ(o.err.rfind(label, 0), 0u) << o.err;
    EXPECT_EQ(o.err.back(), '\n');
  }
  EXPECT_EQ(calls.opens.size(), r.at == at_open ? 1u : 3u);
  EXPECT_EQ(sim_i2c_log.empty(), r.at == at_open) << "the probe runs after /dev/mem opens";
  EXPECT_EQ(calls.mmaps.empty(), r.at == at_open);
  EXPECT_EQ(board.rec.stores.empty(), r.at <= at_mmap);
  EXPECT_EQ(drive_db_table[7] == 0, r.at <= at_mmap) << "drive table filled after mapping";
  EXPECT_EQ(calls.sockets == 0, r.at <= at_mmap);
  EXPECT_EQ(calls.binds.empty(), r.at <= at_socket);
  EXPECT_EQ(calls.threads.size(), r.at == at_thread ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    steps, startup_failure,
    testing::Values(
        fatal_row{"no_dev_mem", [] { sim_config.mem_present = false; }, "open", ENOENT, at_open},
        fatal_row{"mapping_fails", [] { sim_config.mmap_fails = true; }, "mmap", 0, at_mmap},
        fatal_row{"socket_fails", [] { sim_config.socket_fails = true; }, "socket", EMFILE,
                  at_socket},
        fatal_row{"keyer_thread_refused", [] { test_platform::settings.thread_result = EAGAIN; },
                  "pthread_create", EAGAIN, at_thread}),
    test_rows::row_name);

TEST_F(startup_fixture, a_port_already_taken_reports_bind_and_creates_no_thread) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len), 0);
  sim_config.bind_port = ntohs(a.sin_port);

  const harness::outcome o = harness::run_startup(harness::six_ones);
  ::close(holder);

  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, std::string("bind: ") + std::strerror(EADDRINUSE) + "\n");
  EXPECT_TRUE(calls.threads.empty());
}

}  // namespace
