// The transmitter's release from outside the server: what the service
// manager runs after the server has ended, however it ended (a stop, a
// crash, a kill, the watchdog's kill), since the FPGA holds what was last
// written until something writes it again.
#pragma once

// Maps the FPGA blocks from "/dev/mem" through the platform, as start-up
// does, and clears what keys the transmitter: gpio_out bit 0 (the client's
// MOX) and the keyer's key and PTT bits of tx_rst (bits 2 and 5); nothing
// else is written. When server_lock_path is set and another server holds
// that lock, that server owns the transmitter: nothing is written and a line
// says so. A lock that cannot be looked at does not stop the release.
// Returns 0 when released or left to a running server; 1 after
// perror("open") or perror("mmap").
int release_transmitter();

// The release program: no arguments ("Usage: varnholt-release" and status 1
// otherwise), then release_transmitter.
int release_main(int argc, char** argv);
