#include "core/pid_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/kiv_log.h"
#include "core/kiv_say.h"
#include "core/paths.h"
#include "platform/decimal.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace {

void write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
}

}  // namespace

void remove_pid_file() {
  std::string path = kiv_path(KIV_PID_PATH);
  unlink(path.c_str());
}

long long read_pid_file() {
  char buffer[64];
  memset(buffer, 0, sizeof buffer);
  // Never read through a symbolic link, nor wait on a FIFO: such a file is not ours.
  int fd = open_unblocked(kiv_path(KIV_PID_PATH).c_str(), O_RDONLY);
  if (fd >= 0) {
    ssize_t n;
    do {
      n = read(fd, buffer, sizeof buffer - 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) buffer[0] = '\0';
    close(fd);
  }
  return read_decimal(buffer).value;
}

void write_pid_file() {
  std::string path = kiv_path(KIV_PID_PATH);
  // Exclusive create: every caller has removed the file or found it missing, so an existing
  // file here means another daemon starting at the same moment has just written its own id.
  // Never follows a symbolic link.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int why = errno;
    KIV_LOG("Cannot create [%s].\n", KIV_PID_PATH);
    kiv_say("cannot create the PID file %s: %s", path.c_str(), strerror(why));
    kiv_exit(0);
  }
  char text[16];
  int len = snprintf(text, sizeof text, "%d", static_cast<int>(getpid()));
  if (len > 0) write_all(fd, text, static_cast<size_t>(len));
  close(fd);
}

void append_tail_pid(pid_t follower_pid) {
  std::string path = kiv_path(KIV_PID_PATH);
  // The file is the one initial_functions wrote; a missing file is not created again.
  int fd = open_unblocked(path.c_str(), O_WRONLY | O_APPEND);
  if (fd < 0) return;
  char text[24];
  int len = follower_pid > 0
                ? snprintf(text, sizeof text, "\n%ld\n", static_cast<long>(follower_pid))
                : snprintf(text, sizeof text, "\n");
  if (len > 0) write_all(fd, text, static_cast<size_t>(len));
  close(fd);
}
