// The Wireshark dissector tools/wireshark/hpsdr.lua end to end: sessions of
// the real p1probe with the real varnholt-sim, recorded with p1probe --pcap
// and decoded by tshark with -X lua_script; every field tshark prints is
// compared with the bytes of the recorded datagrams (read back with libpcap)
// or with the words that were sent. Skipped where tshark is not installed.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "probe_process.h"
#include "support/e2e_test.h"

namespace {

constexpr size_t ip_udp = 28;  // DLT_RAW: IPv4 header (20 bytes) and UDP header before the datagram

std::string tshark_path() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string p = dir + "/tshark";
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

struct tshark_result {
  int exit_code = -1;
  std::string out, err;
};

// tshark with the dissector from the source tree; standard error without
// the line tshark prints whenever it runs as root.
tshark_result tshark(std::vector<std::string> args) {
  // -G REPORT must come first.
  const auto at = args.begin() + (args.size() >= 2 && args[0] == "-G" ? 2 : 0);
  args.insert(at, {"-X", "lua_script:" HPSDR_LUA});
  args.insert(args.begin(), tshark_path());
  child_process child;
  tshark_result r;
  if (!child.start(args)) return r;
  const int status = child.wait(120000);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = child.out;
  std::stringstream lines(child.err);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("Running as user \"root\"", 0) != 0) r.err += line + "\n";
  return r;
}

// -T fields: one row per frame that passes `filter`, one entry per field
// with its occurrences in the frame (empty when it has none).
using occurrences = std::vector<std::string>;
struct fields_table {
  std::vector<std::string> names;
  std::vector<std::vector<occurrences>> rows;
  bool ok = false;
  std::string error;

  // Every occurrence of `name` in every row, in capture order.
  occurrences all(const std::string& name) const {
    occurrences out;
    const size_t i = index(name);
    for (const auto& row : rows) out.insert(out.end(), row[i].begin(), row[i].end());
    return out;
  }
  const occurrences& at(size_t row, const std::string& name) const {
    return rows[row][index(name)];
  }
  size_t index(const std::string& name) const {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return i;
    ADD_FAILURE() << "no field " << name;
    return 0;
  }
};

fields_table fields(const std::string& pcap, const std::string& filter,
                    const std::vector<std::string>& names,
                    const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args{"-r",          pcap, "-T",           "fields", "-E",
                                "separator=|", "-E", "occurrence=a", "-E",     "aggregator=,"};
  if (!filter.empty()) args.insert(args.end(), {"-Y", filter});
  args.insert(args.end(), extra.begin(), extra.end());
  for (const std::string& n : names) args.insert(args.end(), {"-e", n});
  const tshark_result r = tshark(args);
  fields_table t;
  t.names = names;
  if (r.exit_code != 0 || !r.err.empty()) {
    t.error = "tshark exit " + std::to_string(r.exit_code) + ": " + r.err;
    return t;
  }
  std::stringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<occurrences> row;
    std::stringstream cells(line);
    for (std::string cell; row.size() < names.size();) {
      if (!std::getline(cells, cell, '|')) cell.clear();
      occurrences o;
      std::stringstream values(cell);
      for (std::string v; std::getline(values, v, ',');) o.push_back(v);
      row.push_back(o);
    }
    t.rows.push_back(row);
  }
  t.ok = true;
  return t;
}

// ---- the capture, read and written with libpcap -----------------------------

struct record {
  timeval ts{};
  std::vector<uint8_t> packet;  // IPv4 header, UDP header, datagram
  const uint8_t* datagram() const { return packet.data() + ip_udp; }
  size_t size() const { return packet.size() - ip_udp; }
  uint16_t src_port() const { return get_be16(packet.data() + 20); }
  uint16_t dst_port() const { return get_be16(packet.data() + 22); }
  bool is(uint8_t b2, uint8_t b3) const {
    return size() >= 4 && datagram()[0] == 0xEF && datagram()[1] == 0xFE && datagram()[2] == b2 &&
           datagram()[3] == b3;
  }
  bool ep2() const { return size() == 1032 && is(0x01, 0x02); }
  bool ep6() const { return size() == 1032 && is(0x01, 0x06); }
  uint32_t seq() const { return get_be32(datagram() + 4); }
  const uint8_t* c(int block) const { return datagram() + (block ? 523 : 11); }  // C0..C4
};

