#include "keyer/keyer.h"

#include "hardware/platform.h"

// PLACEHOLDER (keyer not yet built): idles on 1 ms ticks.
void* handler_keyer(void*) {
  for (;;) platform->usleep(1000);
}
