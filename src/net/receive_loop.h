// The receive loop: the main thread's work after start-up.
#pragma once

#include <netinet/in.h>

// Runs for the life of the process on the main thread. Receives up to eight
// datagrams per recvmmsg on sock_ep2, answers discovery requests, starts and
// stops the receive stream thread (handler_ep6), hands every EP2 frame of
// 1032 bytes to the transmit sample sink and then to process_ep2 (C0 at frame
// offsets 11 and 523; shorter EP2 datagrams are dropped and counted). It
// waits, at most 100 ms, until the socket becomes readable or the keyer
// signals a change of cw_ptt on ptt_event_fd; after every wake-up, whatever
// woke it, it runs the accessory pass (accessory_updates, control/writers.h),
// so a key-down reaches the Alex and nucleo relays at once, and then the
// counter report (counters_report, control/counters.h). An idle loop wakes
// about ten times a second.
//
// An interrupted or timed-out receive is an empty batch. Returns 1, after
// perror("recvfrom"), on any other receive error, and 1, after
// perror("pthread_create"), when the stream thread cannot be created.
int receive_loop();

// The stream handshake, main thread. stream_stop clears enable_thread and
// polls active_thread every 1 ms until the stream thread has ended (at once
// when none runs). stream_start ends any running stream the same way, points
// addr_ep6 at `client`, sets enable_thread and active_thread, clears
// rx_sync_data, pulses lo_rst bits 0-1 and creates the detached stream
// thread with SCHED_FIFO priority stream_priority, or with default
// attributes when real-time scheduling is refused (EPERM); false, after
// perror("pthread_create"), when creation fails.
void stream_stop();
bool stream_start(const sockaddr_in& client);
