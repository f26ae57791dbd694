// Plain POSIX pieces that both platform variants and the log facility share: no router or host
// policy here, only clock readings and waits.
#pragma once

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
