// Serial band message: CI-V frames on the serial port.
#include <string>
#include <vector>

#include "control/writers.h"
#include "control_fixture.h"
#include "support/rows.h"

namespace {

using test_rows::operator<<;

using bytes = std::vector<uint8_t>;

bytes frame(uint8_t byte7, uint8_t byte8) {
  return {0xFE, 0xFE, 0x04, 0xE0, 0x05, 0x00, 0x00, byte7, byte8, 0xFD};
}

struct icom_case {
  const char* name;
  uint32_t hz;
  uint8_t byte7, band;
};
class icom_band : public control_fixture, public ::testing::WithParamInterface<icom_case> {};

TEST_P(icom_band, first_frequency_sends_the_band_frame) {
  const auto& c = GetParam();
  bring_up({}, true);
  st(tx_freq_hz, c.hz);
  icom_write();
  EXPECT_EQ(serial_read(10), frame(c.byte7, c.band));
  EXPECT_EQ(ld(icom_band_data), c.band);
}

INSTANTIATE_TEST_SUITE_P(
    bands, icom_band,
    ::testing::Values(
        icom_case{"zero", 0, 0x80, 0x01}, icom_case{"below_2MHz", 1999999, 0x80, 0x01},
        icom_case{"at_2MHz", 2000000, 0x50, 0x03}, icom_case{"below_4MHz", 3999999, 0x50, 0x03},
        icom_case{"at_4MHz", 4000000, 0x00, 0x07}, icom_case{"below_8MHz", 7999999, 0x00, 0x07},
        icom_case{"at_8MHz", 8000000, 0x00, 0x10}, icom_case{"at_11MHz", 11000000, 0x00, 0x14},
        icom_case{"below_20MHz", 19999999, 0x00, 0x18}, icom_case{"at_20MHz", 20000000, 0x00, 0x21},
        icom_case{"at_22MHz", 22000000, 0x00, 0x24}, icom_case{"below_26MHz", 25999999, 0x00, 0x24},
        icom_case{"at_26MHz", 26000000, 0x00, 0x28}, icom_case{"top", 30720000, 0x00, 0x28}),
    test_rows::row_name);

class icom : public control_fixture {};

TEST_F(icom, frame_goes_out_only_when_the_band_changes) {
  bring_up({}, true);
  for (uint32_t hz : {7100000u, 7200000u, 10100000u, 0u}) {
    st(tx_freq_hz, hz);
    icom_write();
  }
  EXPECT_EQ(serial_read(30), [] {
    bytes all = frame(0x00, 0x07);
    for (const auto& f : {frame(0x00, 0x10), frame(0x80, 0x01)})
      all.insert(all.end(), f.begin(), f.end());
    return all;
  }());
}

int writes_seen = 0;
ssize_t counting_write(int fd, const void* buf, size_t len) {
  ++writes_seen;
  return sim_platform.write(fd, buf, len);
}

TEST_F(icom, band_is_recorded_without_a_serial_port) {
  bring_up({});
  test_platform::ops.write = counting_write;
  writes_seen = 0;

  st(tx_freq_hz, 7100000);
  icom_write();
  EXPECT_EQ(ld(icom_band_data), 0x07);
  EXPECT_EQ(writes_seen, 0);
}

}  // namespace
