// The receive loop: the main thread's work after start-up.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Runs for the life of the process on the main thread. Receives up to eight
// datagrams per recvmmsg on sock_ep2, answers discovery requests, starts and
// stops the receive stream thread (handler_ep6), hands every EP2 frame of
// 1032 bytes to the transmit sample sink and then to process_ep2 (C0 at frame
// offsets 11 and 523), and after every receive call, whether it brought
// datagrams or not, runs the accessory pass (accessory_updates, control/writers.h). Before each
// receive call it waits at most 1 ms for the socket to become readable, so an idle loop runs its
// accessory pass about once a millisecond.
//
// An interrupted or timed-out receive is an empty batch. Returns 1, after
// perror("recvfrom"), on any other receive error, and 1, after
// perror("pthread_create"), when the stream thread cannot be created.
int receive_loop();

// One received datagram, as the receive loop handles each of a batch:
// classifies it and answers discovery (the reply is built in `buffer` and
// sent on sock_ep2 to `from`), stops the stream, starts it for `from`, or
// hands an EP2 frame of `length` bytes (ignored when shorter than 1032) to
// the transmit sample sink and then to process_ep2 twice. `buffer` holds
// frame_size bytes: the `length` received ones, then whatever the slot held
// (the loop presets every slot with ep6_frame_header, so that a datagram
// shorter than four bytes is ignored). False only when the stream thread
// cannot be created (after perror("pthread_create")): the loop then ends
// with status 1.
bool handle_datagram(uint8_t* buffer, unsigned length, const sockaddr_in& from);

// The stream handshake, main thread. stream_stop clears enable_thread and
// polls active_thread every 1 ms until the stream thread has ended (at once
// when none runs). stream_start ends any running stream the same way, points
// addr_ep6 at `client`, sets enable_thread and active_thread, clears
// rx_sync_data, pulses lo_rst bits 0-1 and creates the detached stream
// thread; false, after perror("pthread_create"), when creation fails.
void stream_stop();
bool stream_start(const sockaddr_in& client);
