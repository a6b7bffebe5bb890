// Event counts an operator can read: each counter is written by one thread
// only (relaxed increments of its own word) and read by the receive loop,
// which reports what changed. Nothing here allocates or locks.
#pragma once

#include <atomic>
#include <cstdint>

// Stream thread
extern std::atomic<uint32_t> count_rx_fifo_resets;  // receive FIFO restarted by the overflow check
extern std::atomic<uint32_t> count_rx_samples_discarded;  // sample instants those restarts threw
                                                          // away (rx_cntr / 8 at each restart)
extern std::atomic<uint32_t> count_codec_fifo_resets;     // microphone FIFO restarted
extern std::atomic<uint32_t> count_rx_fifo_full;   // looks at rx_cntr that found the reset mark
extern std::atomic<uint32_t> count_send_failures;  // sends that failed or were partial

// Receive loop (the transmit sample sink runs on it)
extern std::atomic<uint32_t> count_ep2_short;           // EP2 datagrams dropped as short
extern std::atomic<uint32_t> count_tx_fifo_empty;       // transmit FIFO found empty by the sink
extern std::atomic<uint32_t> count_tx_released;         // client transmit requests released
extern std::atomic<uint32_t> count_tx_samples_dropped;  // transmit samples dropped (stalled FIFO)
extern std::atomic<uint32_t> count_codec_samples_dropped;  // audio samples dropped (stalled FIFO)
extern std::atomic<uint32_t> count_long_datagrams;   // datagrams dropped as longer than a frame
extern std::atomic<uint32_t> count_kernel_drops;     // datagrams the kernel dropped (SO_RXQ_OVFL)
extern std::atomic<uint32_t> count_stream_timeouts;  // streams stopped: their client fell silent

// Adds `n` to a counter; only its writing thread calls this, so a relaxed
// load and store suffice.
inline void tally(std::atomic<uint32_t>& counter, uint32_t n = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Puts every count back to 0 (tests).
void counters_reset();

// Seconds between two reports, at least.
constexpr int counters_report_period_s = 10;

// Called by the receive loop after every pass. Once at least
// counters_report_period_s seconds have passed since the last period began
// (the first call begins the first), ends the period; if any count changed
// during it, writes one line to standard error (platform->write), e.g.
//   varnholt: last 10 s: receive FIFO reset 3 times (3072 samples lost),
//   transmit FIFO ran empty once
// Time from platform->clock_now. No allocation, no lock; receive loop only.
void counters_report();

// Called once as the process ends: when any count changed since the period
// in progress began, writes its line for the seconds that have passed
// (possibly "last 0 s"), so that the losses of a last partial period are not
// lost with the process. Receive loop's thread.
void counters_report_final();

// The counts part of the line of the last period that ended ("receive FIFO
// reset 3 times (3072 samples lost)", "" when nothing changed in it) and its
// length in seconds; -1 while no period has ended. For the service status.
extern char counters_last_summary[512];
extern int64_t counters_last_seconds;

// Formats the report line for the counts that went from `before` to `after`
// (arrays in the order of counters_snapshot) over `seconds` into `out`; returns
// its length, 0 when nothing changed. The line ends in a newline and is cut
// to fit `capacity`.
constexpr int counter_count = 13;
void counters_snapshot(uint32_t (&values)[counter_count]);
size_t counters_format(const uint32_t (&before)[counter_count],
                       const uint32_t (&after)[counter_count], int64_t seconds, char* out,
                       size_t capacity);
