// The daemon's stop request, as every thread sees it: the SIGTERM handler raises it, workers look
// at it between steps and pause on it, so that no wait outlasts a stop.
#pragma once

#include <atomic>

extern std::atomic<int> terminate_flag;  // 1 once SIGTERM has come
static_assert(std::atomic<int>::is_always_lock_free, "the flag is written from a handler");

// Made once, before any thread exists: the pipe that becomes readable at the stop request.
void make_stop_pipe();
// The SIGTERM handler's work: raises the flag and wakes every wait. Async-signal-safe.
void request_stop();
// Read end of that pipe (-1 before make_stop_pipe), so a thread blocked on other input (the
// log follower) can wake and see terminate_flag.
int terminate_wake_fd();
// Pauses for the design's `seconds` (scaled on the host) and returns early once terminate_flag
// is 1. The worker threads block the daemon's signals, so a signal never cuts their sleeps short.
void pause_unless_terminated(double seconds);
