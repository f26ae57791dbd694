// Files kiv writes and measures in /tmp: opened without following a link and without waiting on
// a FIFO planted at the path (open_unblocked).
#include "core/tmp_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/platform_posix.h"

long long get_file_size(const char* path) {
  if (!path) return -1;
  std::string real = kiv_path(path);
  int fd = open_unblocked(real.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  const off_t end = lseek(fd, 0, SEEK_END);
  ::close(fd);
  return end < 0 ? -1 : static_cast<long long>(end);
}

bool write_file_nofollow(const std::string& real_path, const char* data, size_t len) {
  int fd = open_unblocked(real_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd, data + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(n);
  }
  bool whole = ::close(fd) == 0 && done == len;
  // A file cut short (a full file system) would pass for a whole dump or copy: none is better.
  if (!whole) ::unlink(real_path.c_str());
  return whole;
}
