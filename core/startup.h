// Single-instance start-up and the PID file /var/run/kiv.pid.
//
// File format: the daemon's process id in decimal with no line end; then, for every call of
// append_tail_pid, a newline and the log follower's process id followed by a newline.
#pragma once

#include <sys/types.h>

inline constexpr const char* KIV_PID_PATH = "/var/run/kiv.pid";

void initial_functions();
void write_pid_file();
// Appends the process id of the follower the daemon itself started (-1: only the newline).
void append_tail_pid(pid_t follower_pid);
