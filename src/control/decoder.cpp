#include "control/decoder.h"

#include <array>
#include <cmath>

#include "common/bytes.h"
#include "common/field.h"
#include "control/state.h"
#include "control/words.h"
#include "control/writers.h"
#include "hardware/fpga.h"
#include "hardware/i2c.h"

namespace {

// Control words: C0 bit 0 is MOX, bits 1..7 the word's address; what C1..C4
// carry, per word (named by its C0 with MOX clear). Bits not named here are
// ignored.
constexpr bit_field c0_mox{ep2_c0::mox};
constexpr bit_field c0_address{0xFE};

// The word with C0 = 0x00: general settings.
namespace general {
constexpr bit_field c1_rate{0x03};             // rate code: 48, 96, 192, 384 kHz
constexpr bit_field c2_eer{0x01};              // EER bit
constexpr bit_field c2_outputs{0xFE};          // open-collector outputs 1..7
constexpr bit_field c2_gpio_outputs{0x1E};     // the four of them on gpio_out
constexpr bit_field c3_attenuator{0x03};       // attenuator code: 0, 10, 20, 30 dB
constexpr bit_field c3_preamp{0x04};           // preamplifier bit
constexpr bit_field c3_bits_3_4{0x18};         // passed to the pene and nucleo boards
constexpr bit_field c3_preamp_bits_3_4{0x1C};  // bits 2..4 together, as the pene board takes them
constexpr bit_field c3_rx_antenna{0x60};       // receive antenna code 0..3
constexpr bit_field c3_rx_out{0x80};           // receive-out bit
constexpr bit_field c4_tx_antenna{0x03};       // transmit antenna code 0..3
constexpr bit_field c4_receivers{0x38};        // streamed receivers - 1
constexpr bit_field c4_sync{0x80};             // receivers 1 and 2 locked together
}  // namespace general

// The words with C0 = 0x02, 0x04, 0x06, 0x08: a frequency in Hz, C1..C4
// big-endian.

// The word with C0 = 0x12: drive level, microphone boost, manual filters.
namespace drive_filters {
constexpr bit_field c1_drive{0xFF};  // drive level 0..255
constexpr bit_field c2_mic_boost{0x01};
constexpr bit_field c2_manual{0x40};   // manual filter selection (filter_manual bit 15)
constexpr bit_field c3_relay_a{0x20};  // relay bits of the band boards
constexpr bit_field c3_relay_b{0x80};
constexpr bit_field c3_relays{0xE0};  // bits 5..7 together, as the nucleo board takes them
constexpr bit_field c3_arduino_relays{0xC0};
// C3 in full: manual high-pass selections, 50 MHz path, relay disable;
// C4 in full: manual low-pass selections (filter_manual_bits).
}  // namespace drive_filters

// The word with C0 = 0x14: receive attenuation.
namespace rx_attenuation {
constexpr bit_field c4_db{0x1F};
}  // namespace rx_attenuation

// The word with C0 = 0x16: second receive attenuation and keyer timing.
namespace attenuation_keyer {
constexpr bit_field c1_second_db{0x1F};
constexpr bit_field c2_reversed{0x40};  // paddles exchanged
constexpr bit_field c3_speed{0x3F};     // words per minute
constexpr bit_field c3_mode{0xC0};      // 0 straight key, 1..3 iambic
constexpr bit_field c4_weight{0x7F};
constexpr bit_field c4_spacing{0x80};  // letter space enforced
}  // namespace attenuation_keyer

// The word with C0 = 0x1C: transmit attenuation (arduino board only).
namespace tx_attenuation {
constexpr bit_field c3_db{0x1F};
}  // namespace tx_attenuation

// The word with C0 = 0x1E: keyer enable, sidetone level, RF delay.
namespace keyer_sidetone {
constexpr bit_field c1_keyer_on{0x01};
// C2 in full: sidetone level; C3 in full: RF delay in ms.
}  // namespace keyer_sidetone

// The word with C0 = 0x20: PTT hang time, sidetone frequency.
namespace hang_sidetone {
constexpr bit_field c2_hang_low{0x03};  // hang time bits 1..0 (C1 holds bits 9..2)
constexpr bit_field hang_high{0x3FC};   // where C1 goes in cw_hang
constexpr bit_field hang_low{0x003};
// Sidetone frequency in Hz: C3 << 4 | C4.
}  // namespace hang_sidetone

// Accessory words built here; the Alex and nucleo inputs are in words.h.

// The pene board's 16 output lines (I/O expander at 0x20).
namespace pene_bits {
constexpr bit_field outputs{0x007F};     // C2 bits 1..7
constexpr bit_field attenuator{0x0180};  // attenuator code
constexpr bit_field rx_antenna{0x0600};
constexpr bit_field tx_antenna{0x1800};
constexpr bit_field c3_bits_2_4{0xE000};  // preamplifier bit and C3 bits 3..4
}  // namespace pene_bits

// The arduino board's output and antenna word (command 4, 24 bits). The
// outputs while transmitting come from the last word with C0 = 0x01, those
// while receiving from the last word with C0 = 0x00; each keeps the other's.
namespace ocant_bits {
constexpr bit_field tx_outputs{0x00007F};  // C2 bits 1..7 (C0 = 0x01)
constexpr bit_field eer{0x000080};         // C2 bit 0 (C0 = 0x00); cleared by C0 = 0x01
constexpr bit_field rx_outputs{0x007F00};  // C2 bits 1..7 (C0 = 0x00)
constexpr bit_field tx_antenna{0x030000};  // transmit antenna code (C0 = 0x01)
// Receive antenna code + 2 (3..5), or the transmit antenna code (0..3) when
// the receive code is 0 (C0 = 0x00).
constexpr bit_field rx_antenna{0x700000};
}  // namespace ocant_bits

// The arduino board's transmit attenuation word (command 5, 24 bits).
namespace txatt_bits {
constexpr bit_field drive_db{0x00003F};  // drive_db_table of the last drive level
constexpr bit_field tx_db{0x001F00};     // the word with C0 = 0x1C
constexpr bit_field relays{0x030000};    // C3 bits 6..7 of the word with C0 = 0x12
}  // namespace txatt_bits

// The arduino board's receive attenuation word (command 6, 16 bits).
namespace rxatt_bits {
constexpr bit_field first_db{0x001F};   // the word with C0 = 0x14
constexpr bit_field second_db{0x1F00};  // the word with C0 = 0x16
}  // namespace rxatt_bits

// The DAC at 0x60 goes from 4065 at no attenuation towards 0 at 61 dB.
constexpr unsigned dac0_top = 4065;
constexpr unsigned dac0_span = 4095;
constexpr unsigned dac0_steps = 61;  // dB

// Stores `value` in `cache`; true when that changed what the cache held.
template <class T, class V>
bool changed(std::atomic<T>& cache, V value) {
  const T v = static_cast<T>(value);
  if (v == ld(cache)) return false;
  st(cache, v);
  return true;
}

// Stores `value` in `word` and raises `flag` when that changed the word.
template <class T, class V, class F>
void update(std::atomic<T>& word, V value, std::atomic<F>& flag) {
  if (changed(word, value)) st(flag, 1);
}

void send_arduino16(uint8_t command, uint16_t value) {
  i2c_send(i2c_address(i2c_accessory::arduino), board16_msg(command, value));
}

void send_arduino24(uint8_t command, uint32_t value) {
  i2c_send(i2c_address(i2c_accessory::arduino), board24_msg(command, value));
}

void send_expander(int address, uint16_t lines) {
  i2c_send(address, expander_msg(expander_output, lines));
}

// A changed frequency changes the Alex filter choice and the bands of the
// band-decoder boards.
void raise_frequency_flags() {
  st(alex_update, 1);
  if (i2c_has(i2c_accessory::misc)) st(misc_update, 1);
  if (i2c_has(i2c_accessory::nucleo)) st(nucleo_update, 1);
}

// The arduino board takes frequencies in whole kHz, cut to 16 bits.
void arduino_frequency(uint8_t command, std::atomic<uint16_t>& cache, uint32_t hz) {
  if (!i2c_has(i2c_accessory::arduino)) return;
  const uint16_t khz = static_cast<uint16_t>(hz / 1000);
  if (changed(cache, khz)) send_arduino16(command, khz);
}

// The word with C0 = 0x00: sample rate, outputs, antennas, attenuator code,
// receivers and receiver synchronisation.
void handle_general(const uint8_t* c) {
  using namespace general;
  const uint32_t mox = field_get(c0_mox, c[0]);
  const uint8_t c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];
  const uint32_t att_code = field_get(c3_attenuator, c3);
  const uint32_t rx_ant = field_get(c3_rx_antenna, c3);
  const uint32_t tx_ant = field_get(c4_tx_antenna, c4);

