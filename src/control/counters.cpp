#include "control/counters.h"

std::atomic<uint32_t> count_rx_fifo_resets{0};
std::atomic<uint32_t> count_codec_fifo_resets{0};
std::atomic<uint32_t> count_rx_fifo_full{0};
std::atomic<uint32_t> count_send_failures{0};
std::atomic<uint32_t> count_ep2_short{0};
std::atomic<uint32_t> count_tx_fifo_empty{0};
std::atomic<uint32_t> count_tx_released{0};
std::atomic<uint32_t> count_tx_samples_dropped{0};
std::atomic<uint32_t> count_codec_samples_dropped{0};

void counters_reset() {
  for (auto* c : {&count_rx_fifo_resets, &count_codec_fifo_resets, &count_rx_fifo_full,
                  &count_send_failures, &count_ep2_short, &count_tx_fifo_empty, &count_tx_released,
                  &count_tx_samples_dropped, &count_codec_samples_dropped})
    c->store(0, std::memory_order_relaxed);
}
