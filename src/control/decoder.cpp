#include "control/decoder.h"

#include <array>
#include <cmath>

#include "common/bytes.h"
#include "control/state.h"
#include "control/writers.h"
#include "hardware/fpga.h"
#include "hardware/i2c.h"

namespace {

// Codec register 4 (analogue path): mic to ADC, DAC to output; bit 0 boosts
// the microphone.
constexpr uint8_t codec_analogue_path = 4;
constexpr uint16_t codec_analogue_base = 0x014;

// Kept-bit masks of the arduino words when one field of them changes.
constexpr uint32_t ocant_keep_on_tx = 0xFC7F00;  // receive outputs and antenna number
constexpr uint32_t ocant_keep_on_rx = 0x3007F;   // transmit outputs and antenna code
constexpr uint32_t txatt_tx_att = 0x1F00;        // bits 8-12: word 0x1C attenuation
constexpr uint32_t txatt_keep_on_tx_att = 0x3003F;
constexpr uint16_t rxatt_second = 0x1F00;  // bits 8-12: word 0x16 attenuation
constexpr uint16_t rxatt_first = 0x001F;   // bits 0-4: word 0x14 attenuation

// rx_rate divider (30.72 MHz / sample rate) for rate codes 0..3.
constexpr uint16_t rx_rate_divider[4] = {640, 320, 160, 80};

// The DAC at 0x60 goes from 4065 at no attenuation towards 0 at 61 dB.
constexpr unsigned dac0_top = 4065;
constexpr unsigned dac0_span = 4095;
constexpr unsigned dac0_steps = 61;  // dB

constexpr double tx_level_per_drive = 85.92;

void send_arduino16(uint8_t command, uint16_t value) {
  i2c_send(i2c_addr::arduino, board16_msg(command, value));
}

void send_arduino24(uint8_t command, uint32_t value) {
  i2c_send(i2c_addr::arduino, board24_msg(command, value));
}

void send_expander(int address, uint16_t lines) {
  i2c_send(address, expander_msg(expander_output, lines));
}

// A changed frequency changes the Alex filter choice and the bands of the
// band-decoder boards.
void raise_frequency_flags() {
  st(alex_update, 1);
  if (ld(i2c_misc)) st(misc_update, 1);
  if (ld(i2c_nucleo)) st(nucleo_update, 1);
}

// The arduino board takes frequencies in whole kHz, cut to 16 bits.
void arduino_frequency(uint8_t command, std::atomic<uint16_t>& cache, uint32_t hz) {
  if (!ld(i2c_arduino)) return;
  const uint16_t khz = static_cast<uint16_t>(hz / 1000);
  if (khz == ld(cache)) return;
  st(cache, khz);
  send_arduino16(command, khz);
}

// Address 0: sample rate, outputs, antennas, attenuator code, receivers and
// receiver synchronisation.
void handle_general(const uint8_t* c) {
  const uint8_t mox = c[0] & ep2_c0::mox;
  const uint8_t c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];

  st(receivers, ((c4 >> 3) & 7) + 1);

  const uint16_t sync = c4 >> 7;
  if (sync != ld(rx_sync_data)) {
    st(rx_sync_data, sync);
    if (sync) {
      // Receiver 2 takes receiver 1's increment as the register holds it,
      // then both oscillators restart together so that they run in phase.
      write32(rx_freq + 1, read32(rx_freq));
      pulse8(lo_rst, lo_rst_bits::rx_sync);
    }
  }

  st(tx_eer_data, c2 & 1);

  // Bit 1 is on only while receiving with no attenuation or with the
  // preamplifier bit set.
  const bool rx_path = !mox && (read8(gpio_in) & gpio_in_bits::ptt) == 0 &&
                       (ld(rx_att_data) == 0 || (c3 & 0x04) != 0);
  const uint8_t outputs =
      static_cast<uint8_t>(mox | (rx_path ? 0x02 : 0) | (c3 & 0x03) << 2 | ((c2 >> 1) & 0x0F) << 4);
  write8(gpio_out, outputs);