  st(receivers, field_get(c4_receivers, c4) + 1);

  const uint16_t sync = static_cast<uint16_t>(field_get(c4_sync, c4));
  if (changed(rx_synced, sync) && sync) {
    // Receiver 2 takes receiver 1's increment as the register holds it, then
    // both oscillators restart together so that they run in phase.
    write32(rx_freq + 1, read32(rx_freq));
    pulse8(lo_rst, lo_rst_bits::rx_sync);
  }

  st(tx_eer, field_get(c2_eer, c2));

  // The receive path bit is on only while receiving with no attenuation or
  // with the preamplifier bit set.
  const bool rx_path = !mox && (read8(gpio_in) & gpio_in_bits::ptt) == 0 &&
                       (ld(rx_att_db) == 0 || field_get(c3_preamp, c3) != 0);
  const uint8_t outputs = static_cast<uint8_t>(
      field_put(gpio_out_bits::mox, mox) | field_put(gpio_out_bits::rx_path, rx_path) |
      field_put(gpio_out_bits::attenuator, att_code) |
      field_put(gpio_out_bits::outputs, field_get(c2_gpio_outputs, c2)));
  write8(gpio_out, outputs);

  const uint32_t rate_code = field_get(c1_rate, c1);
  st(rate, rate_code);
  write16(rx_rate, rx_rate_divider[rate_code]);

