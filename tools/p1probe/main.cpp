// p1probe: the operator's HPSDR Protocol 1 probe. Is the radio there, does
// it stream cleanly, what does it hear, does it transmit.
//
// Exit status: 0 success, 1 a failed check (nothing answered, an address
// that does not resolve, a busy radio, frames or samples lost...), 2 a usage
// error. Whatever way it ends short of SIGKILL, a radio it started is
// stopped and a transmitter it keyed is released: SIGINT and SIGTERM only
// set a flag, and the run then ends as it does at its time.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "pcap.h"
#include "radio.h"
#include "report.h"
#include "stream.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

constexpr uint32_t freq_max_hz = 30720000;  // the radio ignores higher frequencies
constexpr uint32_t default_hz = 7100000;

int usage_error(const std::string& message) {
  std::fprintf(stderr, "p1probe: %s (p1probe --help shows the usage)\n", message.c_str());
  return exit_usage;
}

int run_discover(uint16_t port, const std::string& address, int timeout_ms, bool json) {
  std::string error;
  std::vector<sockaddr_in> targets;
  sockaddr_in one{};
  if (!address.empty()) {
    if (!resolve_ipv4(address, port, &one, &error)) {
      std::fprintf(stderr, "p1probe: %s\n", error.c_str());
      return exit_failed;
    }
    targets.push_back(one);
  } else {
    targets = broadcast_targets(port);
  }
  const int fd = open_client_socket(address.empty(), &error);
  if (fd < 0) {
    std::fprintf(stderr, "p1probe: %s\n", error.c_str());
    return exit_failed;
  }
  const auto replies = discover(fd, targets, timeout_ms, address.empty() ? nullptr : &one);
  close(fd);
  print_discovery(replies, port, json);
  if (replies.empty()) {
    std::fprintf(stderr, "p1probe: no radio answered %s port %u within %d ms\n",
                 address.empty() ? "the broadcast on" : address.c_str(), port, timeout_ms);
    return exit_failed;
  }
  return exit_ok;
}