  const uint8_t rate_code = c1 & 3;
  st(rate, rate_code);
  write16(rx_rate, rx_rate_divider[rate_code]);

  const uint16_t alex0 =
      static_cast<uint16_t>(mox | (c3 & 0x03) << 1 | (c3 & 0xE0) | (c4 & 0x03) << 8);
  if (alex0 != ld(alex_data_0)) {
    st(alex_data_0, alex0);
    st(alex_update, 1);
  }

  if (ld(i2c_pene)) {
    const uint16_t pene =
        static_cast<uint16_t>((c2 >> 1) | (c3 & 0x03) << 7 | ((c3 >> 5) & 0x03) << 9 |
                              (c4 & 0x03) << 11 | ((c3 >> 2) & 0x07) << 13);
    if (pene != ld(i2c_pene_data)) {
      st(i2c_pene_data, pene);
      send_expander(i2c_addr::pene, pene);
    }
  }

  if (ld(i2c_nucleo)) {
    uint32_t nucleo0 = mox | (c2 & 0xFEu) | ((c3 >> 3) & 0x03u) << 8;
    const unsigned rx_ant = (c3 >> 5) & 3;
    const unsigned tx_ant = c4 & 3;
    if (rx_ant != 0) nucleo0 |= 1u << (9 + rx_ant);   // bits 10, 11, 12
    if (tx_ant != 3) nucleo0 |= 1u << (13 + tx_ant);  // bits 13, 14, 15
    if (nucleo0 != ld(nucleo_data_0)) {
      st(nucleo_data_0, nucleo0);
      st(nucleo_update, 1);
    }
  }

  if (ld(i2c_dac0)) {
    // Total receive attenuation 0..61 dB. At 61 dB the line would fall below
    // the DAC's range (4065 - 4095); it stops at 0 instead.
    const unsigned x = ld(rx_att_data) + 10u * (c3 & 3);
    const unsigned drop = x * dac0_span / dac0_steps;
    const uint16_t value = static_cast<uint16_t>(drop < dac0_top ? dac0_top - drop : 0);
    if (value != ld(i2c_dac0_data)) {
      st(i2c_dac0_data, value);
      i2c_send(i2c_addr::dac0, dac_msg(value));
    }
  }

  if (ld(i2c_arduino)) {
    const uint32_t old = ld(i2c_ard_ocant_data);
    uint32_t ocant;
    if (mox) {
      ocant = (old & ocant_keep_on_tx) | (c2 >> 1) | static_cast<uint32_t>(c4 & 3) << 16;
    } else {
      const uint32_t base = (old & ocant_keep_on_rx) | static_cast<uint32_t>(c2) << 7;
      const unsigned rx_ant = (c3 >> 5) & 3;
      const unsigned antenna = rx_ant != 0 ? rx_ant + 2 : (c4 & 3u);
      ocant = base | antenna << 20;
    }
    if (ocant != old) {
      st(i2c_ard_ocant_data, ocant);
      send_arduino24(arduino_cmd::outputs_antennas, ocant);
    }
  }
}

void handle_tx_frequency(const uint8_t* c) {
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(tx_freq, phase_increment(f));
  if (f == ld(freq_data[0])) return;
  st(freq_data[0], f);
  icom_write();
  raise_frequency_flags();
  arduino_frequency(arduino_cmd::tx_khz, i2c_ard_ftx_data, f);
}

void handle_rx1_frequency(const uint8_t* c) {
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(rx_freq, phase_increment(f));
  if (ld(rx_sync_data)) {
    write32(rx_freq + 1, read32(rx_freq));
    if (f == ld(freq_data[1])) return;
    st(freq_data[1], f);
    pulse8(lo_rst, lo_rst_bits::rx_sync);
  } else {
    if (f == ld(freq_data[1])) return;
    st(freq_data[1], f);
  }
  raise_frequency_flags();
  arduino_frequency(arduino_cmd::rx1_khz, i2c_ard_frx1_data, f);
}

