// The board executable: the real devices, the real system calls.
#include "app/startup.h"
#include "hardware/platform.h"

int main(int argc, char** argv) {
  platform = &board_platform;
  server_lock_path = board_lock_path;
  return varnholt_main(argc, argv);
}