std::vector<record> read_capture(const std::string& path) {
  std::vector<record> out;
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), error);
  if (!p) {
    ADD_FAILURE() << path << ": " << error;
    return out;
  }
  EXPECT_EQ(pcap_datalink(p), DLT_RAW);
  pcap_pkthdr* h;
  const u_char* data;
  while (pcap_next_ex(p, &h, &data) == 1) {
    record r;
    r.ts = h->ts;
    r.packet.assign(data, data + h->caplen);
    EXPECT_EQ(h->caplen, h->len);
    EXPECT_GE(r.packet.size(), ip_udp);
    out.push_back(r);
  }
  pcap_close(p);
  return out;
}

void write_capture(const std::string& path, const std::vector<record>& records) {
  pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
  pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
  ASSERT_NE(d, nullptr) << pcap_geterr(dead);
  for (const record& r : records) {
    pcap_pkthdr h{};
    h.ts = r.ts;
    h.caplen = h.len = static_cast<bpf_u_int32>(r.packet.size());
    pcap_dump(reinterpret_cast<u_char*>(d), &h, r.packet.data());
  }
  pcap_dump_close(d);
  pcap_close(dead);
}

std::string num(uint64_t v) {
  return std::to_string(v);
}
std::string hex2(unsigned v) {
  char t[8];
  std::snprintf(t, sizeof t, "0x%02x", v);
  return t;
}

// Frame numbers (1-based) of the records for which `pred` holds.
template <typename Pred>
std::vector<std::string> frames_where(const std::vector<record>& rs, Pred pred) {
  std::vector<std::string> out;
  for (size_t i = 0; i < rs.size(); ++i)
    if (pred(rs[i])) out.push_back(num(i + 1));
  return out;
}

// What a reader of the sequence numbers expects per direction: frames after
// a gap, and frames repeated or out of order (a restart at 0 is neither).
struct sequence_findings {
  std::vector<std::string> gaps, repeats;
};
sequence_findings sequence_oracle(const std::vector<record>& rs) {
  sequence_findings f;
  std::map<std::string, uint32_t> last;
  for (size_t i = 0; i < rs.size(); ++i) {
    const record& r = rs[i];
    if (!r.ep2() && !r.ep6()) continue;
    const std::string key =
        std::string(r.ep2() ? "2" : "6") + "|" + num(r.src_port()) + "|" + num(r.dst_port());
    const auto it = last.find(key);
    const uint32_t seq = r.seq();
    if (it != last.end() && seq != it->second + 1 && seq != 0)
      (seq - (it->second + 1) < 0x80000000u ? f.gaps : f.repeats).push_back(num(i + 1));
    last[key] = seq;
  }
  return f;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end(), [](const std::string& a, const std::string& b) {
    return std::stoll(a) < std::stoll(b);
  });
  return v;
}

// ---- p1probe --pcap without tshark -----------------------------------------------

