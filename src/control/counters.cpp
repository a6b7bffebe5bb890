#include "control/counters.h"

#include <unistd.h>

#include <cstring>
#include <ctime>

#include "common/text_writer.h"
#include "hardware/platform.h"

std::atomic<uint32_t> count_rx_fifo_resets{0};
std::atomic<uint32_t> count_rx_samples_discarded{0};
std::atomic<uint32_t> count_codec_fifo_resets{0};
std::atomic<uint32_t> count_rx_fifo_full{0};
std::atomic<uint32_t> count_send_failures{0};
std::atomic<uint32_t> count_ep2_short{0};
std::atomic<uint32_t> count_tx_fifo_empty{0};
std::atomic<uint32_t> count_tx_released{0};
std::atomic<uint32_t> count_tx_samples_dropped{0};
std::atomic<uint32_t> count_codec_samples_dropped{0};
std::atomic<uint32_t> count_long_datagrams{0};
std::atomic<uint32_t> count_kernel_drops{0};
std::atomic<uint32_t> count_stream_timeouts{0};
char counters_last_summary[512];
int64_t counters_last_seconds = -1;

namespace {

// How each count reads in the report. An event count reads "<text> once" or
// "<text> N times", an amount "N <text>"; a count with a detail carries the
// change of that other count in brackets ("(N <detail_text>)"), and a count
// with no text of its own appears only as such a detail.
struct counter_row {
  std::atomic<uint32_t>* count;
  const char* text;
  bool amount;
  int detail;
  const char* detail_text;
};
const counter_row rows[counter_count] = {
    {&count_rx_fifo_resets, "receive FIFO reset", false, 1, "samples lost"},
    {&count_rx_samples_discarded, nullptr, false, -1, nullptr},
    {&count_rx_fifo_full, "receive FIFO found full", false, -1, nullptr},
    {&count_codec_fifo_resets, "microphone FIFO reset", false, -1, nullptr},
    {&count_send_failures, "stream send failed", false, -1, nullptr},
    {&count_ep2_short, "short EP2 datagram dropped", false, -1, nullptr},
    {&count_tx_fifo_empty, "transmit FIFO ran empty", false, -1, nullptr},
    {&count_tx_released, "transmit request released", false, -1, nullptr},
    {&count_tx_samples_dropped, "transmit samples dropped", true, -1, nullptr},
    {&count_codec_samples_dropped, "audio samples dropped", true, -1, nullptr},
    {&count_long_datagrams, "long datagram dropped", false, -1, nullptr},
    {&count_kernel_drops, "datagrams dropped by the kernel", true, -1, nullptr},
    {&count_stream_timeouts, "stream of a silent client stopped", false, -1, nullptr},
};

// The period in progress: whether one began, when, and the counts then.
bool period_started = false;
int64_t period_start_ns = 0;
uint32_t period_counts[counter_count];
char report_line[768];

}  // namespace

void counters_reset() {
  for (const counter_row& r : rows) r.count->store(0, std::memory_order_relaxed);
  period_started = false;
  counters_last_summary[0] = '\0';
  counters_last_seconds = -1;
}

void counters_snapshot(uint32_t (&values)[counter_count]) {
  for (int i = 0; i < counter_count; ++i)
    values[i] = rows[i].count->load(std::memory_order_relaxed);
}

namespace {

// Writes the counts that went from `before` to `after`, separated by commas;
// false when none changed.
bool write_counts(text_writer& w, const uint32_t (&before)[counter_count],
                  const uint32_t (&after)[counter_count]) {
  bool any = false;
  for (int i = 0; i < counter_count; ++i) {
    const counter_row& r = rows[i];
    // Unsigned differences survive a counter that wrapped.
    const uint32_t d = after[i] - before[i];
    if (!r.text || d == 0) continue;
    if (any) w.text(", ");
    any = true;
    if (r.amount) {
      w.number(d);
      w.text(" ");
      w.text(r.text);
    } else {
      w.text(r.text);
      if (d == 1) {
        w.text(" once");
      } else {
        w.text(" ");
        w.number(d);
        w.text(" times");
      }
    }
    if (r.detail >= 0) {
      w.text(" (");
      w.number(after[r.detail] - before[r.detail]);
      w.text(" ");
      w.text(r.detail_text);
      w.text(")");
    }
  }
  return any;
}

}  // namespace

size_t counters_format(const uint32_t (&before)[counter_count],
                       const uint32_t (&after)[counter_count], int64_t seconds, char* out,
                       size_t capacity) {
  if (capacity < 2) return 0;
  text_writer w{out, out + capacity - 1};
  w.text("varnholt: last ");
  w.number(static_cast<uint64_t>(seconds));
  w.text(" s: ");
  if (!write_counts(w, before, after)) return 0;
  *w.p++ = '\n';
  return static_cast<size_t>(w.p - out);
}

namespace {

// Ends the period in progress at `now` with the counts `counts`: writes its
// line when a count changed and keeps its summary for the service status.
void end_period(int64_t now, const uint32_t (&counts)[counter_count]) {
  const int64_t seconds = (now - period_start_ns) / ns_per_s;
  const size_t length =
      counters_format(period_counts, counts, seconds, report_line, sizeof report_line);
  // One write, so that the line reaches the journal whole.
  if (length > 0) platform->write(STDERR_FILENO, report_line, length);
  text_writer w{counters_last_summary, counters_last_summary + sizeof counters_last_summary - 1};
  write_counts(w, period_counts, counts);
  *w.p = '\0';
  counters_last_seconds = seconds;
  std::memcpy(period_counts, counts, sizeof counts);
  period_start_ns = now;
}

}  // namespace

void counters_report() {
  const int64_t now = platform_now_ns();
  if (!period_started) {
    period_started = true;
    period_start_ns = now;
    counters_snapshot(period_counts);
    return;
  }
  if ((now - period_start_ns) / ns_per_s < counters_report_period_s) return;
  uint32_t counts[counter_count];
  counters_snapshot(counts);
  end_period(now, counts);
}

void counters_report_final() {
  if (!period_started) {
    // No pass has run: every count is of this process.
    period_started = true;
    period_start_ns = platform_now_ns();
    std::memset(period_counts, 0, sizeof period_counts);
  }
  uint32_t counts[counter_count];
  counters_snapshot(counts);
  end_period(platform_now_ns(), counts);
}
