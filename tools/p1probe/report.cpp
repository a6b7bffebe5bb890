#include "report.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

json radio_json(const discovery_reply& d) {
  return {{"address", ip_text(d.from)}, {"port", ntohs(d.from.sin_port)},
          {"mac", mac_text(d.mac)},     {"board_id", d.board_id},
          {"firmware", d.firmware},     {"status", status_text(d.status)}};
}

// To `per_unit` steps of one (10: tenths), so that JSON shows short numbers.
double rounded(double v, double per_unit) {
  return std::round(v * per_unit) / per_unit;
}

json stream_json(const stream_report& r) {
  json j;
  j["command"] = r.command;
  j["radio"] = radio_json(r.radio);
  j["rate_hz"] = r.rate_hz;
  j["receivers"] = r.receivers;
  j["seconds"] = rounded(r.seconds, 1000);
  j["interrupted"] = r.interrupted;
  j["frames"] = {{"received", r.frames_received},
                 {"lost", r.frames_lost},
                 {"out_of_order", r.frames_out_of_order}};
  j["ep2"] = {{"sent", r.ep2_sent}, {"late", r.ep2_late}, {"resyncs", r.ep2_resyncs}};
  j["counter_mode"] = r.counter_mode;
  json rx = json::array();
  for (const receiver_report& rr : r.rx) {
    json o{{"number", rr.number},
           {"frequency_hz", rr.hz},
           {"samples", rr.samples},
           {"rate_hz", rounded(rr.rate_hz, 10)},
           {"silent", rr.silent}};
    if (r.counter_mode) {
      o["samples_lost"] = rr.samples_lost;
      o["counter_restarts"] = rr.counter_restarts;
      o["counter_errors"] = rr.counter_errors;
    } else {
      o["noise_dbfs_per_bin"] = rounded(rr.noise_dbfs_per_bin, 100);
      json peaks = json::array();
      for (const peak& p : rr.peaks)
        peaks.push_back({{"offset_hz", rounded(p.offset_hz, 10)},
                         {"frequency_hz", std::llround(rr.hz + p.offset_hz)},
                         {"level_dbfs", rounded(p.level_dbfs, 100)}});
      o["peaks"] = peaks;
    }
    rx.push_back(o);
  }
  j["receiver"] = rx;
  json analogue;
  for (int i = 0; i < an_count; ++i) {
    const analogue_reading& a = r.analogue[i];
    if (a.seen) analogue[analogue_names[i]] = {{"min", a.min}, {"max", a.max}, {"last", a.last}};
  }
  j["status"] = {{"blocks", r.status_blocks},
                 {"ptt", r.ptt_blocks},
                 {"dash", r.dash_blocks},
                 {"dot", r.dot_blocks},
                 {"adc_overflow", r.adc_overflow_blocks},
                 {"analogue", analogue.is_null() ? json::object() : analogue}};
  if (r.transmit)
    j["transmit"] = {{"tx_frequency_hz", r.tx_hz},
                     {"tone_hz", r.tone_hz},
                     {"drive", r.drive},
                     {"mox_seconds", rounded(r.mox_seconds, 1000)}};
  json files = json::object();
  if (!r.wav_path.empty()) files["wav"] = r.wav_path;
  if (!r.png_path.empty()) files["png"] = r.png_path;
  j["files"] = files;
  j["passed"] = r.failures.empty();
  j["failures"] = r.failures;
  return j;
}

void print_reading(const char* name, const analogue_reading& a) {
  if (a.seen) std::printf("  %s %u..%u (last %u)", name, a.min, a.max, a.last);
}

}  // namespace