  const uint16_t alex0 =
      static_cast<uint16_t>(field_put(filter_settings_bits::mox, mox) |
                            field_put(filter_settings_bits::attenuator, att_code) |
                            field_put(filter_settings_bits::rx_antenna, rx_ant) |
                            field_put(filter_settings_bits::rx_out, field_get(c3_rx_out, c3)) |
                            field_put(filter_settings_bits::tx_antenna, tx_ant));
  update(filter_settings, alex0, alex_update);

  if (i2c_has(i2c_accessory::pene)) {
    const uint16_t pene = static_cast<uint16_t>(
        field_put(pene_bits::outputs, field_get(c2_outputs, c2)) |
        field_put(pene_bits::attenuator, att_code) | field_put(pene_bits::rx_antenna, rx_ant) |
        field_put(pene_bits::tx_antenna, tx_ant) |
        field_put(pene_bits::c3_bits_2_4, field_get(c3_preamp_bits_3_4, c3)));
    if (changed(i2c_pene_data, pene)) send_expander(i2c_address(i2c_accessory::pene), pene);
  }

  if (i2c_has(i2c_accessory::nucleo)) {
    uint32_t nucleo0 = field_put(nucleo_settings_bits::mox, mox) |
                       field_put(nucleo_settings_bits::outputs, field_get(c2_outputs, c2)) |
                       field_put(nucleo_settings_bits::c3_bits_3_4, field_get(c3_bits_3_4, c3));
    if (rx_ant != 0) nucleo0 |= 1u << (nucleo_settings_bits::rx_antenna_base + rx_ant);
    if (tx_ant != 3) nucleo0 |= 1u << (nucleo_settings_bits::tx_antenna_base + tx_ant);
    update(nucleo_settings, nucleo0, nucleo_update);
  }

