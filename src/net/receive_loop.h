// The receive loop: the main thread's work after start-up.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Runs for the life of the process on the main thread. Receives up to eight
// datagrams per recvmmsg on sock_ep2, answers discovery requests, starts and
// stops the receive stream thread (handler_ep6), hands every EP2 frame of
// 1032 bytes to the transmit sample sink and then to process_ep2 (C0 at frame
// offsets 11 and 523; shorter EP2 datagrams are dropped and counted). A
// datagram of any kind longer than 1032 bytes, which the kernel cuts to
// that size (MSG_TRUNC), is dropped and counted (count_long_datagrams); the
// socket's count of datagrams the kernel dropped (SO_RXQ_OVFL, set at
// start-up) goes to count_kernel_drops. It waits, at most 100 ms, until the
// socket becomes readable or the keyer signals a change of cw_ptt on
// ptt_event_fd; after every wake-up, whatever woke it, it runs the accessory
// pass (accessory_updates, control/writers.h), so a key-down reaches the
// Alex and nucleo relays at once, and then the counter report
// (counters_report, control/counters.h). An idle loop wakes about ten times
// a second.
//
// The client's transmit request is released (net/tx_release.h) by every stop
// and start command, before the stream is stopped, and after a second
// without EP2 frames while MOX is set (checked once per pass, before the
// accessory pass). A stream whose client has sent no EP2 frame for
// stream_silence_limit_ms is stopped as its stop command would stop it
// (stream_silence_check).
//
// The service manager hears of it (net/service.h): READY as the loop begins,
// then, after every pass, the status line and the watchdog's ping when they
// are due.
//
// An interrupted or timed-out receive is an empty batch. After every pass the
// loop looks at stop_requested (hardware/stop_signal.h); once a stop signal
// has come it says STOPPING, shuts down (net/shutdown.h) and returns 0 (1
// when the keyer or the stream thread did not answer in time). Returns 1, after
// perror("recvfrom"), on any other receive error; 1, after perror("poll"),
// when the wait fails other than by a signal; 1, after "varnholt: the socket
// failed (poll events 0xN)" or "varnholt: the event descriptor failed (poll
// events 0xN)", when the wait reports an error condition (POLLERR, POLLHUP,
// POLLNVAL) on either descriptor, which would otherwise end every later wait
// at once; 1, after perror("pthread_create"), when the stream thread cannot
// be created; 1, after "varnholt: the stream thread did not stop", when a
// stream thread has not ended stream_stop_limit_ms after it was told to.
int receive_loop();

// Longest wait for the stream thread to end. The thread looks at
// enable_thread at least every millisecond while it waits for samples and
// after every batch it sends (a copy of at most 16 KB and one sendmmsg), so
// it ends within a few milliseconds; a thread still running after this long
// is stuck, and the process ends rather than start a second one beside it.
constexpr int64_t stream_stop_limit_ms = 1000;

// A stream is stopped when the client that started it has sent no EP2 frame
// for this long. Clients send about 380 frames a second while they stream,
// so three seconds without one is a client that has gone (killed, crashed,
// its host asleep), or a start command that no client sent (a forged source
// address), while a client that stalls for a second or two (a busy or
// swapping host, a Wi-Fi hand-over) keeps its stream. A forged start thus
// costs its victim at most three seconds of the stream.
constexpr int64_t stream_silence_limit_ms = 3000;

// Called once per pass of the receive loop: while a stream runs and no EP2
// frame of at least frame_size bytes has come from its client (the address
// and port of its start command) for stream_silence_limit_ms, counted from
// the pass that handled the latest such frame or the start, stops the
// stream as a stop command does: counts it (count_stream_timeouts), releases
// the client's transmit request, stops the stream thread. Time from
// CLOCK_MONOTONIC (platform->clock_now). False, after "varnholt: the stream
// thread did not stop", when that thread did not end: the loop then ends
// with status 1.
bool stream_silence_check();

// One received datagram, as the receive loop handles each of a batch:
// classifies it and answers discovery (the reply is built in `buffer` and
// sent on sock_ep2 to `from`), releases the client's transmit request and
// stops the stream, or releases it and starts the stream for `from`, or
// hands an EP2 frame of `length` bytes (ignored when shorter than 1032) to
// the transmit sample sink and then to process_ep2 twice. `buffer` holds
// frame_size bytes: the `length` received ones, then whatever the slot held
// (the loop presets every slot with ep6_frame_header, so that a datagram
// shorter than four bytes is ignored). False when the stream thread cannot
// be created (after perror("pthread_create")) or did not stop (after
// "varnholt: the stream thread did not stop"): the loop then ends with
// status 1.
bool handle_datagram(uint8_t* buffer, unsigned length, const sockaddr_in& from);

// The stream handshake, main thread. stream_stop clears enable_thread and
// polls active_thread every 1 ms until the stream thread has ended (at once
// when none runs); false when it has not ended within stream_stop_limit_ms.
// stream_start ends any running stream the same way (false, after "varnholt:
// the stream thread did not stop", when that fails), points addr_ep6 at
// `client`, sets enable_thread and active_thread, clears rx_synced,
// pulses lo_rst bits 0-1 and creates the detached stream thread with
// SCHED_FIFO priority stream_priority, or with default attributes when
// real-time scheduling is refused (EPERM); false, after
// perror("pthread_create") and with both flags cleared again, when creation
// fails.
bool stream_stop();
bool stream_start(const sockaddr_in& client);