void print_discovery(const std::vector<discovery_reply>& replies, uint16_t port, bool json_out) {
  if (json_out) {
    json list = json::array();
    for (const discovery_reply& d : replies) list.push_back(radio_json(d));
    std::cout << json{{"port", port}, {"radios", list}}.dump() << std::endl;
    return;
  }
  for (const discovery_reply& d : replies)
    std::printf("%-15s port %u  MAC %s  board %u  firmware %u (0x%02x)  %s\n",
                ip_text(d.from).c_str(), ntohs(d.from.sin_port), mac_text(d.mac).c_str(),
                d.board_id, d.firmware, d.firmware, status_text(d.status));
}

void print_stream_report(const stream_report& r, bool json_out) {
  if (json_out) {
    std::cout << stream_json(r).dump() << std::endl;
    return;
  }
  std::printf("p1probe %s: %s port %u, board %u, firmware %u, MAC %s\n", r.command,
              r.address.c_str(), r.port, r.radio.board_id, r.radio.firmware,
              mac_text(r.radio.mac).c_str());
  std::printf("  %d kHz, %d receiver%s, %.2f s%s\n", r.rate_hz / 1000, r.receivers,
              r.receivers == 1 ? "" : "s", r.seconds, r.interrupted ? " (interrupted)" : "");
  std::printf("  frames: %llu received, %llu lost, %llu out of order; EP2: %llu sent, %llu late\n",
              static_cast<unsigned long long>(r.frames_received),
              static_cast<unsigned long long>(r.frames_lost),
              static_cast<unsigned long long>(r.frames_out_of_order),
              static_cast<unsigned long long>(r.ep2_sent),
              static_cast<unsigned long long>(r.ep2_late));
  for (const receiver_report& rr : r.rx) {
    std::printf("  receiver %d  %.3f kHz  %llu samples  %.1f Hz%s\n", rr.number, rr.hz / 1000.0,
                static_cast<unsigned long long>(rr.samples), rr.rate_hz,
                rr.silent ? "  (all samples zero)" : "");
    if (r.counter_mode) {
      if (!rr.silent)
        std::printf("    counter: %llu samples lost, %llu restarts, %llu wrong samples\n",
                    static_cast<unsigned long long>(rr.samples_lost),
                    static_cast<unsigned long long>(rr.counter_restarts),
                    static_cast<unsigned long long>(rr.counter_errors));
      continue;
    }
    if (rr.silent) continue;
    std::printf("    noise %.1f dBFS per bin; signals:", rr.noise_dbfs_per_bin);
    if (rr.peaks.empty()) std::printf(" none");
    for (const peak& p : rr.peaks) std::printf("  %+.1f Hz %.1f dBFS", p.offset_hz, p.level_dbfs);
    std::printf("\n");
  }
  std::printf("  status: %llu blocks; PTT %llu, dash %llu, dot %llu, ADC overflow %llu\n",
              static_cast<unsigned long long>(r.status_blocks),
              static_cast<unsigned long long>(r.ptt_blocks),
              static_cast<unsigned long long>(r.dash_blocks),
              static_cast<unsigned long long>(r.dot_blocks),
              static_cast<unsigned long long>(r.adc_overflow_blocks));
  std::printf("   ");
  for (int i = 0; i < an_count; ++i) print_reading(analogue_names[i], r.analogue[i]);
  std::printf("\n");
  if (r.transmit) {
    std::printf("  transmit: %.3f kHz, tone %+.1f Hz, drive %d, MOX for %.2f s;", r.tx_hz / 1000.0,
                r.tone_hz, r.drive, r.mox_seconds);
    print_reading("forward", r.analogue[an_forward]);
    print_reading("reverse", r.analogue[an_reverse]);
    std::printf("\n");
  }
  if (!r.wav_path.empty()) std::printf("  recording: %s\n", r.wav_path.c_str());
  if (!r.png_path.empty()) std::printf("  picture: %s\n", r.png_path.c_str());
  if (r.failures.empty()) {
    std::printf("  result: passed\n");
  } else {
    for (const std::string& f : r.failures) std::printf("  FAILED: %s\n", f.c_str());
  }
  std::fflush(stdout);
}