  if (i2c_has(i2c_accessory::dac0)) {
    // Total receive attenuation 0..61 dB. At 61 dB the line would fall below
    // the DAC's range (4065 - 4095); it stops at 0 instead.
    const unsigned x = ld(rx_att_db) + 10u * att_code;
    const unsigned drop = x * dac0_span / dac0_steps;
    const uint16_t value = static_cast<uint16_t>(drop < dac0_top ? dac0_top - drop : 0);
    if (changed(i2c_dac0_data, value)) i2c_send(i2c_address(i2c_accessory::dac0), dac_msg(value));
  }

  if (i2c_has(i2c_accessory::arduino)) {
    const uint32_t old = ld(arduino_outputs_antennas_sent);
    uint32_t ocant;
    if (mox) {
      ocant = (old & (ocant_bits::rx_outputs.mask | ocant_bits::rx_antenna.mask)) |
              field_put(ocant_bits::tx_outputs, field_get(c2_outputs, c2)) |
              field_put(ocant_bits::tx_antenna, tx_ant);
    } else {
      const uint32_t antenna = rx_ant != 0 ? rx_ant + 2 : tx_ant;
      ocant = (old & (ocant_bits::tx_outputs.mask | ocant_bits::tx_antenna.mask)) |
              field_put(ocant_bits::eer, field_get(c2_eer, c2)) |
              field_put(ocant_bits::rx_outputs, field_get(c2_outputs, c2)) |
              field_put(ocant_bits::rx_antenna, antenna);
    }
    if (changed(arduino_outputs_antennas_sent, ocant))
      send_arduino24(arduino_cmd::outputs_antennas, ocant);
  }
}

void handle_tx_frequency(const uint8_t* c) {
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(tx_freq, phase_increment(f));
  if (!changed(tx_freq_hz, f)) return;
  icom_write();
  raise_frequency_flags();
  arduino_frequency(arduino_cmd::tx_khz, arduino_tx_khz_sent, f);
}

void handle_rx1_frequency(const uint8_t* c) {
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(rx_freq, phase_increment(f));
  // While synchronised receiver 2 follows, restarted with receiver 1 at a change.
  const bool sync = ld(rx_synced) != 0;
  if (sync) write32(rx_freq + 1, read32(rx_freq));
  if (!changed(rx1_freq_hz, f)) return;
  if (sync) pulse8(lo_rst, lo_rst_bits::rx_sync);
  raise_frequency_flags();
  arduino_frequency(arduino_cmd::rx1_khz, arduino_rx1_khz_sent, f);
}

// While synchronised receiver 2 follows receiver 1 and its own word is ignored.
void handle_rx2_frequency(const uint8_t* c) {
  if (ld(rx_synced)) return;
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(rx_freq + 1, phase_increment(f));
  if (!changed(rx2_freq_hz, f)) return;
  raise_frequency_flags();
  arduino_frequency(arduino_cmd::rx2_khz, arduino_rx2_khz_sent, f);
}

// Receiver 3 drives no filter and no accessory: only its oscillator.
void handle_rx3_frequency(const uint8_t* c) {
  const uint32_t f = get_be32(c + 1);
  if (f > freq_max) return;
  write32(rx_freq + 2, phase_increment(f));
}

