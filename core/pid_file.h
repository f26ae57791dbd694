// The PID file /var/run/kiv.pid: the daemon's process id in decimal with no line end; then, for
// every log follower the daemon started, a newline and the follower's id followed by a newline,
// so that the last line names the follower in use.
#pragma once

#include <sys/types.h>

// Creates the file (exclusively, never through a link) with this process's id; ends the process
// with status 0 when it cannot.
void write_pid_file();
// Appends the process id of the follower the daemon itself started (-1: only the newline).
void append_tail_pid(pid_t follower_pid);
// The leading number of the file (its first 63 bytes); 0 when it cannot be read.
long long read_pid_file();
void remove_pid_file();
