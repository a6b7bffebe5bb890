#include "stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/sample_counter.h"
#include "pcap.h"
#include "picture.h"
#include "report.h"
#include "wav.h"

const char* const analogue_names[an_count] = {"exciter", "forward", "reverse",
                                              "ain3",    "ain4",    "ain6"};

namespace {

constexpr int64_t first_frame_timeout_ns = 3000 * ns_per_ms;
constexpr int64_t silence_timeout_ns = 1000 * ns_per_ms;  // no frame for this long: stopped
// While transmitting, the spectra begin once MOX has been on this long: the
// transmit FIFO, the transmitter and the receive path are all under way.
constexpr int64_t transmit_settle_ns = 200 * ns_per_ms;
constexpr int64_t progress_every_ns = 250 * ns_per_ms;
// The measured rate may differ from the nominal one by this share plus
// rate_tolerance_seconds over the length of the run.
constexpr double rate_tolerance = 0.02;
constexpr double rate_tolerance_seconds = 0.03;
constexpr int recv_batch = 64;
constexpr size_t wav_flush_frames = 8192;

int32_t sample24(const uint8_t* p) {
  return static_cast<int32_t>(get_be24(p) ^ 0x800000u) - 0x800000;
}

struct run_state {
  const stream_options* o = nullptr;
  stream_report* r = nullptr;
  int slot = 0;       // bytes per sample slot (ep6_slot_size)
  int per_block = 0;  // slots per block
  bool have_first = false;
  uint32_t next_seq = 0;
  int64_t first_stamp = 0, last_stamp = 0;  // kernel arrival, ns
  uint64_t samples_after_first = 0;         // per receiver, frames after the first
  int64_t last_frame_at = 0;                // monotonic
  bool analyse = false;
  std::vector<int32_t> last_count;  // counter mode: last count per receiver, -1 none
  std::vector<spectrum> spectra;
  std::vector<std::complex<float>> block_iq;  // one block, receiver by receiver
  wav_file wav;
  bool wav_failed = false;
  std::vector<int32_t> wav_buf;
  size_t wav_frames = 0;
};

void wav_flush(run_state* st) {
  if (!st->wav.file || st->wav_frames == 0) return;
  if (!wav_write(&st->wav, st->wav_buf.data(), st->wav_frames)) st->wav_failed = true;
  st->wav_frames = 0;
}

void status_word(run_state* st, const uint8_t* c) {
  stream_report& r = *st->r;
  ++r.status_blocks;
  r.ptt_blocks += c[0] & 1;
  r.dash_blocks += (c[0] >> 1) & 1;
  r.dot_blocks += (c[0] >> 2) & 1;
  auto add = [&](int i, const uint8_t* p) {
    analogue_reading& a = r.analogue[i];
    const uint16_t v = get_be16(p);
    a.min = a.seen ? std::min(a.min, v) : v;
    a.max = a.seen ? std::max(a.max, v) : v;
    a.last = v;
    a.seen = true;
  };
  switch (c[0] >> 3) {
    case 0:
      r.adc_overflow_blocks += c[1] & 1;
      break;
    case 1:
      add(an_exciter, c + 1);
      add(an_forward, c + 3);
      break;
    case 2:
      add(an_reverse, c + 1);
      add(an_ain3, c + 3);
      break;
    case 3:
      add(an_ain4, c + 1);
      add(an_ain6, c + 3);
      break;
    default:
      break;
  }
}

// Does the radio number its samples? Receiver 1 of the first block: the
// second word is the receiver number and the first counts up by one.
bool looks_like_counter(const run_state& st, const uint8_t* payload) {
  if (st.per_block < 2) return false;
  for (int s = 0; s < st.per_block; ++s) {
    const uint8_t* p = payload + s * st.slot;
    if (sample24(p + 3) != 1) return false;
    if (s > 0 && ((sample24(p) - sample24(p - st.slot)) & counter_mask) != 1) return false;
  }
  return true;
}

// One counter-mode sample: the first word counts, the second names the
// receiver.
void counter_sample(run_state* st, int rx, int32_t first, int32_t second) {
  receiver_report& rr = st->r->rx[rx];
  if (first == 0 && second == 0) return;  // a receiver the radio does not fill
  rr.silent = false;
  if (second != rx + 1) {
    ++rr.counter_errors;
    return;
  }
  const int32_t count = first & counter_mask;
  int32_t& last = st->last_count[rx];
  if (last < 0) {
    rr.samples_lost += count;  // the count starts at 0 with the stream
  } else {
    const int32_t step = (count - last) & counter_mask;
    if (step == 0 || counter_restarted(static_cast<uint32_t>(last), static_cast<uint32_t>(count))) {
      // Back to a smaller count: the radio restarted its FIFO; what it held
      // and the records before `count` are gone, and how many the FIFO held
      // does not show.
      ++rr.counter_restarts;
      rr.samples_lost += count;
    } else {
      rr.samples_lost += step - 1;
    }
  }
  last = count;
}

void process_block(run_state* st, const uint8_t* block, bool first_block) {
  status_word(st, block + block_c0_offset);
  const uint8_t* payload = block + block_payload_offset;
  stream_report& r = *st->r;
  const int n = r.receivers;
  if (first_block) r.counter_mode = looks_like_counter(*st, payload);
  for (int s = 0; s < st->per_block; ++s) {
    const uint8_t* p = payload + s * st->slot;
    int32_t* w = st->wav.file ? &st->wav_buf[(st->wav_frames++) * 2 * n] : nullptr;
    for (int rx = 0; rx < n; ++rx) {
      // The radio sends Q, then I of the analytic signal: read as
      // second + j*first, an offset above the tuned frequency is positive.
      const uint8_t* words = p + ep6_receiver_bytes * rx;
      const int32_t q = sample24(words), i = sample24(words + 3);
      if (w) {
        w[2 * rx] = i;
        w[2 * rx + 1] = q;
      }
      if (r.counter_mode) {
        counter_sample(st, rx, q, i);
      } else {
        if (i || q) r.rx[rx].silent = false;
        st->block_iq[size_t(rx) * st->per_block + s] = {float(i), float(q)};
      }
    }
  }
  for (int rx = 0; rx < n; ++rx) r.rx[rx].samples += st->per_block;
  if (st->analyse && !r.counter_mode)
    for (int rx = 0; rx < n; ++rx)
      spectrum_feed(&st->spectra[rx], &st->block_iq[size_t(rx) * st->per_block], st->per_block);
  if (st->wav.file && st->wav_frames >= wav_flush_frames) wav_flush(st);
}

void process_frame(run_state* st, const uint8_t* f, int64_t stamp) {
  stream_report& r = *st->r;
  const uint32_t seq = get_be32(f + frame_sequence_offset);
  const bool first = !st->have_first;
  if (first) {
    st->have_first = true;
    st->first_stamp = stamp;
  } else {
    const int32_t ahead = static_cast<int32_t>(seq - st->next_seq);
    if (ahead < 0) {
      // Late: it was counted as lost when a later one came. Its samples are
      // not used; the timeline has moved on.
      ++r.frames_out_of_order;
      if (r.frames_lost > 0) --r.frames_lost;
      return;
    }
    if (ahead > 0) {
      r.frames_lost += static_cast<uint32_t>(ahead);
      if (st->wav.file) {
        // Silence in place of what was lost (at most a second of it).
        const uint64_t frames =
            std::min<uint64_t>(uint64_t(ahead) * 2 * st->per_block, uint64_t(r.rate_hz));
        wav_flush(st);
        if (!wav_write_silence(&st->wav, frames)) st->wav_failed = true;
      }
    }
    st->samples_after_first += 2 * st->per_block;
  }
  st->next_seq = seq + 1;
  st->last_stamp = stamp;
  ++r.frames_received;
  process_block(st, f + frame_block_offset[0], first);
  process_block(st, f + frame_block_offset[1], false);
}

// Receives what is queued (waiting up to `wait_ms` for the first datagram).
void receive_batch(int fd, const sockaddr_in& radio, run_state* st, int wait_ms) {
  static uint8_t bufs[recv_batch][frame_size + 8];
  static char controls[recv_batch][CMSG_SPACE(sizeof(timespec))];
  mmsghdr msgs[recv_batch]{};
  iovec iov[recv_batch];
  sockaddr_in from[recv_batch];
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, wait_ms) <= 0) return;
  for (int i = 0; i < recv_batch; ++i) {
    iov[i] = {bufs[i], sizeof bufs[i]};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_hdr.msg_name = &from[i];
    msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    msgs[i].msg_hdr.msg_control = controls[i];
    msgs[i].msg_hdr.msg_controllen = sizeof controls[i];
  }
  const int n = recvmmsg(fd, msgs, recv_batch, MSG_DONTWAIT, nullptr);
  for (int i = 0; i < n; ++i) {
    const uint8_t* b = bufs[i];
    int64_t stamp = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        stamp = timespec_ns(ts);
      }
    if (stamp == 0) stamp = realtime_now_ns();
    pcap_record_received(fd, from[i], b, msgs[i].msg_len, stamp);
    if (msgs[i].msg_len != frame_size || !same_endpoint(from[i], radio) ||
        std::memcmp(b, ep6_frame_header, 4) != 0)
      continue;
    st->last_frame_at = monotonic_ns();
    process_frame(st, b, stamp);
  }
}