// The word with C0 = 0x12: drive level, microphone boost and the manual
// filter selections.
void handle_drive_filters(const uint8_t* c) {
  using namespace drive_filters;
  const uint8_t c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];

  // C4 bit 7 lands on the manual bit too: either turns manual selection on.
  const uint16_t alex1 = static_cast<uint16_t>(
      field_put(filter_manual_bits::c3, c3) | field_put(filter_manual_bits::c4, c4) |
      field_put(filter_manual_bits::manual, field_get(c2_manual, c2)));
  update(filter_manual, alex1, alex_update);

  if (i2c_has(i2c_accessory::misc)) {
    const uint16_t relays =
        static_cast<uint16_t>(field_put(misc_relays_bits::relay_a, field_get(c3_relay_a, c3)) |
                              field_put(misc_relays_bits::relay_b, field_get(c3_relay_b, c3)));
    update(misc_relays, relays, misc_update);
  }

  if (i2c_has(i2c_accessory::nucleo))
    update(nucleo_relays, field_get(c3_relays, c3), nucleo_update);

  // The Alex board on I2C takes C3 and C4 as its 16 lines.
  if (i2c_has(i2c_accessory::filter_expander)) {
    const uint16_t v = static_cast<uint16_t>(field_put(filter_manual_bits::c3, c3) |
                                             field_put(filter_manual_bits::c4, c4));
    if (changed(filter_expander_sent, v))
      send_expander(i2c_address(i2c_accessory::filter_expander), v);
  }

  // The drive level goes to exactly one place: the first present of level
  // board, drive device, arduino board; else the FPGA's own level register.
  const uint8_t level = static_cast<uint8_t>(field_get(c1_drive, c1));
  if (i2c_has(i2c_accessory::level)) {
    if (changed(i2c_level_data, level)) send_expander(i2c_address(i2c_accessory::level), level);
  } else if (i2c_has(i2c_accessory::drive)) {
    if (changed(i2c_drive_data, level))
      i2c_send(i2c_address(i2c_accessory::drive), drive_msg(level));
  } else if (i2c_has(i2c_accessory::arduino)) {
    const uint32_t txatt = (ld(arduino_tx_attenuation_sent) & txatt_bits::tx_db.mask) |
                           field_put(txatt_bits::drive_db, drive_db_table[level]) |
                           field_put(txatt_bits::relays, field_get(c3_arduino_relays, c3));
    if (changed(arduino_tx_attenuation_sent, txatt))
      send_arduino24(arduino_cmd::tx_attenuation, txatt);
  } else {
    const double scaled = std::floor(level * tx_level_per_drive + 0.5);
    write16(tx_level, static_cast<uint16_t>(static_cast<int16_t>(scaled)));
  }

  if (i2c_has(i2c_accessory::codec)) {
    const uint8_t boost = static_cast<uint8_t>(field_get(c2_mic_boost, c2));
    if (changed(i2c_boost_data, boost))
      i2c_send(
          i2c_address(i2c_accessory::codec),
          codec_msg(codec_analogue_path, codec_analogue_base | field_put(codec_mic_boost, boost)));
  }
}

// The word with C0 = 0x14: receive attenuation.
void handle_rx_attenuation(const uint8_t* c) {
  const uint8_t att = static_cast<uint8_t>(field_get(rx_attenuation::c4_db, c[4]));
  st(rx_att_db, att);

  if (i2c_has(i2c_accessory::misc)) update(misc_rx_att_db, att, misc_update);
  if (i2c_has(i2c_accessory::nucleo)) update(nucleo_rx_att_db, att, nucleo_update);
  if (i2c_has(i2c_accessory::arduino)) {
    const uint16_t rxatt =
        static_cast<uint16_t>((ld(arduino_rx_attenuation_sent) & rxatt_bits::second_db.mask) |
                              field_put(rxatt_bits::first_db, att));
    if (changed(arduino_rx_attenuation_sent, rxatt))
      send_arduino16(arduino_cmd::rx_attenuation, rxatt);
  }
}

