// The board executable: the real devices, the real system calls.
#include "hardware/platform.h"
#include "hardware/startup.h"

int main(int argc, char** argv) {
  platform = &board_platform;
  return varnholt_main(argc, argv);
}