// While synchronised receiver 2 follows receiver 1 and its own word is ignored.
void handle_rx2_frequency(const uint8_t* c) {
  if (ld(rx_sync_data)) return;
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(rx_freq + 1, phase_increment(f));
  if (f == ld(freq_data[2])) return;
  st(freq_data[2], f);
  raise_frequency_flags();
  arduino_frequency(arduino_cmd::rx2_khz, i2c_ard_frx2_data, f);
}

// Receiver 3 drives no filter and no accessory: only its oscillator.
void handle_rx3_frequency(const uint8_t* c) {
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(rx_freq + 2, phase_increment(f));
}

// Address 9: drive level, microphone boost and the manual filter selections.
void handle_drive_filters(const uint8_t* c) {
  const uint8_t c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];

  const uint16_t alex1 = static_cast<uint16_t>((c2 >> 6) << 15 | c4 << 8 | c3);
  if (alex1 != ld(alex_data_1)) {
    st(alex_data_1, alex1);
    st(alex_update, 1);
  }

  if (ld(i2c_misc)) {
    const uint16_t relays = static_cast<uint16_t>(((c3 >> 5) & 1) | ((c3 >> 6) & 2));
    if (relays != ld(misc_data_2)) {
      st(misc_data_2, relays);
      st(misc_update, 1);
    }
  }

  if (ld(i2c_nucleo)) {
    const uint32_t relays = c3 >> 5;
    if (relays != ld(nucleo_data_1)) {
      st(nucleo_data_1, relays);
      st(nucleo_update, 1);
    }
  }

  if (ld(i2c_alex)) {
    const uint16_t v = static_cast<uint16_t>(c4 << 8 | c3);
    if (v != ld(i2c_alex_data)) {
      st(i2c_alex_data, v);
      send_expander(i2c_addr::alex, v);
    }
  }

  // The drive level goes to exactly one place: the first present of level
  // board, drive device, arduino board; else the FPGA's own level register.
  const uint8_t level = c1;
  if (ld(i2c_level)) {
    if (level != ld(i2c_level_data)) {
      st(i2c_level_data, level);
      send_expander(i2c_addr::level, level);
    }
  } else if (ld(i2c_drive)) {
    if (level != ld(i2c_drive_data)) {
      st(i2c_drive_data, level);
      i2c_send(i2c_addr::drive, drive_msg(level));
    }
  } else if (ld(i2c_arduino)) {
    const uint32_t old = ld(i2c_ard_txatt_data);
    const uint32_t txatt = (old & txatt_tx_att) | log_table_lookup[level] |
                           ((static_cast<uint32_t>(c3) << 10) & 0x30000);
    if (txatt != old) {
      st(i2c_ard_txatt_data, txatt);
      send_arduino24(arduino_cmd::tx_attenuation, txatt);
    }
  } else {
    const double scaled = std::floor(level * tx_level_per_drive + 0.5);
    write16(tx_level, static_cast<uint16_t>(static_cast<int16_t>(scaled)));
  }

  if (ld(i2c_codec)) {
    const uint8_t boost = c2 & 1;
    if (boost != ld(i2c_boost_data)) {
      st(i2c_boost_data, boost);
      i2c_send(i2c_addr::codec, codec_msg(codec_analogue_path, codec_analogue_base + boost));
    }
  }
}

void handle_rx_attenuation(const uint8_t* c) {
  const uint8_t att = c[4] & 0x1F;
  st(rx_att_data, att);

  if (ld(i2c_misc) && att != ld(misc_data_0)) {
    st(misc_data_0, att);
    st(misc_update, 1);
  }
  if (ld(i2c_nucleo) && att != ld(nucleo_data_2)) {
    st(nucleo_data_2, att);
    st(nucleo_update, 1);
  }
  if (ld(i2c_arduino)) {
    const uint16_t old = ld(i2c_ard_rxatt_data);
    const uint16_t rxatt = static_cast<uint16_t>((old & rxatt_second) | att);
    if (rxatt != old) {
      st(i2c_ard_rxatt_data, rxatt);
      send_arduino16(arduino_cmd::rx_attenuation, rxatt);
    }
  }
}

