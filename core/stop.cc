#include "core/stop.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

std::atomic<int> terminate_flag{0};

namespace {

// Self-pipe of SIGTERM: [0] read end (non-blocking, handed to the threads), [1] write end
// (non-blocking, so the handler never blocks even if nobody drains the pipe).
int wake_pipe[2] = {-1, -1};

}  // namespace

void make_stop_pipe() {
  if (wake_pipe[0] >= 0) return;
  int fds[2];
  if (pipe(fds) != 0) return;
  for (int fd : fds) {
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  wake_pipe[0] = fds[0];
  wake_pipe[1] = fds[1];
}

void request_stop() {
  const int saved = errno;
  terminate_flag.store(1);
  if (wake_pipe[1] >= 0) {
    char byte = 1;
    ssize_t r = write(wake_pipe[1], &byte, 1);
    (void)r;
  }
  errno = saved;
}

int terminate_wake_fd() {
  return wake_pipe[0];
}

void pause_unless_terminated(double seconds) {
  if (terminate_flag.load() == 1) return;
  // The wake pipe becomes readable at SIGTERM and stays so: one wait, no waking to look.
  if (wake_pipe[0] >= 0) {
    kiv_wait_readable(wake_pipe[0], seconds);
    return;
  }
  constexpr double kStep = 0.5;
  for (double left = seconds; left > 0 && terminate_flag.load() != 1; left -= kStep)
    kiv_sleep(left < kStep ? left : kStep);
}
