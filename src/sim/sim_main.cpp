// varnholt-sim: the server on the simulated board.
//
// The same start-up, receive loop, stream thread, decoder and keyer as on
// the board, with the FPGA, the I2C bus and the serial port simulated
// (src/sim). CLI11 reads the options; every other argument is one of the
// six that follow them, checked exactly as the board checks them.
#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// An option with a value that `take` reads; a value it refuses ends the run
// with the message it gives, worded as it is (not as CLI11 words its own).
void add_value_option(CLI::App* app, const char* name,
                      std::function<bool(const std::string& value, std::string* error)> take) {
  app->add_option_function<std::string>(name, [take](const std::string& value) {
    std::string error;
    if (!take(value, &error)) throw CLI::ValidationError(error);
  });
}

// A file's text for `parse`; a file that cannot be read or parsed gives the
// file's name and why.
bool parse_file(const std::string& path, std::string* error,
                const std::function<bool(const std::string& text, std::string* error)>& parse) {
  std::string text;
  if (!sim_read_file(path.c_str(), &text)) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (parse(text, error)) return true;
  *error = path + ": " + *error;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  sim_model_config model;
  std::string trace_path;
  long port = ep2_port;
  in_addr_t bind_addr = htonl(INADDR_ANY);
  std::vector<std::string> accessory_lists;

  CLI::App app{"varnholt-sim"};
  app.set_help_flag();  // --help prints this program's own text, below
  app.allow_extras();   // the board's arguments, and unknown options, which are refused below
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag_callback("--help", [] { throw CLI::CallForHelp(); })->trigger_on_parse();
  app.add_flag("--counter", model.counter);
  add_value_option(&app, "--port", [&](const std::string& v, std::string* error) {
    char* end = nullptr;
    errno = 0;
    port = std::strtol(v.c_str(), &end, 10);
    *error = "--port takes 0..65535";
    return !errno && end != v.c_str() && !*end && port >= 0 && port <= 65535;
  });
  add_value_option(&app, "--bind", [&](const std::string& v, std::string* error) {
    *error = "--bind takes an IPv4 address";
    return inet_pton(AF_INET, v.c_str(), &bind_addr) == 1;
  });
  app.add_option("--accessories", accessory_lists)->allow_extra_args(false);
  add_value_option(&app, "--scene", [&](const std::string& v, std::string* error) {
    return parse_file(v, error, [&](const std::string& text, std::string* e) {
      return sim_scene_parse(text, &model.scene, e);
    });
  });
  add_value_option(&app, "--gpio", [&](const std::string& v, std::string* error) {
    return parse_file(v, error, [&](const std::string& text, std::string* e) {
      return sim_gpio_parse(text, &model.gpio, e);
    });
  });
  app.add_option("--trace", trace_path);

  std::vector<std::string> rest;
  try {
    app.parse(argc, argv);
    rest = app.remaining();
  } catch (const CLI::CallForHelp&) {
    std::fputs(sim_usage, stdout);
    std::fputs(sim_help, stdout);
    return 0;
  } catch (const CLI::ArgumentMismatch&) {
    // An option takes the argument after it whatever it is: only the last
    // argument can lack its value.
    return bad_option(std::string(argv[argc - 1]) + " needs a value");
  } catch (const CLI::ParseError& e) {
    return bad_option(e.what());
  }
  std::vector<char*> args{argv[0]};
  for (std::string& a : rest) {
    if (a.rfind("--", 0) == 0) return bad_option("unknown option " + a);
    args.push_back(a.data());
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

  if (!trace_path.empty() && !sim_trace_open(trace_path.c_str())) {
    std::perror(trace_path.c_str());
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
