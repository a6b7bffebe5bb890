// Control-word decoding as the receive loop meets it: a client repeating its
// settings round, two words per EP2 frame, with every accessory present and
// nothing changing (each word costs its register stores and cache checks
// only), and the accessory pass after a batch.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>

#include <cstdint>

#include "app/startup.h"
#include "control/decoder.h"
#include "control/log_table.h"
#include "control/state.h"
#include "control/writers.h"
#include "hardware/fpga.h"
#include "hardware/i2c.h"
#include "sim/sim_platform.h"

namespace {

void bring_up_every_accessory() {
  sim_config = sim_config_t{};
  for (int a : {i2c_address(i2c_accessory::pene), i2c_address(i2c_accessory::filter_expander),
                i2c_address(i2c_accessory::level), i2c_address(i2c_accessory::misc),
                i2c_address(i2c_accessory::drive), i2c_address(i2c_accessory::arduino),
                i2c_address(i2c_accessory::nucleo), i2c_address(i2c_accessory::dac0),
                i2c_address(i2c_accessory::dac1)})
    sim_config.i2c_devices[a] = true;
  sim_board_select();
  control_state_reset();
  const int mem = platform->open("/dev/mem", O_RDWR);
  map_fpga_blocks(mem);
  st(i2c_fd, platform->open("/dev/i2c-0", O_RDWR));
  probe_i2c_accessories();
  fill_drive_db_table();
}

// A typical client's round of control words (C0..C4).
constexpr uint8_t round_of_words[][5] = {
    {0x00, 0x01, 0x04, 0x41, 0x01}, {0x02, 0x00, 0x6C, 0x56, 0x60}, {0x04, 0x00, 0x6C, 0x56, 0x60},
    {0x06, 0x00, 0xD8, 0xAC, 0xC0}, {0x12, 0xC8, 0x00, 0xA0, 0x05}, {0x14, 0x00, 0x00, 0x00, 0x0A},
    {0x16, 0x08, 0x00, 0x19, 0x32}, {0x1C, 0x00, 0x00, 0x03, 0x00}, {0x1E, 0x01, 0x32, 0x0A, 0x00},
    {0x20, 0x00, 0x0A, 0x25, 0x08},
};
constexpr size_t words_in_round = sizeof round_of_words / sizeof round_of_words[0];

void BM_decode_repeated_settings(benchmark::State& state) {
  bring_up_every_accessory();
  // Two rounds: the DAC level of the first general word still lacks the
  // receive attenuation that comes later in the round.
  for (int r = 0; r < 2; ++r)
    for (const auto& w : round_of_words) process_ep2(w);
  sim_i2c_log.clear();
  size_t i = 0;
  for (auto _ : state) {
    process_ep2(round_of_words[i]);
    i = i + 1 == words_in_round ? 0 : i + 1;
  }
  if (!sim_i2c_log.empty()) state.SkipWithError("repeated settings reached the I2C bus");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_decode_repeated_settings);

void BM_accessory_writers_unchanged(benchmark::State& state) {
  bring_up_every_accessory();
  for (int r = 0; r < 2; ++r)
    for (const auto& w : round_of_words) process_ep2(w);
  alex_write();
  misc_write();
  nucleo_write();
  sim_i2c_log.clear();
  for (auto _ : state) {
    alex_write();
    misc_write();
    nucleo_write();
  }
  if (!sim_i2c_log.empty()) state.SkipWithError("unchanged words reached the I2C bus");
}
BENCHMARK(BM_accessory_writers_unchanged);

}  // namespace

BENCHMARK_MAIN();
