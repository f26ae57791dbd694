#include "platform/platform_posix.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

namespace {

long long ns_of(const struct timespec& ts) {
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

long long monotonic_coarse_ns() {
  struct timespec ts;
#ifdef CLOCK_MONOTONIC_COARSE
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#else
  clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
  return ns_of(ts);
}

long long monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ns_of(ts);
}

double seconds_since(long long start_ns) {
  return static_cast<double>(monotonic_ns() - start_ns) / 1e9;
}

bool poll_readable_for(int fd, double seconds) {
  if (seconds <= 0) return false;
  const long long start = monotonic_ns();
  for (;;) {
    double left = seconds - seconds_since(start);
    if (left <= 0) return false;
    double ms = left * 1000.0 + 0.999;
    struct pollfd pfd = {fd, POLLIN, 0};
    int rc = poll(&pfd, 1, ms > 2147483647.0 ? 2147483647 : static_cast<int>(ms));
    if (rc > 0) return (pfd.revents & (POLLIN | POLLHUP)) != 0;
    if (rc == 0) continue;  // the time is up, or nearly: looked at again above
    if (errno != EINTR) return false;
  }
}
