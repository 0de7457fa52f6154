// What the Linux port and the Linux keyboard need from each other.
#pragma once

#include <poll.h>
#include <time.h>

#include <cstdint>

#include "../wave/clock.h" // monotonic_ns(): CLOCK_MONOTONIC, as clock_nanosleep uses here

constexpr int64_t kNever = INT64_MAX;

// Keyboard side, for the port's wait. Puts the descriptors to watch for keys in
// fds (at most kKeySourcesMax; none while no key can be read: no controlling
// terminal, or kelvor is a background job, and no standard input left to read)
// and returns how many. resolve_at is set to the time at which a partly received
// escape sequence must be decided on (kNever when there is none).
constexpr int kKeySourcesMax = 2;
int keyboard_watch(pollfd* fds, int64_t& resolve_at);

// Keyboard side, for the port's wait: what the wait saw on the descriptors that
// keyboard_watch gave. Only those with input are read by key_waiting().
void keyboard_seen(const pollfd* fds, int count);

// Keyboard side, for the port's open: from the moment kelvor holds the port, the
// signals that end a process and the fault signals (listed in keyboard_linux.cpp)
// give back the terminal and the port before the process ends by the same signal,
// and Ctrl+Z gives back the terminal while stopped.
void catch_signals();

// Port side, for the signal handlers: drops what the kernel can of the port's
// queued output, puts back the settings found at open and gives up exclusive use,
// also while the port is being closed. Safe to call from a signal handler.
void port_discard_and_release();
