// Event counts an operator can read: each counter is written by one thread
// only (relaxed increments of its own word) and read by the receive loop,
// which reports what changed. Nothing here allocates or locks.
#pragma once

#include <atomic>
#include <cstdint>

// Stream thread
extern std::atomic<uint32_t> count_rx_fifo_resets;  // receive FIFO restarted by the overflow check
extern std::atomic<uint32_t> count_codec_fifo_resets;  // microphone FIFO restarted
extern std::atomic<uint32_t> count_rx_fifo_full;       // looks at rx_cntr that found the reset mark
extern std::atomic<uint32_t> count_send_failures;      // sends that failed or were partial

// Receive loop (the transmit sample sink runs on it)
extern std::atomic<uint32_t> count_ep2_short;           // EP2 datagrams dropped as short
extern std::atomic<uint32_t> count_tx_fifo_empty;       // transmit FIFO found empty by the sink
extern std::atomic<uint32_t> count_tx_released;         // client transmit requests released
extern std::atomic<uint32_t> count_tx_samples_dropped;  // transmit samples dropped (stalled FIFO)
extern std::atomic<uint32_t> count_codec_samples_dropped;  // audio samples dropped (stalled FIFO)

// Puts every count back to 0 (tests).
void counters_reset();
