// p1probe end to end: the real p1probe process against the real
// varnholt-sim process on an ephemeral loopback port, checked through
// p1probe's JSON report, its files, its exit status and the board's trace.
#include <cairo.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "probe_process.h"
#include "support/e2e_test.h"

namespace {

using nlohmann::json;

class probe : public e2e {
 protected:
  std::string port() const { return std::to_string(sim.port); }
  // p1probe COMMAND 127.0.0.1 --port P ARGS... --json
  probe_result run(const std::string& command, std::vector<std::string> args) {
    args.insert(args.begin(), {command, "127.0.0.1", "--port", port()});
    args.push_back("--json");
    return run_probe(args);
  }
};

// ---- command line ----------------------------------------------------------

struct usage_row {
  const char* name;
  std::vector<std::string> args;
  int exit_code;
};
std::ostream& operator<<(std::ostream& os, const usage_row& r) {
  return os << r.name;
}
class probe_usage : public ::testing::TestWithParam<usage_row> {};

// "PORT" stands for a loopback port where a socket is bound that never
// answers.
TEST_P(probe_usage, a_bad_command_line_or_a_silent_radio_gives_its_status_and_one_line) {
  const udp_client silent(1);  // bound on loopback, never answers
  std::vector<std::string> args = GetParam().args;
  for (std::string& s : args)
    if (s == "PORT") s = std::to_string(silent.port());
  const probe_result r = run_probe(args);
  EXPECT_EQ(r.exit_code, GetParam().exit_code) << r.err;
  EXPECT_EQ(r.err.rfind("p1probe: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    rows, probe_usage,
    ::testing::Values(
        usage_row{"no_command", {}, 2}, usage_row{"unknown_option", {"discover", "--colour"}, 2},
        usage_row{"no_address", {"stream"}, 2},
        usage_row{"rate_not_offered", {"stream", "127.0.0.1", "--rate", "50"}, 2},
        usage_row{"rate_code_not_khz", {"stream", "127.0.0.1", "--rate", "1"}, 2},
        usage_row{"nine_receivers", {"stream", "127.0.0.1", "--receivers", "9"}, 2},
        usage_row{"transmit_without_consent",
                  {"transmit", "127.0.0.1", "--port", "PORT", "--tx-freq", "7000000", "--tone",
                   "1000", "--drive", "10", "--seconds", "1"},
                  2},
        usage_row{"send_four_bytes", {"send", "127.0.0.1", "0", "0", "0", "0"}, 2},
        usage_row{"send_with_mox", {"send", "127.0.0.1", "1", "0", "0", "0", "0"}, 2},
        usage_row{"send_not_a_byte", {"send", "127.0.0.1", "0x100", "0", "0", "0", "0"}, 2},
        usage_row{"discover_no_answer",
                  {"discover", "--address", "127.0.0.1", "--port", "PORT", "--timeout", "200"},
                  1},
        usage_row{"stream_no_answer", {"stream", "127.0.0.1", "--port", "PORT"}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- counting, against a scripted radio ------------------------------------

// A radio played by the test: it answers discovery, and on the start command
// sends a script of EP6 frames with one receiver in counter mode (I the
// sample count, Q = 1), then nothing; the stop makes it idle again.
struct script_frame {
  uint32_t seq;
  uint32_t first_count;  // count of the frame's first sample
  uint8_t c0 = 0;        // status bits of both blocks
};

struct scripted_radio {
  const udp_client sock{1};  // its bound address serves; its peer is unused
  const int fd = sock.fd;
  const uint16_t port = sock.port();
  std::vector<script_frame> script;
  std::atomic<bool> run{true};
  std::thread thread;

  explicit scripted_radio(std::vector<script_frame> frames) : script(std::move(frames)) {
    thread = std::thread([this] { serve(); });
  }
  ~scripted_radio() {
    run = false;
    thread.join();
  }

  void serve() {
    bool streaming = false;
    while (run) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t in[2048];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 4 || in[0] != 0xEF || in[1] != 0xFE) continue;
      auto reply = [&](const std::vector<uint8_t>& d) {
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      };
      if (in[2] == 0x02) {
        std::vector<uint8_t> d(60, 0);
        const uint8_t head[11] = {0xEF, 0xFE, uint8_t(streaming ? 3 : 2), 2, 0, 0x5E, 0x10, 0, 1,
                                  0x20, 1};
        std::copy(head, head + 11, d.begin());
        reply(d);
      } else if (in[2] == 0x04) {
        streaming = in[3] != 0;
        if (!streaming) continue;
        for (const script_frame& s : script) {
          reply(counter_frame(s.seq, s.first_count, 1, s.c0));
        }
      }
    }
  }
};

struct count_row {
  const char* name;
  std::vector<script_frame> frames;
  int frames_lost, out_of_order, samples_lost, restarts;
};
std::ostream& operator<<(std::ostream& os, const count_row& r) {
  return os << r.name;
}
class probe_counting : public ::testing::TestWithParam<count_row> {};

// Ten frames of 126 samples, frame k numbered k and counting from 126 k,
// with one change per row.
std::vector<script_frame> ten_frames(uint32_t skip_seq = ~0u, uint32_t shift_from = ~0u,
                                     int32_t shift = 0) {
  std::vector<script_frame> f;
  for (uint32_t k = 0; k < 10; ++k)
    if (k != skip_seq) f.push_back({k, 126 * k + (k >= shift_from ? shift : 0)});
  return f;
}

TEST_P(probe_counting, counts_every_missing_sample_and_frame_exactly) {
  const count_row& row = GetParam();
  scripted_radio radio(row.frames);
  const probe_result r = run_probe(
      {"stream", "127.0.0.1", "--port", std::to_string(radio.port), "--seconds", "0.3", "--json"});
  ASSERT_TRUE(r.json.is_object()) << r.out << r.err;
  EXPECT_TRUE(r.json["counter_mode"]);
  const json& rx = r.json["receiver"][0];
  EXPECT_EQ(r.json["frames"]["lost"], row.frames_lost);
  EXPECT_EQ(r.json["frames"]["out_of_order"], row.out_of_order);
  EXPECT_EQ(rx["samples_lost"], row.samples_lost);
  EXPECT_EQ(rx["counter_restarts"], row.restarts);
  EXPECT_EQ(rx["counter_errors"], 0);
  const bool clean = row.frames_lost + row.out_of_order + row.samples_lost + row.restarts == 0;
  EXPECT_EQ(r.exit_code, clean ? 0 : 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    rows, probe_counting,
    ::testing::Values(count_row{"clean", ten_frames(), 0, 0, 0, 0},
                      count_row{"seven_samples_missing", ten_frames(~0u, 4, 7), 0, 0, 7, 0},
                      count_row{"a_frame_missing", ten_frames(5), 1, 0, 126, 0},
                      // The late frame's samples come after the stream moved on: unused.
                      count_row{"a_frame_late",
                                {{0, 0}, {1, 126}, {3, 378}, {2, 252}, {4, 504}, {5, 630}},
                                0,
                                1,
                                126,
                                0},
                      // The count begins again from 0 (the radio restarted its FIFO), at
                      // 5 on the first frame after the restart: 5 samples known lost.
                      count_row{
                          "count_restarted", {{0, 0}, {1, 126}, {2, 5}, {3, 131}}, 0, 0, 5, 1},
                      // The same once the count is past 2^23 (22 s at 384 kHz); the
                      // records before the first one seen count as lost too.
                      count_row{"count_restarted_past_half_the_range",
                                {{0, 0xA00000}, {1, 0xA00000 + 126}, {2, 5}, {3, 131}},
                                0,
                                0,
                                0xA00000 + 5,
                                1},
                      count_row{"first_samples_missing", {{0, 40}, {1, 166}}, 0, 0, 40, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(probe_status, counts_the_ptt_and_paddle_bits_of_the_status_words) {
  // C0 bit 0 PTT, bit 1 dash, bit 2 dot; two blocks per frame.
  scripted_radio radio({{0, 0, 0x01}, {1, 126, 0x03}, {2, 252, 0x04}, {3, 378, 0x00}});
  const probe_result r = run_probe(
      {"stream", "127.0.0.1", "--port", std::to_string(radio.port), "--seconds", "0.3", "--json"});
  ASSERT_TRUE(r.json.is_object()) << r.out << r.err;
  EXPECT_EQ(r.json["status"]["blocks"], 8);
  EXPECT_EQ(r.json["status"]["ptt"], 4);
  EXPECT_EQ(r.json["status"]["dash"], 2);
  EXPECT_EQ(r.json["status"]["dot"], 2);
}

// ---- discovery -------------------------------------------------------------

class probe_discovery : public probe, public ::testing::WithParamInterface<bool> {};

TEST_P(probe_discovery, names_the_board_and_whether_it_streams) {
  const bool streaming = GetParam();
  launch({});
  udp_client client(sim.port);
  if (streaming) {
    client.start();
    ASSERT_TRUE(next_ep6(client));
  }
  const probe_result r =
      run_probe({"discover", "--address", "127.0.0.1", "--port", port(), "--json"});
  if (streaming) client.stop();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.json["radios"].size(), 1u) << r.out;
  const json& radio = r.json["radios"][0];
  EXPECT_EQ(radio["address"], "127.0.0.1");
  EXPECT_EQ(radio["port"], sim.port);
  EXPECT_EQ(radio["mac"], "02:00:5e:10:00:01");
  EXPECT_EQ(radio["board_id"], 1);
  EXPECT_EQ(radio["firmware"], 0x20);
  EXPECT_EQ(radio["status"], streaming ? "streaming" : "idle");
}

INSTANTIATE_TEST_SUITE_P(rows, probe_discovery, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "streaming" : "idle"; });

// ---- streams in counter mode -------------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized_build = true;
#else
constexpr bool sanitized_build = false;
#endif

struct stream_row {
  int rate_khz;
  int receivers;
};
std::ostream& operator<<(std::ostream& os, const stream_row& r) {
  return os << r.rate_khz << " kHz, " << r.receivers << " receivers";
}
class probe_stream : public probe, public ::testing::WithParamInterface<stream_row> {};

// One second of stream, measured again (up to three times) only when the
// board's trace shows that a stall of the machine lost samples in the
// board itself. At 48 kHz no sample may be lost; at the higher rates the
// board's FIFO holds less than 11 ms and a stall may cost samples, but only
// with an overflow in the trace.
TEST_P(probe_stream, counts_every_sample_at_the_rate_asked_for) {
  const stream_row row = GetParam();
  launch({"--counter"});
  json report;
  long stalls = 0;
  bool passed = false;
  for (int attempt = 1; attempt <= 3 && !passed; ++attempt) {
    const size_t from = sim.trace().size();
    const probe_result r = run("stream", {"--rate", std::to_string(row.rate_khz), "--receivers",
                                          std::to_string(row.receivers), "--seconds", "1"});
    ASSERT_TRUE(r.json.is_object()) << r.out << r.err;
    report = r.json;
    stalls = stalls_in_run(sim, from);
    ASSERT_TRUE(report["counter_mode"]);
    ASSERT_EQ(report["rate_hz"], row.rate_khz * 1000);
    ASSERT_EQ(report["receiver"].size(), size_t(row.receivers));
    uint64_t lost = 0;
    bool rate_ok = true;
    for (const json& rx : report["receiver"]) {
      const int n = rx["number"];
      // The board carries receivers 1..4; the slots of 5..8 stay zero.
      EXPECT_EQ(rx["silent"], n > 4) << "receiver " << n;
      EXPECT_EQ(rx["counter_errors"], 0) << "receiver " << n;
      lost += rx["samples_lost"].get<uint64_t>() + rx["counter_restarts"].get<uint64_t>();
      const double rate = rx["rate_hz"];
      rate_ok = rate_ok && std::abs(rate - row.rate_khz * 1000.0) < row.rate_khz * 100.0;
    }
    passed = rate_ok && report["frames"]["lost"] == 0 &&
             (lost == 0 || (row.rate_khz > 48 && stalls > 0)) &&
             (row.rate_khz > 48 || r.exit_code == 0);
    if (!passed && stalls == 0) break;  // not the machine: a fault
    if (!passed) std::printf("[ retry    ] %ld FIFO overflow(s) in the board\n", stalls);
  }
  // A sanitizer slows the board several times over; when its FIFO overflowed
  // in every attempt, the machine could not stream at this rate and the run
  // says nothing about the probe's counting.
  if (!passed && stalls > 0 && sanitized_build)
    GTEST_SKIP() << "the board overflowed in every attempt under a sanitizer";
  EXPECT_TRUE(passed) << report.dump(1) << "\nFIFO overflows during the last run: " << stalls;
}

INSTANTIATE_TEST_SUITE_P(rows, probe_stream,
                         ::testing::Values(stream_row{48, 1}, stream_row{48, 8}, stream_row{96, 1},
                                           stream_row{96, 8}, stream_row{192, 1},
                                           stream_row{192, 8}, stream_row{384, 1},
                                           stream_row{384, 8}));

// ---- the built-in scene ------------------------------------------------------

struct carrier {
  int receiver;
  double offset_hz, level_dbfs;
};

TEST_F(probe, finds_the_built_in_scenes_carriers_at_their_offsets_and_levels) {
  launch({});
  // Receivers 1..3 on 600 kHz, 7.09 and 14.19 MHz; receiver 4 listens on
  // the transmit frequency, 3.64 MHz.
  const std::vector<carrier> expected = {{1, -6000, -45}, {1, 3000, -60},  {1, 12000, -52},
                                         {2, 10000, -55}, {3, 10000, -58}, {4, 10000, -64}};
  json report;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const size_t from = sim.trace().size();
    const probe_result r = run(
        "stream", {"--receivers", "4", "--freq", "600000", "--freq", "7090000", "--freq",
                   "14190000", "--freq", "3640000", "--tx-freq", "3640000", "--seconds", "1.5"});
    ASSERT_TRUE(r.json.is_object()) << r.out << r.err;
    report = r.json;
    if (stalls_in_run(sim, from) == 0) {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      break;
    }
    // Samples lost in the board lower the rate and put gaps into the
    // carriers: measured again.
    std::printf("[ retry    ] samples lost in the board during run %d\n", attempt);
  }
  for (const carrier& c : expected) {
    const json& peaks = report["receiver"][c.receiver - 1]["peaks"];
    const auto found = std::find_if(peaks.begin(), peaks.end(), [&](const json& p) {
      return std::abs(p["offset_hz"].get<double>() - c.offset_hz) < 20;
    });
    ASSERT_NE(found, peaks.end()) << "receiver " << c.receiver << " " << c.offset_hz << " Hz\n"
                                  << peaks.dump();
    EXPECT_NEAR((*found)["level_dbfs"].get<double>(), c.level_dbfs, 1)
        << "receiver " << c.receiver << " " << c.offset_hz << " Hz";
  }
  // Nothing else stands out in the receivers that hear one carrier.
  for (int rx = 2; rx <= 4; ++rx) EXPECT_EQ(report["receiver"][rx - 1]["peaks"].size(), 1u);
}

// ---- recordings and pictures ---------------------------------------------------

struct files_row {
  const char* name;
  int receivers;
  const char* wav_format;
  bool counter;
};
std::ostream& operator<<(std::ostream& os, const files_row& r) {
  return os << r.name;
}
class probe_files : public probe, public ::testing::WithParamInterface<files_row> {};

TEST_P(probe_files, the_wav_and_the_png_open_with_the_streams_shape) {
  const files_row row = GetParam();
  launch(row.counter ? std::vector<std::string>{"--counter"} : std::vector<std::string>{});
  const std::string wav = sim.dir.file("iq.wav"), png = sim.dir.file("spectrum.png");
  const probe_result r =
      run("stream", {"--receivers", std::to_string(row.receivers), "--seconds", "1", "--wav", wav,
                     "--wav-format", row.wav_format, "--png", png});
  ASSERT_TRUE(r.json.is_object()) << r.out << r.err;

  SF_INFO info{};
  SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.channels, 2 * row.receivers);
  EXPECT_EQ(info.samplerate, 48000);
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK,
            std::string(row.wav_format) == "int24" ? SF_FORMAT_PCM_24 : SF_FORMAT_FLOAT);
  EXPECT_EQ(info.frames, r.json["receiver"][0]["samples"].get<sf_count_t>());
  if (row.counter) {
    // The samples as the board sent them, I (its second word: receiver r's
    // number) left and Q (the first: the count) right.
    std::vector<int> frames(4096 * info.channels);
    ASSERT_EQ(sf_readf_int(f, frames.data(), 4096), 4096);
    for (int k = 1; k < 4096; ++k) {
      for (int rx = 0; rx < row.receivers; ++rx) {
        ASSERT_EQ(frames[k * info.channels + 2 * rx] >> 8, rx + 1) << "frame " << k;
        ASSERT_EQ(frames[k * info.channels + 2 * rx + 1] >> 8,
                  (frames[(k - 1) * info.channels + 2 * rx + 1] >> 8) + 1)
            << "frame " << k;
      }
    }
  }
  sf_close(f);

  cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
  ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(image), 1000);
  EXPECT_EQ(cairo_image_surface_get_height(image), 44 + 440 * row.receivers);
  cairo_surface_destroy(image);
}

INSTANTIATE_TEST_SUITE_P(rows, probe_files,
                         ::testing::Values(files_row{"float_one_receiver", 1, "float", false},
                                           files_row{"int24_three_receivers", 3, "int24", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- transmitting --------------------------------------------------------------

// MOX as the board's output register saw it: whether it was ever set, and
// whether the last store left it clear.
struct mox_seen {
  bool set = false, clear_at_end = false;
};
mox_seen mox_in_trace(const sim_process& sim) {
  mox_seen m;
  for (const event& e : sim.trace()) {
    if (!is_reg(e, "gpio_out")) continue;
    m.set = m.set || (value(e) & 1);
    m.clear_at_end = !(value(e) & 1);
  }
  return m;
}

TEST_F(probe, a_transmitted_tone_is_heard_on_receiver_four_and_mox_is_released) {
  launch({"--scene", sim.dir.file("quiet.txt", "noise -120\n")});
  const probe_result r =
      run("transmit", {"--tx-freq", "7050000", "--tone", "1000", "--drive", "255", "--seconds", "1",
                       "--i-understand-this-transmits"});
  ASSERT_TRUE(r.json.is_object()) << r.out << r.err;
  // A stall of the board (samples lost, the rate low) fails p1probe's own
  // checks; the tone and MOX are checked all the same.
  if (stalls_in_run(sim, 0) == 0) {
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
  const json& peaks = r.json["receiver"][3]["peaks"];
  ASSERT_FALSE(peaks.empty()) << r.out;
  // Half of full scale at full drive, 40 dB down in the receivers.
  EXPECT_NEAR(peaks[0]["offset_hz"].get<double>(), 1000, 5);
  EXPECT_NEAR(peaks[0]["level_dbfs"].get<double>(), -46, 1);
  const json& forward = r.json["status"]["analogue"]["forward"];
  EXPECT_GT(forward["max"].get<int>(), forward["min"].get<int>() + 1000) << "forward power rose";
  const mox_seen mox = mox_in_trace(sim);
  EXPECT_TRUE(mox.set);
  EXPECT_TRUE(mox.clear_at_end);
  EXPECT_EQ(run_probe({"discover", "--address", "127.0.0.1", "--port", port(), "--json"})
                .json["radios"][0]["status"],
            "idle");
}

TEST_F(probe, send_puts_the_control_words_into_ep2_frames) {
  launch({});
  // Transmit frequency 7100000 Hz (0x006C5660).
  const probe_result r =
      run_probe({"send", "127.0.0.1", "--port", port(), "0x02", "0x00", "0x6c", "0x56", "0x60"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(sim.wait_for({{"ev", "reg"}, {"name", "tx_freq"}, {"value", "62040747"}}));
}

// ---- interrupted --------------------------------------------------------------

struct signal_row {
  const char* command;
  int signal;
};
std::ostream& operator<<(std::ostream& os, const signal_row& r) {
  return os << r.command << " " << strsignal(r.signal);
}
class probe_signal : public probe, public ::testing::WithParamInterface<signal_row> {};

TEST_P(probe_signal, ends_with_the_radio_stopped_and_mox_released) {
  const signal_row row = GetParam();
  launch({});
  std::vector<std::string> args{probe_binary_path(), row.command, "127.0.0.1", "--port", port(),
                                "--seconds",         "30",        "--json"};
  const bool transmit = std::string(row.command) == "transmit";
  if (transmit)
    args.insert(args.end(), {"--tx-freq", "7050000", "--tone", "700", "--drive", "10",
                             "--i-understand-this-transmits"});
  child_process child;
  ASSERT_TRUE(child.start(args));
  // Streaming (and transmitting) before the signal.
  udp_client client(sim.port);
  bool streaming = false;
  for (const int64_t deadline = e2e_now_ms() + 10000; !streaming && e2e_now_ms() < deadline;) {
    streaming = discovery_status(client, 100) == 3;
    child.pump(0);
  }
  ASSERT_TRUE(streaming) << child.err;
  if (transmit) {
    ASSERT_TRUE(
        sim.wait_for_event([](const event& e) { return is_reg(e, "gpio_out") && (value(e) & 1); }));
  }
  ASSERT_EQ(kill(child.pid, row.signal), 0);
  const int status = child.wait(10000);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 0) << child.err;
  const json report = json::parse(child.out, nullptr, false);
  EXPECT_EQ(report["interrupted"], true) << child.out;

  EXPECT_EQ(discovery_status(client), 2) << "the radio still streams";
  if (transmit) {
    EXPECT_TRUE(mox_in_trace(sim).clear_at_end);
  }
}

INSTANTIATE_TEST_SUITE_P(rows, probe_signal,
                         ::testing::Values(signal_row{"stream", SIGINT},
                                           signal_row{"transmit", SIGTERM}),
                         [](const auto& info) {
                           return std::string(info.param.command) +
                                  (info.param.signal == SIGINT ? "_sigint" : "_sigterm");
                         });

}  // namespace
