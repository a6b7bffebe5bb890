// Built only by the layering test, which expects this file not to compile:
// the device layer cannot see the control layer's headers.
#include "control/state.h"

int layering_probe() {
  return ld(receivers);
}
