// The daemon's spine: flags set by the signal handlers, the main loop, orderly shutdown.
//
// Threads: the main thread runs the loop below and everything it calls (rule update, dump,
// storage report, command thread join); the syslog monitor thread (detect/monitor_syslog) and the
// trigger thread (detect/monitor_statistics) run for the life of the process; the command thread
// (heal/handle_kiv_event) lives while the main thread waits for it. The flags are lock-free
// atomics: a signal handler may write them and every thread may read them.
#pragma once

#include <atomic>

extern std::atomic<int> terminate_flag;
extern std::atomic<int> event_flag;
extern std::atomic<int> dump_flag;
extern std::atomic<int> tick_flag;
static_assert(std::atomic<int>::is_always_lock_free, "flags must be writable from a handler");

// The rule file path, as the daemon names it (below $KIV_ROOT on the host).
inline constexpr const char* KIV_JSON_PATH = "/tmp/kivjson.json";

// Read end of a pipe that becomes readable once SIGTERM has been received, so that a thread
// blocked on other input (the log follower) can wake and see terminate_flag.
int terminate_wake_fd();

// Pauses for the design's `seconds` in short steps and returns early once terminate_flag is 1.
// The worker threads block the daemon's signals, so their sleeps are not cut short by SIGTERM.
void pause_unless_terminated(double seconds);

// The whole daemon; main() only calls this. Returns the process's exit status.
int kiv_main();