// The word with C0 = 0x16: second receive attenuation and the keyer's
// timing settings.
void handle_attenuation_keyer(const uint8_t* c) {
  using namespace attenuation_keyer;
  const uint8_t c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];
  const uint32_t att2 = field_get(c1_second_db, c1);

  if (i2c_has(i2c_accessory::misc)) update(misc_rx2_att_db, att2, misc_update);
  if (i2c_has(i2c_accessory::nucleo)) update(nucleo_rx2_att_db, att2, nucleo_update);

  st(cw_speed, field_get(c3_speed, c3));
  st(cw_mode, field_get(c3_mode, c3));
  st(cw_reversed, field_get(c2_reversed, c2));
  st(cw_weight, field_get(c4_weight, c4));
  st(cw_spacing, field_get(c4_spacing, c4));

  if (i2c_has(i2c_accessory::arduino)) {
    const uint16_t rxatt =
        static_cast<uint16_t>(field_put(rxatt_bits::second_db, att2) |
                              (ld(arduino_rx_attenuation_sent) & rxatt_bits::first_db.mask));
    if (changed(arduino_rx_attenuation_sent, rxatt))
      send_arduino16(arduino_cmd::rx_attenuation, rxatt);
  }
}

// The word with C0 = 0x1C. Only the arduino board has a transmit attenuator.
void handle_tx_attenuation(const uint8_t* c) {
  if (!i2c_has(i2c_accessory::arduino)) return;
  const uint32_t txatt =
      field_put(txatt_bits::tx_db, field_get(tx_attenuation::c3_db, c[3])) |
      (ld(arduino_tx_attenuation_sent) & (txatt_bits::drive_db.mask | txatt_bits::relays.mask));
  if (changed(arduino_tx_attenuation_sent, txatt))
    send_arduino24(arduino_cmd::tx_attenuation, txatt);
}

// The word with C0 = 0x1E.
void handle_keyer_sidetone(const uint8_t* c) {
  st(keyer_enabled, field_get(keyer_sidetone::c1_keyer_on, c[1]));
  st(cw_delay, c[3]);
  st(sidetone_level, c[2]);
  if (i2c_has(i2c_accessory::codec)) write16(dac_level, static_cast<uint16_t>(c[2] << 6));
}

// The word with C0 = 0x20.
void handle_hang_sidetone_freq(const uint8_t* c) {
  using namespace hang_sidetone;
  st(cw_hang, field_put(hang_high, c[1]) | field_put(hang_low, field_get(c2_hang_low, c[2])));
  if (i2c_has(i2c_accessory::codec)) {
    // C4 is ORed in whole: its upper four bits overlap C3's lower four, and
    // clients keep them 0.
    const unsigned hz = static_cast<unsigned>(c[3]) << 4 | c[4];
    write32(dac_freq, sidetone_increment(hz));
  }
}

using handler = void (*)(const uint8_t* c);
constexpr uint32_t address_of(uint8_t c0) {
  return field_get(c0_address, c0);
}
constexpr uint32_t address_count = address_of(ep2_c0::first_ignored);

// Handler of each address; null entries are ignored words.
constexpr std::array<handler, address_count> dispatch = [] {
  std::array<handler, address_count> t{};
  t[address_of(ep2_c0::general)] = handle_general;
  t[address_of(ep2_c0::tx_frequency)] = handle_tx_frequency;
  t[address_of(ep2_c0::rx1_frequency)] = handle_rx1_frequency;
  t[address_of(ep2_c0::rx2_frequency)] = handle_rx2_frequency;
  t[address_of(ep2_c0::rx3_frequency)] = handle_rx3_frequency;
  t[address_of(ep2_c0::drive_filters)] = handle_drive_filters;
  t[address_of(ep2_c0::rx_attenuation)] = handle_rx_attenuation;
  t[address_of(ep2_c0::attenuation_keyer)] = handle_attenuation_keyer;
  t[address_of(ep2_c0::tx_attenuation)] = handle_tx_attenuation;
  t[address_of(ep2_c0::keyer_sidetone)] = handle_keyer_sidetone;
  t[address_of(ep2_c0::hang_sidetone_freq)] = handle_hang_sidetone_freq;
  return t;
}();

}  // namespace

void process_ep2(const uint8_t* c) {
  const uint32_t address = address_of(c[0]);
  if (address >= dispatch.size()) return;
  if (const handler h = dispatch[address]) h(c);
}
