// Alex filter words written to the alex register.
#include <string>
#include <vector>

#include "control/writers.h"
#include "control_fixture.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

constexpr uint32_t rx_mark = 0x10000, tx_mark = 0x20000;

struct alex_case {
  const char* name;
  uint16_t d0, d1;
  uint32_t f_tx, f_rx1, f_rx2;
  uint16_t rx, tx;
};
class alex_words : public control_fixture, public ::testing::WithParamInterface<alex_case> {
 protected:
  void set_inputs(const alex_case& c) {
    st(filter_settings, c.d0);
    st(filter_manual, c.d1);
    st(tx_freq_hz, c.f_tx);
    st(rx1_freq_hz, c.f_rx1);
    st(rx2_freq_hz, c.f_rx2);
  }
};

TEST_P(alex_words, receive_word_then_transmit_word_then_nothing) {
  const auto& c = GetParam();
  bring_up({});
  set_inputs(c);
  alex_write();
  EXPECT_EQ(stores_to(alex), (std::vector<uint32_t>{rx_mark | c.rx, tx_mark | c.tx}));
  EXPECT_EQ(ld(alex_rx_sent), c.rx);
  EXPECT_EQ(ld(alex_tx_sent), c.tx);

  rec.stores.clear();
  alex_write();
  EXPECT_TRUE(rec.stores.empty()) << "second call without a change";
}

TEST_P(alex_words, nothing_is_written_with_a_codec) {
  const auto& c = GetParam();
  bring_up({i2c_address(i2c_accessory::codec)});
  set_inputs(c);
  alex_write();
  EXPECT_TRUE(rec.stores.empty());
  EXPECT_EQ(ld(alex_rx_sent), 0);
  EXPECT_EQ(ld(alex_tx_sent), 0);
}

constexpr uint16_t mox = 0x0001;
constexpr uint16_t manual = 0x8000;

INSTANTIATE_TEST_SUITE_P(
    examples, alex_words,
    ::testing::Values(
        alex_case{"receiving_40m_and_20m", 0, 0, 0, 7100000, 14200000, 0x0021, 0x0118},
        alex_case{"transmitting_40m", mox, 0, 7100000, 7100000, 14200000, 0x8021, 0x1928},
        alex_case{"transmitting_relay_disabled", mox, 0x0080, 7100000, 7100000, 14200000, 0x8021,
                  0x1128},
        alex_case{"receiver_2_never_set", 0, 0, 0, 3600000, 0, 0x1001, 0x0148},
        alex_case{"hpf_edge_1416000", 0, 0, 0, 1416000, 1416000, 0x0041, 0x0188},
        alex_case{"hpf_edge_1415999", 0, 0, 0, 1415999, 1415999, 0x1001, 0x0188},
        alex_case{"hpf_edge_6500000", 0, 0, 0, 6500000, 6500000, 0x0021, 0x0128},
        alex_case{"hpf_edge_9500000", 0, 0, 0, 9500000, 9500000, 0x0011, 0x0118},
        alex_case{"hpf_edge_13000000", 0, 0, 0, 13000000, 13000000, 0x0003, 0x0118},
        alex_case{"hpf_edge_20000000", 0, 0, 0, 20000000, 20000000, 0x0005, 0x8108},
        alex_case{"lpf_edge_2400000", mox, 0, 2400000, 0, 0, 0x9001, 0x1988},
        alex_case{"lpf_edge_2400001", mox, 0, 2400001, 0, 0, 0x9001, 0x1948},
        alex_case{"lpf_edge_4500001", mox, 0, 4500001, 0, 0, 0x9001, 0x1928},
        alex_case{"lpf_edge_15000000", mox, 0, 15000000, 0, 0, 0x9001, 0x1918},
        alex_case{"lpf_edge_15000001", mox, 0, 15000001, 0, 0, 0x9001, 0x9908},
        alex_case{"lpf_edge_22000001", mox, 0, 22000001, 0, 0, 0x9001, 0x5908},
        alex_case{"attenuator_and_antenna_3", 0x66, 0, 28400000, 28400000, 28400000, 0x6105,
                  0x4108},
        alex_case{"antenna_1_receive_out_tx_antenna_1", 0x01A0, 0, 0, 0, 0, 0x1C01, 0x0288},
        alex_case{"manual_0x8410", 0, 0x8410, 28000000, 28000000, 1000000, 0x0041, 0x0148},
        alex_case{"manual_every_hpf", 0, manual | 0x003F, 0, 7100000, 7100000, 0x1077, 0x0108},
        alex_case{"manual_every_lpf", 0, manual | 0x7F00, 0, 7100000, 7100000, 0x0001, 0xE1F8},
        alex_case{"manual_6m_suppresses_hpf", 0, manual | 0x007F, 0, 0, 0, 0x0009, 0x0108},
        alex_case{"auto_6m_above_50MHz", 0, 0, 0, 7100000, 50000001, 0x0009, 0x2108},
        alex_case{"auto_no_6m_at_50MHz", 0, 0, 0, 7100000, 50000000, 0x0021, 0x2108},
        alex_case{"tx_antenna_3_transmitting", 0x0301, 0, 21200000, 0, 0, 0x9001, 0x9808}),
    test_rows::row_name);

class alex_writer : public control_fixture {};

TEST_F(alex_writer, only_the_changed_word_is_written) {
  bring_up({});
  st(rx1_freq_hz, 7100000);
  st(rx2_freq_hz, 14200000);
  alex_write();
  rec.stores.clear();

  st(filter_manual, 0x0080);  // relay disable matters only while transmitting
  alex_write();
  EXPECT_TRUE(rec.stores.empty());

  st(filter_settings, 0x0100);  // transmit antenna 1: transmit word only
  alex_write();
  EXPECT_EQ(stores_to(alex), std::vector<uint32_t>{tx_mark | 0x0218});

  rec.stores.clear();
  st(rx2_freq_hz, 14300000);  // same filters, nothing to write
  alex_write();
  EXPECT_TRUE(rec.stores.empty());
}

TEST_F(alex_writer, low_pass_follows_transmit_frequency_only_while_transmitting) {
  bring_up({});
  st(tx_freq_hz, 28000000);
  st(rx1_freq_hz, 3600000);
  st(rx2_freq_hz, 3600000);
  alex_write();
  EXPECT_EQ(stores_to(alex), (std::vector<uint32_t>{rx_mark | 0x0041, tx_mark | 0x0148}));
  rec.stores.clear();
  st(filter_settings, mox);
  alex_write();
  EXPECT_EQ(stores_to(alex), (std::vector<uint32_t>{rx_mark | 0x8041, tx_mark | 0x5908}));
}

}  // namespace
