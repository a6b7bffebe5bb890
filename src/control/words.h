// Layouts of the packed words of the control state that the decoder stores
// and the accessory writers read: which setting lives in which bits.
#pragma once

#include "common/field.h"

// filter_settings (16 bits): from the word with C0 = 0x00; the accessory pass
// ORs the keyer's PTT into the MOX bit.
namespace filter_settings_bits {
constexpr bit_field mox{0x0001};
constexpr bit_field attenuator{0x0006};  // attenuator code: bit 1 10 dB, bit 2 20 dB
constexpr bit_field att_10db{0x0002};
constexpr bit_field att_20db{0x0004};
constexpr bit_field rx_antenna{0x0060};  // receive antenna code 0..3
constexpr bit_field rx_out{0x0080};      // receive-out bit
constexpr bit_field tx_antenna{0x0300};  // transmit antenna code 0..3
}  // namespace filter_settings_bits

// filter_manual (16 bits): C3 and C4 of the word with C0 = 0x12, the manual
// filter selections of the Alex board.
namespace filter_manual_bits {
constexpr bit_field c3{0x00FF};             // C3 as sent
constexpr bit_field high_pass{0x003F};      // receive bits 1, 2, 4, 5, 6, 12 (alex.cpp)
constexpr bit_field six_metres{0x0040};     // the 50 MHz path
constexpr bit_field relay_disable{0x0080};  // keeps the transmit/receive relay off
constexpr bit_field c4{0xFF00};             // C4 as sent; its bit 7 lands on `manual`
constexpr bit_field low_pass_low{0x0F00};   // transmit bits 4..7
constexpr bit_field low_pass_high{0x7000};  // transmit bits 13..15
constexpr bit_field manual{0x8000};         // filters follow these bits, not the frequencies
}  // namespace filter_manual_bits

// nucleo_settings (16 bits): from the word with C0 = 0x00; the accessory pass
// ORs the keyer's PTT into the MOX bit. The antennas are one-hot: receive
// antenna code r = 1, 2, 3 sets bit 9 + r; transmit antenna code t = 0, 1, 2
// sets bit 13 + t.
namespace nucleo_settings_bits {
constexpr bit_field mox{0x0001};
constexpr bit_field outputs{0x00FE};      // open-collector outputs, C2 bits 1..7 in place
constexpr bit_field c3_bits_3_4{0x0300};  // C3 bits 3..4, passed through
constexpr int rx_antenna_base = 9;        // + r: bits 10..12
constexpr int tx_antenna_base = 13;       // + t: bits 13..15
constexpr bit_field all{0xFFFF};
}  // namespace nucleo_settings_bits

// misc_relays (2 bits) and nucleo_relays (3 bits): relay bits of C3 of the
// word with C0 = 0x12.
namespace misc_relays_bits {
constexpr bit_field relay_a{0x01};  // C3 bit 5
constexpr bit_field relay_b{0x02};  // C3 bit 7
}  // namespace misc_relays_bits
