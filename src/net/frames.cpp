#include "net/frames.h"

uint8_t discovery_reply_template[discovery_template_size] = {0xEF, 0xFE, 0x02, 0, 0, 0,
                                                             0,    0,    0,    0x20, 0x01};
