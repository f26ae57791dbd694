// Plain POSIX pieces that both platform variants and the log facility share: no router or host
// policy here, only clock readings, waits and the safe opening of files.
#pragma once

#include <sys/types.h>

// Monotonic clock in nanoseconds, from the coarse clock where the system has one: cheap enough
// to be read for every log record and every settings read.
long long monotonic_coarse_ns();

// Monotonic clock in nanoseconds, at its full resolution.
long long monotonic_ns();
// Seconds on the monotonic clock since `start_ns` (a monotonic_ns() reading).
double seconds_since(long long start_ns);

// Blocks in poll() until fd is readable or hung up (true) or `seconds` have passed (false). An
// interrupted poll goes on waiting for the time left, so a thread that takes no signals ends
// its wait early only through the descriptor.
bool poll_readable_for(int fd, double seconds);

// Opens a file at a path others can reach (/tmp, /var/run) without following a symbolic link and
// without waiting: a FIFO or socket planted there is refused (-1, errno EINVAL) instead of holding
// the daemon until someone opens its other end; a regular file opened for writing that has more
// than one link (a hard link planted to a file elsewhere) is refused the same way, and O_TRUNC
// cuts a file only after these checks. Regular files and devices open as asked otherwise.
int open_unblocked(const char* path, int flags, mode_t mode = 0644);
