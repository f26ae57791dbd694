// Single-instance start-up and the PID file /var/run/kiv.pid.
//
// The stored process id counts as a running daemon only when that process exists, is a kiv
// daemon (its command is "kiv") and is not this process: a leftover file that names an
// unrelated live process, or the id this daemon happened to receive, is replaced. No process
// list is read through a shell.
#include "core/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/kiv_log.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace {

// Leading decimal number of the text (leading white space skipped, optional sign); 0 when
// nothing readable. Values beyond the range of a process id are clamped so that they can never
// name a process.
long long leading_number(const char* text) {
  while (*text && isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '-' || *text == '+') {
    negative = *text == '-';
    ++text;
  }
  long long value = 0;
  while (*text >= '0' && *text <= '9') {
    if (value < LLONG_MAX / 100) value = value * 10 + (*text - '0');
    ++text;
  }
  return negative ? -value : value;
}

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

void remove_pid_file() {
  std::string path = kiv_path(KIV_PID_PATH);
  unlink(path.c_str());
}

}  // namespace

void initial_functions() {
  KIV_LOG("Start\n");

  if (!check_if_file_exist(KIV_PID_PATH)) {
    write_pid_file();
  } else {
    char buffer[64];
    memset(buffer, 0, sizeof buffer);
    std::string path = kiv_path(KIV_PID_PATH);
    // Never read through a symbolic link: such a file is not ours and is replaced.
    int fd = open_unblocked(path.c_str(), O_RDONLY);
    if (fd >= 0) {
      ssize_t n;
      do {
        n = read(fd, buffer, sizeof buffer - 1);
      } while (n < 0 && errno == EINTR);
      if (n < 0) buffer[0] = '\0';
      close(fd);
    }
    // An unreadable or empty file counts as holding 0 and is written anew with our id.
    long long stored = leading_number(buffer);
    bool running = stored > 0 && stored <= INT_MAX && static_cast<pid_t>(stored) != getpid() &&
                   platform_process_is_kiv(static_cast<pid_t>(stored));
    if (running) {
      KIV_LOG("kiv is already running.\n");
      kiv_say("already running as pid %lld (%s); this one ends", stored, path.c_str());
      kiv_exit(0);
    }
    remove_pid_file();
    write_pid_file();
  }

  nvram_set_int("kiv_is_JSON_updated", 0);
  KIV_LOG("End\n");
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
