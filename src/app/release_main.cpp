// varnholt-release: the board's transmitter released from outside the
// server; the service runs it after the server has ended (ExecStopPost).
#include "app/release.h"
#include "app/startup.h"
#include "hardware/platform.h"

int main(int argc, char** argv) {
  platform = &board_platform;
  server_lock_path = board_lock_path;
  return release_main(argc, argv);
}
