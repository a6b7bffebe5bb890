// varnholt-sim: the server on the simulated board.
//
// The same start-up, receive loop, stream thread, decoder and keyer as on
// the board, with the FPGA, the I2C bus and the serial port simulated
// (src/sim). Options come first; the six arguments that follow them are
// checked exactly as the board checks them.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "hardware/platform.h"
#include "sim/sim_fpga.h"
#include "sim/sim_platform.h"
#include "sim/sim_scene.h"
#include "sim/sim_trace.h"

namespace {

const char* const sim_usage =
    "Usage: varnholt-sim [--port N] [--bind ADDR] [--accessories LIST] [--scene FILE] "
    "[--gpio FILE] [--trace FILE] [--counter] [--help] 1|2 1|2 1|2 1|2 1|2 1|2\n";

const char* const sim_help =
    "Runs the radio server on a simulated board: HPSDR Protocol 1 on UDP.\n"
    "\n"
    "  --port N            UDP port (default 1024; 0 picks a free one)\n"
    "  --bind ADDR         IPv4 address to serve on (default 0.0.0.0, every interface)\n"
    "  --accessories LIST  comma-separated I2C accessories that answer: pene, alex,\n"
    "                      level, misc, drive, dac0, dac1, arduino, nucleo, codec\n"
    "                      (default none)\n"
    "  --scene FILE        signals at the antenna, one per line:\n"
    "                        FREQUENCY_HZ LEVEL_DBFS [PATTERN [UNIT_MS]]\n"
    "                      PATTERN keys the carrier: 0/1 units or morse:TEXT;\n"
    "                      'noise DBFS' sets the noise floor. Default: carriers on\n"
    "                      the HF bands from 160 m to 10 m and around 600 kHz.\n"
    "  --gpio FILE         input lines over time, one change per line:\n"
    "                        MILLISECONDS VALUE  (bit 0 PTT, bits 1 and 2 paddles)\n"
    "  --trace FILE        JSON Lines trace of register stores, envelope tables,\n"
    "                      I2C and serial traffic, FIFO events and input changes\n"
    "  --counter           receiver samples carry a sample counter (first word)\n"
    "                      and the receiver number (second) instead of the scene\n"
    "  --help              this text\n"
    "\n"
    "The six arguments are the board's: each 1 or 2.\n"
    "Receivers 1 to 3 follow the client's receiver frequencies; receiver 4\n"
    "listens on the transmit frequency.\n";

void print_bound(in_addr_t addr, uint16_t port) {
  char text[INET_ADDRSTRLEN] = "?";
  in_addr a{};
  a.s_addr = addr;
  inet_ntop(AF_INET, &a, text, sizeof text);
  std::printf("varnholt-sim: serving on %s port %u\n", text, static_cast<unsigned>(port));
  std::fflush(stdout);
}

int bad_option(const std::string& message) {
  std::fprintf(stderr, "varnholt-sim: %s\n", message.c_str());
  std::fputs(sim_usage, stderr);
  return 1;
}

bool set_accessories(const std::string& list, std::string* error) {
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string name = list.substr(start, comma - start);
    const int addr = sim_accessory_address(name);
    if (addr < 0) {
      *error = "unknown accessory '" + name + "'";
      return false;
    }
    sim_config.i2c_devices[addr] = true;
    start = comma + 1;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sim_model_config model;
  std::vector<char*> args{argv[0]};
  const char* trace_path = nullptr;
  long port = ep2_port;
  in_addr_t bind_addr = htonl(INADDR_ANY);
  std::vector<std::string> accessory_lists;

  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help") {
      std::fputs(sim_usage, stdout);
      std::fputs(sim_help, stdout);
      return 0;
    }
    if (opt == "--counter") {
      model.counter = true;
      continue;
    }
    if (opt.rfind("--", 0) != 0) {
      args.push_back(argv[i]);
      continue;
    }
    if (i + 1 >= argc) return bad_option(opt + " needs a value");
    const char* value = argv[++i];
    std::string text, error;
    if (opt == "--port") {
      char* end = nullptr;
      errno = 0;
      port = std::strtol(value, &end, 10);
      if (errno || end == value || *end || port < 0 || port > 65535)
        return bad_option("--port takes 0..65535");
    } else if (opt == "--bind") {
      if (inet_pton(AF_INET, value, &bind_addr) != 1)
        return bad_option("--bind takes an IPv4 address");
    } else if (opt == "--accessories") {
      accessory_lists.push_back(value);
    } else if (opt == "--scene") {
      if (!sim_read_file(value, &text))
        return bad_option(std::string(value) + ": " + std::strerror(errno));
      if (!sim_scene_parse(text, &model.scene, &error))
        return bad_option(std::string(value) + ": " + error);
    } else if (opt == "--gpio") {
      if (!sim_read_file(value, &text))
        return bad_option(std::string(value) + ": " + std::strerror(errno));
      if (!sim_gpio_parse(text, &model.gpio, &error))
        return bad_option(std::string(value) + ": " + error);
    } else if (opt == "--trace") {
      trace_path = value;
    } else {
      return bad_option("unknown option " + opt);
    }
  }

  sim_config = sim_config_t{};
  for (const std::string& list : accessory_lists) {
    std::string error;
    if (!set_accessories(list, &error)) return bad_option(error);
  }
  sim_config.uart_present = true;
  sim_config.i2c_present = true;
  sim_config.record_i2c = false;
  sim_config.bind_addr = bind_addr;
  sim_config.bind_port = static_cast<uint16_t>(port);
  sim_config.on_bound = print_bound;
  sim_config.report_taken_port = true;

  if (trace_path && !sim_trace_open(trace_path)) {
    std::perror(trace_path);
    return 1;
  }
  sim_board_select(&sim_platform, &model);
  if (!sim_fpga_start_thread()) {
    std::fputs("varnholt-sim: cannot start the FPGA model thread\n", stderr);
    return 1;
  }

  usage_text = sim_usage;
  args.push_back(nullptr);
  const int status = varnholt_main(static_cast<int>(args.size()) - 1, args.data());
  // After a stop signal: the model thread ends before the process does, so it
  // is not running while the model's objects are destroyed.
  sim_fpga_shutdown();
  return status;
}
