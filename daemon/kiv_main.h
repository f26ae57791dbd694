// The daemon's root: start-up, the worker threads, the signal flags and the main loop, above every
// subsystem. Only daemon/ includes this header.
//
// Threads: the main thread runs the loop and everything it calls (rule update, dump, storage
// report, command thread join); the syslog monitor thread (detect/monitor_syslog) and the trigger
// thread (trigger/monitor_statistics) run for the life of the process; the command thread
// (commands/handle_kiv_event) lives while the main thread waits for it. The flags are lock-free
// atomics: a signal handler may write them and every thread may read them. The stop request
// (terminate_flag) is core/stop.h's, since every worker looks at it.
#pragma once

#include <atomic>

extern std::atomic<int> event_flag;
extern std::atomic<int> dump_flag;
extern std::atomic<int> tick_flag;

// The whole daemon; main() only calls this. Returns the process's exit status.
int kiv_main();
