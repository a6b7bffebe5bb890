// Fuzz target: the simulated board's scene and input-line script parsers,
// and the FPGA model running what they accept.
//
// Input: the text of a file, given to both parsers. A scene that parses is
// loaded into the model, whose receivers are tuned to its first carriers,
// and a few records are generated; a script that parses is loaded and the
// model is stepped once, which applies the steps that are due.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "hardware/fpga.h"
#include "hardware/platform.h"
#include "sim/sim_fpga.h"
#include "sim/sim_platform.h"
#include "sim/sim_scene.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sim_config = sim_config_t{};
  sim_reset();
  platform = &sim_platform;
  if (!map_fpga_blocks(platform->open("/dev/mem", O_RDWR))) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;

  sim_model_config config;
  if (sim_scene_parse(text, &config.scene, &error)) {
    sim_fpga_init(config);
    write16(rx_rate, 640);  // 48 kHz
    const auto& carriers = config.scene.carriers;
    for (int r = 0; r < 4; ++r) {
      const double hz = carriers.empty() ? 0 : carriers[r % carriers.size()].hz;
      write32(r < 3 ? rx_freq + r : tx_freq, phase_increment(hz));
    }
    static uint8_t records[64 * 32];
    sim_fpga_generate(records, 64);
    sim_fpga_shutdown();
  }

  config = sim_model_config{};
  config.scene = sim_scene{};
  if (sim_gpio_parse(text, &config.gpio, &error)) {
    sim_fpga_init(config);
    sim_fpga_step();
    sim_fpga_shutdown();
  }
  return 0;
}