// Address 11: second receive attenuation and the keyer's timing settings.
void handle_attenuation_keyer(const uint8_t* c) {
  const uint8_t c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];
  const uint8_t att2 = c1 & 0x1F;

  if (ld(i2c_misc) && att2 != ld(misc_data_1)) {
    st(misc_data_1, att2);
    st(misc_update, 1);
  }
  if (ld(i2c_nucleo) && att2 != ld(nucleo_data_3)) {
    st(nucleo_data_3, att2);
    st(nucleo_update, 1);
  }

  st(cw_speed, c3 & 0x3F);
  st(cw_mode, c3 >> 6);
  st(cw_reversed, (c2 >> 6) & 1);
  st(cw_weight, c4 & 0x7F);
  st(cw_spacing, c4 >> 7);

  if (ld(i2c_arduino)) {
    const uint16_t old = ld(i2c_ard_rxatt_data);
    const uint16_t rxatt = static_cast<uint16_t>((att2 << 8) | (old & rxatt_first));
    if (rxatt != old) {
      st(i2c_ard_rxatt_data, rxatt);
      send_arduino16(arduino_cmd::rx_attenuation, rxatt);
    }
  }
}

// Only the arduino board has a transmit attenuator.
void handle_tx_attenuation(const uint8_t* c) {
  if (!ld(i2c_arduino)) return;
  const uint32_t old = ld(i2c_ard_txatt_data);
  const uint32_t txatt =
      ((static_cast<uint32_t>(c[3]) << 8) & txatt_tx_att) | (old & txatt_keep_on_tx_att);
  if (txatt != old) {
    st(i2c_ard_txatt_data, txatt);
    send_arduino24(arduino_cmd::tx_attenuation, txatt);
  }
}

void handle_keyer_sidetone(const uint8_t* c) {
  st(cw_int_data, c[1] & 1);
  st(cw_delay, c[3]);
  st(dac_level_data, c[2]);
  if (ld(i2c_codec)) write16(dac_level, static_cast<uint16_t>(c[2] << 6));
}

void handle_hang_sidetone_freq(const uint8_t* c) {
  st(cw_hang, c[1] << 2 | (c[2] & 3));
  if (ld(i2c_codec)) {
    // C4 is ORed in whole: its upper four bits overlap C3's lower four, and
    // clients keep them 0.
    const unsigned hz = static_cast<unsigned>(c[3]) << 4 | c[4];
    write32(dac_freq, sidetone_increment(hz));
  }
}

using handler = void (*)(const uint8_t* c);
constexpr int address_count = ep2_c0::first_ignored >> 1;

// Handler of each address (C0 >> 1); null entries are ignored words.
constexpr std::array<handler, address_count> dispatch = [] {
  std::array<handler, address_count> t{};
  t[ep2_c0::general >> 1] = handle_general;
  t[ep2_c0::tx_frequency >> 1] = handle_tx_frequency;
  t[ep2_c0::rx1_frequency >> 1] = handle_rx1_frequency;
  t[ep2_c0::rx2_frequency >> 1] = handle_rx2_frequency;
  t[ep2_c0::rx3_frequency >> 1] = handle_rx3_frequency;
  t[ep2_c0::drive_filters >> 1] = handle_drive_filters;
  t[ep2_c0::rx_attenuation >> 1] = handle_rx_attenuation;
  t[ep2_c0::attenuation_keyer >> 1] = handle_attenuation_keyer;
  t[ep2_c0::tx_attenuation >> 1] = handle_tx_attenuation;
  t[ep2_c0::keyer_sidetone >> 1] = handle_keyer_sidetone;
  t[ep2_c0::hang_sidetone_freq >> 1] = handle_hang_sidetone_freq;
  return t;
}();

}  // namespace

void process_ep2(const uint8_t* c) {
  const unsigned address = c[0] >> 1;
  if (address >= dispatch.size()) return;
  if (const handler h = dispatch[address]) h(c);
}
