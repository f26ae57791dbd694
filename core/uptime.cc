#include "core/uptime.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

double read_uptime() {
  // The file is read directly: no process is started while the caller holds mp_mutex.
  std::string path = uptime_path();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0.0;
  char buf[64];
  memset(buf, 0, sizeof buf);
  ssize_t n;
  do {
    n = read(fd, buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return 0.0;
  char* line_end = static_cast<char*>(memchr(buf, '\n', static_cast<size_t>(n)));
  if (line_end) line_end[1] = '\0';  // one line, as a line read gives it
  double uptime = 0.0;
  if (sscanf(buf, "%lf %*f", &uptime) < 1) return 0.0;
  return uptime;
}
