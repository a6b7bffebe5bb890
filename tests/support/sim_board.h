// The simulated board as every in-process test (and fuzz target) starts from
// it, set up and taken down in one place: fresh control state and sim_config,
// the simulated devices selected behind the test platform with the test's
// settings and entries, the FPGA blocks mapped as start-up maps them, the
// counts and the transmit release forgotten, and a recorder of every FPGA
// store (or the FPGA model as the observer). On destruction the observer is
// detached, the blocks unmapped, the socket and the event descriptor that
// start-up left open closed, the devices, sim_config, control state and test
// platform reset and the platform put back.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/startup.h"
#include "control/counters.h"
#include "control/state.h"
#include "hardware/fpga.h"
#include "hardware/stop_signal.h"
#include "net/tx_release.h"
#include "sim/sim_fpga.h"
#include "sim/sim_platform.h"
#include "support/store_recorder.h"
#include "support/test_platform.h"

struct board_options {
  bool map = true;                          // false: start-up maps the blocks itself
  const sim_model_config* model = nullptr;  // the FPGA model as observer instead of the recorder
  bool record = true;                       // attach the store recorder
  test_platform::settings_t settings{};     // of the test platform
  void (*replace)() = nullptr;              // replaces entries of test_platform::ops
  int64_t clock_ns = 0;                     // test_platform::now_ns when the board comes up
};

struct sim_board {
  store_recorder rec;

  explicit sim_board(const board_options& o = {}) : saved_(platform) {
    reset_server_state();
    fpga_clear_pointers();
    test_platform::reset(o.clock_ns);
    test_platform::settings = o.settings;
    if (o.replace) o.replace();
    sim_board_select(&test_platform::ops, o.model);
    if (o.map) {
      // Through the board's own mmap, so that the test platform records only
      // what the code under test maps.
      platform = &sim_platform;
      const bool mapped = map_fpga_blocks(sim_platform.open("/dev/mem", O_RDWR));
      platform = &test_platform::ops;
      if (!mapped) {
        std::fputs("the simulated FPGA blocks did not map\n", stderr);
        std::abort();
      }
    }
    if (o.record && !o.model) rec.attach();
  }

  ~sim_board() {
    fpga_obs = nullptr;
    if (ld(sock_ep2) >= 0) ::close(ld(sock_ep2));
    // Start-up's event descriptor: one per start-up, so a process that
    // starts the server many times (a fuzz run) would run out of them.
    set_stop_wake_fd(-1);
    if (ld(ptt_event_fd) >= 0) ::close(ld(ptt_event_fd));
    sim_board_select();  // stops the model, resets the devices
    fpga_clear_pointers();
    reset_server_state();
    test_platform::reset();
    platform = saved_;
  }

  // sim_config, the control state, the counts and the transmit release.
  static void reset_server_state() {
    sim_config = sim_config_t{};
    control_state_reset();
    counters_reset();
    tx_release_reset();
  }

  sim_board(const sim_board&) = delete;
  sim_board& operator=(const sim_board&) = delete;

 private:
  const platform_ops* saved_;
};

// Serves on 127.0.0.1 at an ephemeral port, without the keyer's real-time
// warning: set before start-up.
inline void serve_on_loopback() {
  sim_config.bind_addr = htonl(INADDR_LOOPBACK);
  sim_config.bind_port = 0;
  sim_config.keyer_realtime_warning = false;
}

// Runs the whole start-up with the six arguments 1; its status.
inline int start_up_with_ones() {
  char one[] = "1";
  char name[] = "varnholt";
  char* argv[] = {name, one, one, one, one, one, one, nullptr};
  return startup(7, argv);
}
