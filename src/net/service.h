// Notifications to the service manager (systemd's notify protocol): one
// datagram per message on the AF_UNIX socket that NOTIFY_SOCKET names, a
// stable interface that needs no library. Without that variable (the server
// started by hand) nothing is sent and nothing else changes.
//
// Messages, all from the receive loop's thread:
//   READY=1 with the first STATUS=, when the loop starts: the socket is
//     bound and the keyer runs;
//   STATUS=<one line>, when the line changes, at most once a second: "idle"
//     or "streaming 384 kHz, 4 receivers to 192.168.1.20:50123, MOX off",
//     with ", MOX on" while idle and keyed by a client, ", keyer PTT on"
//     while the keyer holds the transmitter, and, once a counter period has
//     ended, "; last 10 s: nothing lost" (streaming) or the counts of that
//     period (control/counters.h);
//   WATCHDOG=1 every half of WATCHDOG_USEC, and only while every thread
//     shows progress since the previous time: the keyer's tick count has
//     moved, and, while a stream runs, the stream thread has sent a batch or
//     looked at the FIFO in its bounded wait (control/state.h). A thread that
//     hangs, or a receive loop that no longer passes, stops the pings, and
//     the service manager kills and restarts the server;
//   STOPPING=1 when a stop signal has come, before the shutdown.
// Sends never block: a message the manager's socket does not take is lost
// (a lost ping is sent again half an interval later).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Opens the notification socket. `notify_socket` is NOTIFY_SOCKET: an
// absolute path, or "@name" for an abstract one; null or empty: no
// notifications. `watchdog_usec` is WATCHDOG_USEC (null or not a positive
// number: no pings); `watchdog_pid` is WATCHDOG_PID, which when set must be
// `self`, else the pings are for another process. False, after a line on
// standard error, when the socket cannot be made or the address is of a
// kind it cannot reach; the server then runs without notifications.
// Start-up, main thread.
bool service_open(const char* notify_socket, const char* watchdog_usec, const char* watchdog_pid,
                  pid_t self);

// Whether notifications go out, and the ping interval in ns (0: none).
bool service_enabled();
int64_t service_watchdog_interval_ns();

// READY=1 with the status line; begins the watchdog's first interval.
void service_ready();
// Once per pass of the receive loop: the status line when it changed and a
// second has passed since the last one, a ping when one is due and earned.
void service_pass();
// STOPPING=1.
void service_stopping();

// The status line as it is now (without "STATUS="), into `out`; its length.
size_t service_status_line(char* out, size_t capacity);

// Closes the socket and forgets everything (tests).
void service_close();
