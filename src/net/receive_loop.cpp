#include "net/receive_loop.h"

#include "hardware/platform.h"

// PLACEHOLDER (receive loop not yet built): idles on 1 ms polls.
int receive_loop() {
  for (;;) platform->usleep(1000);
}