void progress(const run_state& st, double seconds) {
  const stream_report& r = *st.r;
  const double rate = st.last_stamp > st.first_stamp
                          ? static_cast<double>(st.samples_after_first) * 1e9 /
                                double(st.last_stamp - st.first_stamp)
                          : 0;
  uint64_t lost = 0;
  for (const receiver_report& rr : r.rx) lost += rr.samples_lost;
  std::fprintf(stderr, "\r\033[K%6.1f s  %llu frames  %llu lost  %llu out of order  %.2f kHz",
               seconds, static_cast<unsigned long long>(r.frames_received),
               static_cast<unsigned long long>(r.frames_lost),
               static_cast<unsigned long long>(r.frames_out_of_order), rate / 1000);
  if (r.counter_mode)
    std::fprintf(stderr, "  %llu samples lost", static_cast<unsigned long long>(lost));
  if (r.transmit) std::fprintf(stderr, "  MOX");
  std::fflush(stderr);
}

std::string plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void checks(const run_state& st, stream_report* r) {
  if (r->frames_lost) r->failures.push_back(plural(r->frames_lost, "frame", "frames") + " lost");
  if (r->frames_out_of_order)
    r->failures.push_back(plural(r->frames_out_of_order, "frame", "frames") + " out of order");
  const double expected = r->rate_hz;
  for (receiver_report& rr : r->rx) {
    rr.rate_hz = st.last_stamp > st.first_stamp ? static_cast<double>(st.samples_after_first) *
                                                      1e9 / double(st.last_stamp - st.first_stamp)
                                                : 0;
    const std::string who = "receiver " + std::to_string(rr.number) + ": ";
    if (r->counter_mode) {
      if (rr.samples_lost)
        r->failures.push_back(who + plural(rr.samples_lost, "sample", "samples") + " lost");
      if (rr.counter_restarts)
        r->failures.push_back(who + "the sample count began again " +
                              plural(rr.counter_restarts, "time", "times") +
                              " (the radio restarted its FIFO)");
      if (rr.counter_errors)
        r->failures.push_back(who + plural(rr.counter_errors, "sample", "samples") +
                              " carry neither the count nor silence");
    }
  }
  // A rate needs a stretch of stream to be measured at all. The frames come
  // in batches (10.5 ms of samples at 48 kHz), so the span between the first
  // and the last arrival is uncertain by about a batch, and by a late batch
  // of the radio's; the tolerance covers that.
  const double span = double(st.last_stamp - st.first_stamp) / 1e9;
  if (span > 0.5 && !r->rx.empty() &&
      std::abs(r->rx[0].rate_hz - expected) >
          (rate_tolerance + rate_tolerance_seconds / span) * expected) {
    char text[160];
    std::snprintf(text, sizeof text, "sample rate %.0f Hz measured, %.0f Hz expected",
                  r->rx[0].rate_hz, expected);
    r->failures.push_back(text);
  }
}

