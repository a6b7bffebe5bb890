// Drive attenuation table: drive level 0..255 -> attenuation 0..63 dB for the
// arduino accessory.
#pragma once

// Fills drive_db_table: entries 0 and 1 are 63; entry i is
// -40 * log10(i / 255) truncated toward zero, at most 63. Start-up only.
void fill_drive_db_table();