bool parse_byte(const std::string& s, uint8_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(s.c_str(), &end, 0);
  if (errno || *end || v > 255 || s[0] == '-') return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

int run_send(uint16_t port, const std::string& host, const std::vector<std::string>& tokens) {
  if (tokens.empty() || tokens.size() % 5 != 0)
    return usage_error("send takes control words of five bytes each: C0 C1 C2 C3 C4 [...]");
  std::vector<control_word> words(tokens.size() / 5);
  for (size_t i = 0; i < tokens.size(); ++i)
    if (!parse_byte(tokens[i], &words[i / 5].c[i % 5]))
      return usage_error("'" + tokens[i] + "' is not a byte (0..255, 0x00..0xff)");
  for (const control_word& w : words)
    if (w.c[0] & ep2_c0::mox)
      return usage_error("C0 with bit 0 set would key the transmitter; transmit does that");
  sockaddr_in radio;
  std::string error;
  if (!resolve_ipv4(host, port, &radio, &error)) {
    std::fprintf(stderr, "p1probe: %s\n", error.c_str());
    return exit_failed;
  }
  const int fd = open_client_socket(false, &error);
  if (fd < 0) {
    std::fprintf(stderr, "p1probe: %s\n", error.c_str());
    return exit_failed;
  }
  if (discover(fd, {radio}, 1000, &radio).empty()) {
    std::fprintf(stderr, "p1probe: no answer from %s port %u\n", ip_text(radio).c_str(), port);
    close(fd);
    return exit_failed;
  }
  // Two words a frame; an odd last word fills both blocks of its frame.
  uint8_t frame[frame_size];
  size_t frames = 0;
  for (size_t i = 0; i < words.size(); i += 2, ++frames) {
    build_ep2_frame(frame, static_cast<uint32_t>(frames), words[i],
                    words[std::min(i + 1, words.size() - 1)], nullptr);
    if (sendto(fd, frame, sizeof frame, 0, reinterpret_cast<const sockaddr*>(&radio),
               sizeof radio) >= 0)
      pcap_record_sent(fd, radio, frame, sizeof frame);
  }
  close(fd);
  std::printf("sent %zu control word%s in %zu EP2 frame%s to %s port %u\n", words.size(),
              words.size() == 1 ? "" : "s", frames, frames == 1 ? "" : "s", ip_text(radio).c_str(),
              port);
  return exit_ok;
}

void add_pcap_option(CLI::App* cmd, std::string* path) {
  cmd->add_option("--pcap", *path,
                  "record every datagram sent and received as a capture file (libpcap format, for "
                  "Wireshark or tshark)");
}

// What stream and transmit share: the address, the rate and the receivers
// (help texts of their own)...
void add_run_options(CLI::App* cmd, stream_options* o, const char* rate_help,
                     const char* receivers_help) {
  cmd->add_option("ADDRESS", o->host, "the radio's address or name")->required();
  // The kHz to the rate code of the general word. The kHz are checked first
  // (the later transform runs first): the transformer alone would also take
  // the codes themselves.
  const std::map<int, int> rate_codes{{48, 0}, {96, 1}, {192, 2}, {384, 3}};
  cmd->add_option("--rate", o->rate_code, rate_help)
      ->transform(CLI::CheckedTransformer(rate_codes).description(""))
      ->transform(CLI::IsMember({48, 96, 192, 384}));
  cmd->add_option("--receivers", o->receivers, receivers_help)->check(CLI::Range(1, 8));
}

// ...and what is made of the run, after the options of their own.
void add_output_options(CLI::App* cmd, stream_options* o, const char* wav_help,
                        const char* png_help, std::string* wav_format, std::string* pcap_path) {
  cmd->add_option("--peaks", o->max_peaks, "signals reported per receiver (default 5)")
      ->check(CLI::Range(0, 50));
  cmd->add_option("--wav", o->wav_path, wav_help);
  cmd->add_option("--wav-format", *wav_format, "float (default) or int24")
      ->check(CLI::IsMember({"float", "int24"}));
  cmd->add_option("--png", o->png_path, png_help);
  cmd->add_flag("--json", o->json, "print the report as one JSON object");
  cmd->add_flag("--take-over", o->take_over, "start even when the radio streams to another client");
  add_pcap_option(cmd, pcap_path);
}

// Runs one command with --pcap FILE recording its datagrams; a file that
// cannot be written is a failed check.
template <typename Run>
int recorded(const std::string& pcap_path, Run run) {
  std::string error;
  if (!pcap_path.empty() && !pcap_record_open(pcap_path, &error)) {
    std::fprintf(stderr, "p1probe: %s\n", error.c_str());
    return exit_failed;
  }
  const int status = run();
  if (!pcap_record_close(&error)) {
    std::fprintf(stderr, "p1probe: %s\n", error.c_str());
    return exit_failed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "p1probe: checks a radio that speaks HPSDR Protocol 1 from the operator's computer.\n"
      "Exit status: 0 success, 1 a failed check, 2 a usage error."};
  app.require_subcommand(1);
  app.fallthrough();
  uint16_t port = 1024;
  app.add_option("--port", port, "UDP port of the radio (default 1024)")
      ->check(CLI::Range(1, 65535));

  // discover
  CLI::App* disc = app.add_subcommand(
      "discover", "Finds radios: one line each with address, MAC, board id, firmware, state.");
  std::string disc_address;
  int disc_timeout = 1000;
  bool disc_json = false;
  disc->add_option("--address", disc_address,
                   "ask this address only (default: broadcast on every interface)");
  disc->add_option("--timeout", disc_timeout, "milliseconds to wait for answers (default 1000)")
      ->check(CLI::Range(1, 60000));
  disc->add_flag("--json", disc_json, "print one JSON object");

  // stream and transmit share their run.
  std::string pcap_path;             // one of stream, transmit and send runs
  std::string wav_format = "float";  // one of stream and transmit runs
  stream_options so;
  std::vector<uint32_t> freqs;
  CLI::App* st = app.add_subcommand(
      "stream",
      "Starts the radio, keeps it fed as a client does, and reports frames, lost samples,\n"
      "the sample rate, status words and the strongest signals of every receiver.");
  add_run_options(st, &so, "sample rate in kHz: 48, 96, 192 or 384 (default 48)",
                  "receivers, 1..8 (default 1)");
  st->add_option("--freq", freqs,
                 "receiver frequency in Hz, once per receiver in order; receivers without one "
                 "take the last given (default 7100000)")
      ->check(CLI::Range(0u, freq_max_hz))
      ->allow_extra_args(false);
  st->add_option("--tx-freq", so.tx_hz, "transmit frequency in Hz (default: receiver 1's)")
      ->check(CLI::Range(0u, freq_max_hz));
  st->add_option("--seconds", so.seconds, "length of the run (default 10)")
      ->check(CLI::Range(0.1, 1e6));
  add_output_options(st, &so, "record the I/Q: one WAV file, two channels (I, Q) per receiver",
                     "draw spectrum and waterfall per receiver (1000 px wide, 44 + 440 px per "
                     "receiver high)",
                     &wav_format, &pcap_path);

  // transmit
  stream_options to;
  to.transmit = true;
  to.receivers = 4;
  bool understood = false;
  CLI::App* tx = app.add_subcommand(
      "transmit",
      "Transmits a tone (I/Q at half of full scale) with MOX set for the given time, then\n"
      "releases MOX and stops; reports what the receivers hear and the forward and reverse\n"
      "power readings of the status words.");
  tx->add_option("--tx-freq", to.tx_hz, "transmit frequency in Hz")
      ->required()
      ->check(CLI::Range(0u, freq_max_hz));
  tx->add_option("--tone", to.tone_hz, "tone offset from the transmit frequency in Hz")
      ->required()
      ->check(CLI::Range(-20000.0, 20000.0));
  tx->add_option("--drive", to.drive, "drive level 0..255")->required()->check(CLI::Range(0, 255));
  tx->add_option("--seconds", to.seconds, "time with MOX set")
      ->required()
      ->check(CLI::Range(0.1, 600.0));
  tx->add_flag("--i-understand-this-transmits", understood,
               "required: the radio sends RF into whatever is connected");
  add_run_options(tx, &to, "receive sample rate in kHz (default 48)",
                  "receivers, all tuned to the transmit frequency (default 4)");
  add_output_options(tx, &to, "record the I/Q as with stream", "draw the receivers as with stream",
                     &wav_format, &pcap_path);

  // send
  std::string send_host;
  std::vector<std::string> send_tokens;
  CLI::App* sd = app.add_subcommand(
      "send", "Sends EP2 frames carrying the given control words (two per frame).");
  sd->add_option("ADDRESS", send_host, "the radio's address or name")->required();
  sd->add_option("WORDS", send_tokens, "C0 C1 C2 C3 C4 [...], bytes in decimal or 0x hex")
      ->required();
  add_pcap_option(sd, &pcap_path);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    return usage_error(e.what());
  }

  install_stop_signals();
  if (*disc) return run_discover(port, disc_address, disc_timeout, disc_json);
  if (*sd) return recorded(pcap_path, [&] { return run_send(port, send_host, send_tokens); });
  if (*st) {
    so.port = port;
    so.wav_pcm24 = wav_format == "int24";
    if (freqs.empty()) freqs.push_back(default_hz);
    for (int r = 0; r < so.receivers; ++r)
      so.rx_hz.push_back(freqs[std::min<size_t>(r, freqs.size() - 1)]);
    if (!st->count("--tx-freq")) so.tx_hz = so.rx_hz[0];
    return recorded(pcap_path, [&] { return run_stream(so); });
  }
  if (*tx) {
    if (!understood)
      return usage_error(
          "transmit keys the transmitter and sends RF into the antenna or load; add "
          "--i-understand-this-transmits to go ahead");
    to.port = port;
    to.wav_pcm24 = wav_format == "int24";
    to.rx_hz.assign(to.receivers, to.tx_hz);
    return recorded(pcap_path, [&] { return run_stream(to); });
  }
  return exit_usage;
}
