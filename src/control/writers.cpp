#include "control/writers.h"

// PLACEHOLDERS (accessory writers not yet built).
void alex_write() {}
void misc_write() {}
void nucleo_write() {}
void icom_write() {}
