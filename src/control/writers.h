// Accessory writers: each brings one device up to date from the control
// state, sending only what differs from its last-sent cache. Main thread.
#pragma once

void alex_write();    // Alex filter words to the alex register (nothing with a codec)
void misc_write();    // band word to the misc board at I2C 0x23
void nucleo_write();  // word and band byte to the nucleo board at I2C 0x55
void icom_write();    // CI-V band message on the serial port