TEST(probe_pcap, a_capture_file_that_cannot_be_made_fails_the_run_before_anything_is_sent) {
  const probe_result r = run_probe({"send", "127.0.0.1", "--port", "9", "--pcap",
                                    "/nonexistent/session.pcap", "0", "0", "0", "0", "0"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "p1probe: cannot write /nonexistent/session.pcap: No such file or directory\n");
}

// ---- the fixture ------------------------------------------------------------

class dissector : public e2e {
 protected:
  temp_dir files;

  void SetUp() override {
    e2e::SetUp();
    if (IsSkipped()) return;
    if (tshark_path().empty()) GTEST_SKIP() << "tshark is not installed";
    // An installed copy loads before the one given with -X, which then
    // steps aside: it must be the same file.
    const tshark_result plugins = tshark({"-G", "plugins"});
    ASSERT_EQ(plugins.exit_code, 0) << plugins.err;
    ASSERT_NE(plugins.out.find(HPSDR_LUA), std::string::npos) << plugins.out;
    std::stringstream lines(plugins.out);
    for (std::string line; std::getline(lines, line);) {
      const std::string path = line.substr(line.rfind('\t') + 1);
      if (line.find("lua script") == std::string::npos || path == HPSDR_LUA || path.size() < 10 ||
          path.substr(path.size() - 10) != "/hpsdr.lua")
        continue;
      std::ifstream installed(path), source(HPSDR_LUA);
      std::stringstream a, b;
      a << installed.rdbuf();
      b << source.rdbuf();
      ASSERT_TRUE(a.str() == b.str()) << path << ", an older hpsdr.lua, is loaded in place of "
                                      << HPSDR_LUA << ": remove it or install this one";
    }
    // The PTT and paddle inputs take every combination in turn, 20 ms each,
    // for a minute: the status words carry all of them.
    std::string gpio;
    const int cycle[] = {1, 2, 4, 0, 3, 6, 5, 7};
    for (int ms = 0, k = 0; ms < 60000; ms += 20, ++k)
      gpio += std::to_string(ms) + " " + std::to_string(cycle[k % 8]) + "\n";
    launch({"--gpio", files.file("gpio", gpio)});
  }

  std::string port() const { return std::to_string(sim.port); }

  // p1probe COMMAND 127.0.0.1 --port P --pcap FILE ARGS...; the capture's path.
  std::string record_session(const std::string& command, std::vector<std::string> args) {
    const std::string pcap = files.file(command + ".pcap");
    args.insert(args.begin(), {command, "127.0.0.1", "--port", port(), "--pcap", pcap});
    const probe_result r = run_probe(args);
    // A stream that lost frames on a loaded machine (or under a sanitizer)
    // fails the probe's check but is recorded all the same; the sequence
    // checks below allow for what the capture shows lost.
    if (command == "send")
      EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    else
      EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.out << r.err;
    return pcap;
  }
};

TEST_F(dissector, a_capture_that_cannot_be_written_out_fails_the_run) {
  const probe_result r = run_probe(
      {"send", "127.0.0.1", "--port", port(), "--pcap", "/dev/full", "0", "0", "0", "0", "0"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "p1probe: cannot write /dev/full\n");
}

// ---- every word address, as sent --------------------------------------------

std::vector<std::string> be32_word(uint8_t c0, uint32_t hz) {
  return {hex2(c0), num(hz >> 24), num((hz >> 16) & 0xFF), num((hz >> 8) & 0xFF), num(hz & 0xFF)};
}

struct field_row {
  const char* field;
  occurrences values;  // in capture order
};

TEST_F(dissector, decodes_every_word_address_as_the_radio_reads_it) {
  // Two words a frame, in this order.
  const std::vector<std::vector<std::string>> words{
      // general: rate code 2, C2 EER and output 0x02, C3 attenuator code 1,
      // preamp, bits 3..4 = 1, receive antenna 3, receive out; C4 transmit
      // antenna 2, receivers - 1 = 2, synchronisation
      {"0x00", "0x02", "0x05", "0xED", "0x96"},
      be32_word(0x02, 7074000),
      be32_word(0x04, 600000),
      be32_word(0x06, 14074000),
      be32_word(0x08, 30720001),  // above 30.72 MHz: ignored by the radio
      be32_word(0x0A, 1000),      // receiver 4: ignored
      // drive 200, microphone boost and manual filters, C3 high-pass 0x25 and
      // relay off, C4 low-pass 0x3C
      {"0x12", "200", "0x41", "0xA5", "0x3C"},
      {"0x14", "0", "0", "0", "0x35"},  // receive attenuation 21 dB
      {"0x16", "0x2B", "0x40", "0x9E",
       "0xB2"},                         // 11 dB, reversed, 30 WPM mode 2, weight 50, spacing
      {"0x1C", "0", "0", "0x17", "0"},  // transmit attenuation 23 dB
      {"0x1E", "1", "77", "12", "0"},   // keyer on, sidetone level 77, RF delay 12 ms
      // hang 603 ms; sidetone (0x24 << 4) | 0x18 = 600 Hz: C4 is ORed in whole
      {"0x20", "0x96", "0x03", "0x24", "0x18"},
      be32_word(0x24, 5000000),      // receiver 8: ignored
      {"0x44", "1", "2", "3", "4"},  // no such word
  };
  std::vector<std::string> args;
  for (const auto& w : words) args.insert(args.end(), w.begin(), w.end());
  const std::string pcap = record_session("send", args);

  const std::vector<field_row> expected{
      {"hpsdr.ep2.c0",
       {"0x00", "0x02", "0x04", "0x06", "0x08", "0x0a", "0x12", "0x14", "0x16", "0x1c", "0x1e",
        "0x20", "0x24", "0x44"}},
      {"hpsdr.ep2.c0.address",
       {"0", "1", "2", "3", "4", "5", "9", "10", "11", "14", "15", "16", "18", "34"}},
      {"hpsdr.ep2.c0.mox", occurrences(14, "0")},
      {"hpsdr.ep2.sync", occurrences(14, "7f7f7f")},
      {"hpsdr.ep2.seq", {"0", "1", "2", "3", "4", "5", "6"}},
      {"hpsdr.ep2.rate", {"192000"}},
      {"hpsdr.ep2.rate_code", {"2"}},
      {"hpsdr.ep2.eer", {"1"}},
      {"hpsdr.ep2.oc_outputs", {"0x02"}},
      {"hpsdr.ep2.attenuator", {"10"}},
      {"hpsdr.ep2.preamp", {"1"}},
      {"hpsdr.ep2.c3_accessory", {"1"}},
      {"hpsdr.ep2.rx_antenna", {"3"}},
      {"hpsdr.ep2.rx_out", {"1"}},
      {"hpsdr.ep2.tx_antenna", {"2"}},
      {"hpsdr.ep2.receivers", {"3"}},
      {"hpsdr.ep2.rx_sync", {"1"}},
      {"hpsdr.ep2.tx_freq", {"7074000"}},
      {"hpsdr.ep2.rx_freq", {"600000", "14074000", "30720001", "1000", "5000000"}},
      {"hpsdr.ep2.receiver", {"1", "2", "3", "4", "8"}},
      {"hpsdr.ep2.drive", {"200"}},
      {"hpsdr.ep2.mic_boost", {"1"}},
      {"hpsdr.ep2.manual_filters", {"1"}},
      {"hpsdr.ep2.alex.c3", {"0xa5"}},
      {"hpsdr.ep2.alex.high_pass", {"0x25"}},
      {"hpsdr.ep2.alex.six_metres", {"0"}},
      {"hpsdr.ep2.alex.relay_disable", {"1"}},
      {"hpsdr.ep2.alex.low_pass", {"0x3c"}},
      {"hpsdr.ep2.rx_att", {"21"}},
      {"hpsdr.ep2.rx_att2", {"11"}},
      {"hpsdr.ep2.cw.reversed", {"1"}},
      {"hpsdr.ep2.cw.speed", {"30"}},
      {"hpsdr.ep2.cw.mode", {"2"}},
      {"hpsdr.ep2.cw.weight", {"50"}},
      {"hpsdr.ep2.cw.spacing", {"1"}},
      {"hpsdr.ep2.tx_att", {"23"}},
      {"hpsdr.ep2.cw.internal", {"1"}},
      {"hpsdr.ep2.cw.sidetone_level", {"77"}},
      {"hpsdr.ep2.cw.delay", {"12"}},
      {"hpsdr.ep2.cw.hang", {"603"}},
      {"hpsdr.ep2.cw.sidetone_freq", {"600"}},
      {"hpsdr.ep2.tx_peak", occurrences(14, "0")},
      {"hpsdr.ep2.audio_peak", occurrences(14, "0")},
      // words the radio ignores: 30720001 Hz, receivers 4 and 8, C0 0x44
      {"hpsdr.ignored", {"1", "1", "1", "1"}},
  };
  std::vector<std::string> names;
  for (const field_row& r : expected) names.push_back(r.field);
  const fields_table t = fields(pcap, "hpsdr.ep2", names);
  ASSERT_TRUE(t.ok) << t.error;
  ASSERT_EQ(t.rows.size(), 7u);
  for (const field_row& r : expected) EXPECT_EQ(t.all(r.field), r.values) << r.field;
}

// ---- a transmit session: discovery, start, MOX on and off, status, stop ------

TEST_F(dissector, a_transmit_session_decodes_as_recorded) {
  const std::string pcap = record_session(
      "transmit", {"--tx-freq", "7074000", "--tone", "1000", "--drive", "200", "--seconds", "0.5",
                   "--receivers", "2", "--i-understand-this-transmits"});
  const std::vector<record> rs = read_capture(pcap);
  ASSERT_FALSE(rs.empty());
  const std::vector<std::string> names{"frame.number",
                                       "hpsdr.discovery.kind",
                                       "hpsdr.discovery.status",
                                       "hpsdr.discovery.mac",
                                       "hpsdr.discovery.firmware",
                                       "hpsdr.discovery.board_id",
                                       "hpsdr.start.command",
                                       "hpsdr.stop",
                                       "hpsdr.ep2.seq",
                                       "hpsdr.ep2.c0",
                                       "hpsdr.ep2.c0.mox",
                                       "hpsdr.ep2.tx_freq",
                                       "hpsdr.ep2.rx_freq",
                                       "hpsdr.ep2.drive",
                                       "hpsdr.ep2.receivers",
                                       "hpsdr.ep2.rate",
                                       "hpsdr.ep6.seq",
                                       "hpsdr.ep6.ptt",
                                       "hpsdr.ep6.dash",
                                       "hpsdr.ep6.dot",
                                       "hpsdr.ep6.address",
                                       "hpsdr.ep6.forward_power",
                                       "hpsdr.ep6.reverse_power",
                                       "hpsdr.ep6.supply",
                                       "hpsdr.ep6.version_c4",
                                       "hpsdr.ep6.receivers",
                                       "hpsdr.seq_gap",
                                       "hpsdr.seq_repeat",
                                       "hpsdr.no_sync",
                                       "hpsdr.second_client",
                                       "hpsdr.ep2_silence"};
  const fields_table t = fields(pcap, "", names);
  ASSERT_TRUE(t.ok) << t.error;
  ASSERT_EQ(t.rows.size(), rs.size());

  size_t ep2 = 0, ep6 = 0, replies = 0, mox_frames = 0;
  std::set<std::string> status_bits[3];  // PTT, dash, dot values seen
  bool dash_not_dot = false;
  for (size_t i = 0; i < rs.size(); ++i) {
    SCOPED_TRACE("frame " + num(i + 1));
    const record& r = rs[i];
    const uint8_t* d = r.datagram();
    auto field = [&](const char* name) { return t.at(i, name); };
    if (r.is(0x02, 0x00) && r.size() == 63) {
      EXPECT_EQ(field("hpsdr.discovery.kind"), occurrences{"request"});
    } else if (r.size() == 60 && d[2] == 0x02) {
      ++replies;
      EXPECT_EQ(field("hpsdr.discovery.kind"), occurrences{"reply"});
      EXPECT_EQ(field("hpsdr.discovery.status"), occurrences{num(d[2])});
      EXPECT_EQ(field("hpsdr.discovery.mac"), occurrences{"02:00:5e:10:00:01"});
      EXPECT_EQ(field("hpsdr.discovery.firmware"), occurrences{"32"});
      EXPECT_EQ(field("hpsdr.discovery.board_id"), occurrences{"0x01"});
    } else if (r.is(0x04, 0x01)) {
      EXPECT_EQ(field("hpsdr.start.command"), occurrences{"0x01"});
    } else if (r.is(0x04, 0x00)) {
      EXPECT_EQ(field("hpsdr.start.command"), occurrences{"0x00"});
      EXPECT_EQ(field("hpsdr.stop").size(), 1u);
    } else if (r.ep2()) {
      ++ep2;
      EXPECT_EQ(field("hpsdr.ep2.seq"), occurrences{num(r.seq())});
      occurrences c0, mox, tx, rx, drive, receivers, rate;
      for (int b = 0; b < 2; ++b) {
        const uint8_t* c = r.c(b);
        c0.push_back(hex2(c[0]));
        mox.push_back(num(c[0] & 1));
        const uint32_t word = get_be32(c + 1);
        switch (c[0] >> 1) {
          case 0:
            receivers.push_back(num(((c[4] >> 3) & 7) + 1));
            rate.push_back(num(48000u << (c[1] & 3)));
            break;
          case 1:
            tx.push_back(num(word));
            break;
          case 2:
          case 3:
            rx.push_back(num(word));
            break;
          case 9:
            drive.push_back(num(c[1]));
            break;
          default:
            break;
        }
      }
      mox_frames += (r.c(0)[0] | r.c(1)[0]) & 1;
      EXPECT_EQ(field("hpsdr.ep2.c0"), c0);
      EXPECT_EQ(field("hpsdr.ep2.c0.mox"), mox);
      EXPECT_EQ(field("hpsdr.ep2.tx_freq"), tx);
      EXPECT_EQ(field("hpsdr.ep2.rx_freq"), rx);
      EXPECT_EQ(field("hpsdr.ep2.drive"), drive);
      EXPECT_EQ(field("hpsdr.ep2.receivers"), receivers);
      EXPECT_EQ(field("hpsdr.ep2.rate"), rate);
      // What p1probe was told to send.
      for (const auto& v : tx) EXPECT_EQ(v, "7074000");
      for (const auto& v : rx) EXPECT_EQ(v, "7074000");
      for (const auto& v : drive) EXPECT_EQ(v, "200");
      for (const auto& v : receivers) EXPECT_EQ(v, "2");
    } else if (r.ep6()) {
      ++ep6;
      EXPECT_EQ(field("hpsdr.ep6.seq"), occurrences{num(r.seq())});
      occurrences bits[3], address, forward, reverse, supply, version;
      for (int b = 0; b < 2; ++b) {
        const uint8_t* c = r.c(b);
        for (int k = 0; k < 3; ++k) {
          bits[k].push_back(num((c[0] >> k) & 1));
          status_bits[k].insert(bits[k].back());
        }
        dash_not_dot |= ((c[0] >> 1) & 1) != ((c[0] >> 2) & 1);
        address.push_back(num(c[0] >> 3));
        switch (c[0] >> 3) {
          case 0:
            version.push_back(hex2(c[4]));
            break;
          case 1:
            forward.push_back(num(get_be16(c + 3)));
            break;
          case 2:
            reverse.push_back(num(get_be16(c + 1)));
            break;
          case 3:
            supply.push_back(num(get_be16(c + 1)));
            break;
          default:
            break;
        }
      }
      EXPECT_EQ(field("hpsdr.ep6.ptt"), bits[0]);
      EXPECT_EQ(field("hpsdr.ep6.dash"), bits[1]);
      EXPECT_EQ(field("hpsdr.ep6.dot"), bits[2]);
      EXPECT_EQ(field("hpsdr.ep6.address"), address);
      EXPECT_EQ(field("hpsdr.ep6.forward_power"), forward);
      EXPECT_EQ(field("hpsdr.ep6.reverse_power"), reverse);
      EXPECT_EQ(field("hpsdr.ep6.supply"), supply);
      EXPECT_EQ(field("hpsdr.ep6.version_c4"), version);
      // Known from the general words sent before the start: both blocks
      // and the frame.
      EXPECT_EQ(field("hpsdr.ep6.receivers"), occurrences(3, "2"));
    }
  }
  EXPECT_GT(replies, 0u);
  EXPECT_GT(ep6, 20u);
  // MOX on and off both recorded.
  EXPECT_GT(mox_frames, 0u);
  EXPECT_LT(mox_frames, ep2);
  // The inputs' pattern reached the status words.
  for (const auto& seen : status_bits) EXPECT_EQ(seen, (std::set<std::string>{"0", "1"}));
  EXPECT_TRUE(dash_not_dot);

  // Stamped with the time of day in microseconds: the feeder's frames 2.625 ms
  // apart (the median: the first few go out at once).
  std::vector<double> gaps_ms;
  double previous = 0;
  for (const record& r : rs) {
    const double at = double(r.ts.tv_sec) * 1e3 + double(r.ts.tv_usec) / 1e3;
    if (r.ep2() && r.seq() > 0 && previous > 0) gaps_ms.push_back(at - previous);
    if (r.ep2()) previous = at;
  }
  ASSERT_FALSE(gaps_ms.empty());
  std::sort(gaps_ms.begin(), gaps_ms.end());
  EXPECT_NEAR(gaps_ms[gaps_ms.size() / 2], 2.625, 1.0);
  EXPECT_NEAR(double(rs.front().ts.tv_sec), double(time(nullptr)), 60);

  // A filter on MOX lists exactly the frames sent with it.
  const fields_table keyed = fields(pcap, "hpsdr.ep2.c0.mox == 1", {"frame.number"});
  ASSERT_TRUE(keyed.ok) << keyed.error;
  EXPECT_EQ(keyed.all("frame.number"), frames_where(rs, [](const record& r) {
              return r.ep2() && ((r.c(0)[0] | r.c(1)[0]) & 1);
            }));

  // Only what the sequence numbers show (nothing on an unloaded machine).
  const sequence_findings seq = sequence_oracle(rs);
  EXPECT_EQ(t.all("hpsdr.seq_gap").size(), seq.gaps.size());
  EXPECT_EQ(t.all("hpsdr.seq_repeat").size(), seq.repeats.size());
  for (const char* none : {"hpsdr.no_sync", "hpsdr.second_client", "hpsdr.ep2_silence"})
    EXPECT_TRUE(t.all(none).empty()) << none;
}

// ---- expert info ---------------------------------------------------------------

TEST_F(dissector, shows_gaps_repeats_missing_sync_a_second_client_and_ep2_silence) {
  const std::string pcap = record_session("stream", {"--seconds", "0.5"});
  const std::vector<record> rs = read_capture(pcap);
  std::vector<size_t> ep6;
  for (size_t i = 0; i < rs.size(); ++i)
    if (rs[i].ep6()) ep6.push_back(i);
  ASSERT_GT(ep6.size(), 50u);

  // Edits, in capture order; what each must show, by the record it lands on.
  std::vector<record> out;
  std::map<std::string, std::vector<size_t>> expect;  // expert -> indexes into `out`
  size_t ep2_seen = 0;
  bool shifted = false, dropped_ep2 = false;
  bool gap_ep6 = false, gap_ep2 = false;  // a frame dropped: the gap shows on the next one
  for (size_t i = 0; i < rs.size(); ++i) {
    record r = rs[i];
    if (shifted) r.ts.tv_sec += 2;  // everything after the silence, 2 s later
    if (i == ep6[10]) {
      gap_ep6 = true;
      continue;  // dropped
    }
    if (r.ep2() && r.seq() == 10 && !dropped_ep2) {
      dropped_ep2 = gap_ep2 = true;
      continue;
    }
    if ((r.ep6() && gap_ep6) || (r.ep2() && gap_ep2)) {
      expect["hpsdr.seq_gap"].push_back(out.size());
      (r.ep6() ? gap_ep6 : gap_ep2) = false;
    }
    if (r.ep2() && ++ep2_seen == 12) {
      r.packet[ip_udp + 520] = 0;  // block 2's first sync byte
      expect["hpsdr.no_sync"].push_back(out.size());
    }
    out.push_back(r);
    if (i == ep6[20]) {
      expect["hpsdr.seq_repeat"].push_back(out.size());
      out.push_back(r);  // repeated
    }
    if (i == ep6[30]) {
      shifted = true;
      expect["hpsdr.ep2_silence"].push_back(out.size());  // the next frame either way
    }
    if (i == ep6[40]) {
      // The start command again, from another port of the client's machine.
      const auto start =
          std::find_if(rs.begin(), rs.end(), [](const record& s) { return s.is(0x04, 0x01); });
      ASSERT_NE(start, rs.end());
      record second = *start;
      second.ts = r.ts;
      put_be16(second.packet.data() + 20, static_cast<uint16_t>(start->src_port() ^ 1));
      expect["hpsdr.second_client"].push_back(out.size());
      out.push_back(second);
    }
  }
  const std::string edited = files.file("edited.pcap");
  write_capture(edited, out);

  const std::vector<std::string> experts{"hpsdr.seq_gap", "hpsdr.seq_repeat", "hpsdr.no_sync",
                                         "hpsdr.second_client", "hpsdr.ep2_silence"};
  std::vector<std::string> names{"frame.number"};
  names.insert(names.end(), experts.begin(), experts.end());
  const fields_table t = fields(edited, "", names);
  ASSERT_TRUE(t.ok) << t.error;
  ASSERT_EQ(t.rows.size(), out.size());
  // A second pass (as tshark -2 makes, and the GUI whenever a frame is
  // shown again) finds what the first found.
  const fields_table twice = fields(edited, "", names, {"-2"});
  ASSERT_TRUE(twice.ok) << twice.error;
  EXPECT_TRUE(twice.rows == t.rows);
  // Besides the edits, whatever the machine itself lost.
  const sequence_findings seq = sequence_oracle(out);
  for (const std::string& e : experts) {
    std::vector<std::string> want;
    for (size_t i : expect[e]) want.push_back(num(i + 1));
    std::vector<std::string> got;
    for (size_t i = 0; i < t.rows.size(); ++i)
      if (!t.at(i, e).empty()) got.push_back(num(i + 1));
    if (e == "hpsdr.seq_gap") want = seq.gaps;
    if (e == "hpsdr.seq_repeat") want = seq.repeats;
    EXPECT_EQ(got, sorted(want)) << e;
  }
  // The oracle agrees with the edits.
  for (size_t i : expect["hpsdr.seq_gap"])
    EXPECT_NE(std::find(seq.gaps.begin(), seq.gaps.end(), num(i + 1)), seq.gaps.end());
  for (size_t i : expect["hpsdr.seq_repeat"])
    EXPECT_NE(std::find(seq.repeats.begin(), seq.repeats.end(), num(i + 1)), seq.repeats.end());

  // Expert info reaches tshark's own summary.
  const tshark_result summary = tshark({"-r", edited, "-q", "-z", "expert,warn"});
  EXPECT_EQ(summary.exit_code, 0);
  EXPECT_EQ(summary.err, "");
  for (const char* text : {"EP6 sequence gap: 1 frame missing", "EP2 sequence gap: 1 frame missing",
                           "EP6 sequence number repeated", "start from a second client",
                           "block 2 without sync bytes", "EP2 frame"})
    EXPECT_NE(summary.out.find(text), std::string::npos) << text << " in\n" << summary.out;
}

// ---- registration ------------------------------------------------------------------

TEST_F(dissector, loads_cleanly_and_decodes_port_1024_and_other_ports) {
  const std::string pcap = record_session("stream", {"--seconds", "0.2"});
  std::vector<record> rs = read_capture(pcap);
  ASSERT_FALSE(rs.empty());
  // The same session with the radio on port 1024.
  for (record& r : rs)
    for (size_t at : {20, 22})
      if (get_be16(r.packet.data() + at) == sim.port) put_be16(r.packet.data() + at, 1024);
  const std::string on_1024 = files.file("1024.pcap");
  write_capture(on_1024, rs);

  struct row {
    std::string file;
    bool heuristic;
    size_t decoded;
  };
  for (const row& r :
       {row{pcap, true, rs.size()}, row{pcap, false, 0}, row{on_1024, false, rs.size()}}) {
    std::vector<std::string> extra;
    if (!r.heuristic) extra = {"--disable-heuristic", "hpsdr_udp"};
    const fields_table t = fields(r.file, "hpsdr", {"frame.number"}, extra);
    ASSERT_TRUE(t.ok) << t.error;  // exit status 0, nothing on standard error
    EXPECT_EQ(t.rows.size(), r.decoded) << r.file << (r.heuristic ? "" : " without the heuristic");
  }
}

// Datagrams no session of p1probe makes, on port 1024 and on another port
// (where only what the heuristic recognises is decoded).
struct odd_row {
  const char* name;
  std::vector<uint8_t> head;  // then zeros up to `size`
  size_t size;
  bool from_radio;
  const char* kind;  // hpsdr.discovery.kind, or "" for none
  bool ignored;      // hpsdr.ignored: a datagram or word the radio ignores
  bool short_frame;  // hpsdr.short
  bool heuristic;    // decoded on another port too
  // On another port only the length tells a request from an idle radio's
  // reply (EF FE 02, then a MAC that may begin with 00): 60 bytes is a reply.
  const char* kind_elsewhere = nullptr;  // when not `kind`
};

TEST_F(dissector, tells_requests_from_replies_and_marks_what_the_radio_ignores) {
  const std::vector<odd_row> rows{
      {"request_60_bytes",
       {0xEF, 0xFE, 0x02, 0x00},
       60,
       false,
       "request",
       false,
       false,
       true,
       "reply"},
      {"request_63_bytes", {0xEF, 0xFE, 0x02, 0x00}, 63, false, "request", false, false, true},
      {"request_byte_3_not_0", {0xEF, 0xFE, 0x02, 0x01}, 63, false, "request", true, false, false},
      {"idle_reply_mac_00", {0xEF, 0xFE, 0x02, 0x00, 0x11}, 60, true, "reply", false, false, true},
      {"reply_of_63_bytes",
       {0xEF, 0xFE, 0x02, 0x00},
       63,
       true,
       "reply",
       false,
       false,
       true,
       "request"},
      {"streaming_reply", {0xEF, 0xFE, 0x03, 0x02}, 60, true, "reply", false, false, true},
      {"set_address_command", {0xEF, 0xFE, 0x03, 0x01}, 63, false, "", true, false, false},
      {"command_04", {0xEF, 0xFE, 0x04, 0x04}, 64, false, "", true, false, false},
      {"short_ep2", {0xEF, 0xFE, 0x01, 0x02}, 100, false, "", false, true, false},
      {"ep4", {0xEF, 0xFE, 0x01, 0x04}, 1032, false, "", true, false, false},
  };
  const uint16_t radio_ports[] = {1024, 50000};
  for (const uint16_t radio_port : radio_ports) {
    std::vector<record> rs;
    for (const odd_row& r : rows) {
      record rec;
      rec.packet.assign(ip_udp + r.size, 0);
      uint8_t* ip = rec.packet.data();
      ip[0] = 0x45;
      put_be16(ip + 2, static_cast<uint16_t>(rec.packet.size()));
      ip[8] = 64;
      ip[9] = 17;
      const uint8_t client[4] = {127, 0, 0, 1}, radio[4] = {127, 0, 0, 2};
      std::copy(r.from_radio ? radio : client, (r.from_radio ? radio : client) + 4, ip + 12);
      std::copy(r.from_radio ? client : radio, (r.from_radio ? client : radio) + 4, ip + 16);
      put_be16(ip + 20, r.from_radio ? radio_port : 40000);
      put_be16(ip + 22, r.from_radio ? 40000 : radio_port);
      put_be16(ip + 24, static_cast<uint16_t>(8 + r.size));
      std::copy(r.head.begin(), r.head.end(), ip + ip_udp);
      rs.push_back(rec);
    }
    const std::string file = files.file("odd" + std::to_string(radio_port) + ".pcap");
    write_capture(file, rs);
    const fields_table t = fields(
        file, "", {"hpsdr", "hpsdr.discovery.kind", "hpsdr.ignored", "hpsdr.short", "hpsdr.start"});
    ASSERT_TRUE(t.ok) << t.error;
    ASSERT_EQ(t.rows.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      const odd_row& r = rows[i];
      SCOPED_TRACE(std::string(r.name) + " on port " + std::to_string(radio_port));
      if (radio_port != 1024 && !r.heuristic) {
        EXPECT_TRUE(t.at(i, "hpsdr").empty());
        continue;
      }
      EXPECT_EQ(t.at(i, "hpsdr").size(), 1u);
      const char* kind = radio_port != 1024 && r.kind_elsewhere ? r.kind_elsewhere : r.kind;
      EXPECT_EQ(t.at(i, "hpsdr.discovery.kind"), *kind ? occurrences{kind} : occurrences{});
      EXPECT_EQ(!t.at(i, "hpsdr.ignored").empty(), r.ignored);
      EXPECT_EQ(!t.at(i, "hpsdr.short").empty(), r.short_frame);
      EXPECT_TRUE(t.at(i, "hpsdr.start").empty());  // none of them starts the stream
    }
  }
}

}  // namespace