std::vector<control_word> control_cycle(const stream_options& o) {
  std::vector<control_word> words{general_word(o.rate_code, o.receivers),
                                  frequency_word(ep2_c0::tx_frequency, o.tx_hz)};
  for (int rx = 1; rx <= o.receivers; ++rx)
    words.push_back(frequency_word(ep2_c0::rx_frequency(rx), o.rx_hz[rx - 1]));
  words.push_back(drive_word(o.transmit ? o.drive : 0));
  return words;
}

}  // namespace

int run_stream(const stream_options& o) {
  stream_report r;
  r.command = o.transmit ? "transmit" : "stream";
  r.host = o.host;
  r.port = o.port;
  r.rate_hz = 48000 << o.rate_code;
  r.receivers = o.receivers;
  r.transmit = o.transmit;
  r.tx_hz = o.tx_hz;
  r.tone_hz = o.tone_hz;
  r.drive = o.drive;
  r.wav_path = o.wav_path;
  r.png_path = o.png_path;
  for (int rx = 0; rx < o.receivers; ++rx) {
    receiver_report rr;
    rr.number = rx + 1;
    rr.hz = o.rx_hz[rx];
    r.rx.push_back(rr);
  }

  sockaddr_in radio;
  std::string error;
  if (!resolve_ipv4(o.host, o.port, &radio, &error)) {
    std::fprintf(stderr, "p1probe: %s\n", error.c_str());
    return 1;
  }
  r.address = ip_text(radio);
  const int fd = open_client_socket(false, &error);
  if (fd < 0) {
    std::fprintf(stderr, "p1probe: %s\n", error.c_str());
    return 1;
  }
  const auto replies = discover(fd, {radio}, 1000, &radio);
  const auto reply = std::find_if(replies.begin(), replies.end(), [&](const discovery_reply& d) {
    return same_endpoint(d.from, radio);
  });
  if (reply == replies.end()) {
    std::fprintf(stderr, "p1probe: no answer from %s port %u%s\n", r.address.c_str(), o.port,
                 probe_stop_requested.load() ? " (interrupted)" : "");
    close(fd);
    return 1;
  }
  r.radio = *reply;
  if (reply->status == discovery_streaming && !o.take_over) {
    std::fprintf(stderr,
                 "p1probe: the radio at %s is busy: it streams to another client "
                 "(--take-over starts it anyway)\n",
                 r.address.c_str());
    close(fd);
    return 1;
  }

  run_state st;
  st.o = &o;
  st.r = &r;
  st.slot = ep6_slot_size(o.receivers);
  st.per_block = ep6_samples_per_block(o.receivers);
  st.last_count.assign(o.receivers, -1);
  st.block_iq.resize(size_t(o.receivers) * st.per_block);
  st.spectra.reserve(o.receivers);
  for (int rx = 0; rx < o.receivers; ++rx)
    st.spectra.emplace_back(fft_size_for_rate(r.rate_hz), r.rate_hz);
  st.analyse = !o.transmit;
  if (!o.wav_path.empty()) {
    if (!wav_open(&st.wav, o.wav_path, r.rate_hz, 2 * o.receivers, o.wav_pcm24,
                  o.seconds * r.rate_hz, &error)) {
      std::fprintf(stderr, "p1probe: %s\n", error.c_str());
      close(fd);
      return 1;
    }
    st.wav_buf.resize((wav_flush_frames + 2 * st.per_block) * 2 * o.receivers);
  }

  // The settings first, so that the first batch comes at the right rate
  // and with the right receivers; then the start; then the steady feed.
  feeder fe;
  fe.fd = fd;
  fe.radio = radio;
  fe.words = control_cycle(o);
  fe.tone_hz = o.tone_hz;
  {
    uint8_t frame[frame_size];
    for (size_t i = 0; i < fe.words.size(); i += 2) {
      build_ep2_frame(frame, 0, fe.words[i], fe.words[(i + 1) % fe.words.size()], nullptr);
      if (sendto(fd, frame, sizeof frame, 0, reinterpret_cast<const sockaddr*>(&radio),
                 sizeof radio) >= 0)
        pcap_record_sent(fd, radio, frame, sizeof frame);
    }
  }
  send_start(fd, radio);
  if (!feeder_start(&fe)) {
    std::fprintf(stderr, "p1probe: cannot start the feeder thread\n");
    stop_and_confirm(fd, radio, &error);
    close(fd);
    return 1;
  }

  const bool show_progress = isatty(STDERR_FILENO);
  const int64_t started = monotonic_ns();
  int64_t first_at = 0, mox_at = 0, next_progress = started;
  for (;;) {
    if (probe_stop_requested.load(std::memory_order_relaxed)) {
      r.interrupted = true;
      break;
    }
    const int64_t now = monotonic_ns();
    if (st.have_first && first_at == 0) {
      first_at = now;
      if (o.transmit) {
        fe.mox.store(true, std::memory_order_relaxed);
        mox_at = now;
      }
    }
    if (first_at && now - first_at >= static_cast<int64_t>(o.seconds * 1e9)) break;
    if (!first_at && now - started > first_frame_timeout_ns) {
      r.failures.push_back("no stream from the radio within 3 s of the start command");
      break;
    }
    if (first_at && now - st.last_frame_at > silence_timeout_ns) {
      char text[128];
      std::snprintf(text, sizeof text,
                    "the stream stopped after %.1f s (another client may have taken the radio)",
                    double(st.last_frame_at - first_at) / 1e9);
      r.failures.push_back(text);
      break;
    }
    if (o.transmit && mox_at && !st.analyse && now - mox_at >= transmit_settle_ns)
      st.analyse = true;
    if (show_progress && now >= next_progress) {
      progress(st, first_at ? double(now - first_at) / 1e9 : 0);
      next_progress = now + progress_every_ns;
    }
    receive_batch(fd, radio, &st, 20);
  }
  const int64_t ended = monotonic_ns();
  if (show_progress) std::fputs("\r\033[K", stderr);

  // MOX off (the feeder's last frames say so), then the stop.
  fe.mox.store(false, std::memory_order_relaxed);
  feeder_stop(&fe);
  if (mox_at) r.mox_seconds = double(ended - mox_at) / 1e9;
  if (!stop_and_confirm(fd, radio, &error)) r.failures.push_back(error);
  close(fd);
  r.ep2_sent = fe.frames_sent;
  r.ep2_late = fe.late_frames;
  r.ep2_resyncs = fe.resyncs;
  r.seconds = first_at ? double(ended - first_at) / 1e9 : 0;

  wav_flush(&st);
  if (!wav_close(&st.wav) || st.wav_failed) r.failures.push_back("cannot write " + o.wav_path);
  if (first_at) checks(st, &r);
  for (int rx = 0; rx < o.receivers; ++rx) {
    r.rx[rx].noise_dbfs_per_bin = noise_floor_dbfs(st.spectra[rx]);
    r.rx[rx].peaks = find_peaks(st.spectra[rx], o.max_peaks);
  }
  if (!o.png_path.empty()) {
    picture_input pic;
    pic.title =
        std::string("p1probe ") + r.command + " " + r.address + " port " + std::to_string(o.port);
    pic.rate = r.rate_hz;
    pic.seconds = r.seconds;
    for (int rx = 0; rx < o.receivers; ++rx)
      pic.rx.push_back({rx + 1, o.rx_hz[rx], &st.spectra[rx], r.rx[rx].peaks});
    if (!write_picture(o.png_path, pic, &error)) r.failures.push_back(error);
  }

  print_stream_report(r, o.json);
  for (const std::string& f : r.failures) std::fprintf(stderr, "p1probe: %s\n", f.c_str());
  return r.failures.empty() ? 0 : 1;
}
