#include "core/flash_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "core/kiv_log.h"
#include "core/paths.h"
#include "platform/platform.h"

namespace {

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// O_DIRECTORY with O_NOFOLLOW refuses a link at the folder's name (ELOOP or ENOTDIR).
int open_dir(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

owned_fd::owned_fd(owned_fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

owned_fd::~owned_fd() {
  if (fd >= 0) close(fd);
}

owned_fd open_flash_dir(bool create) {
  const std::string path = kiv_path(KIV_FLASH_DIR);
  int fd = open_dir(path);
  if (fd < 0 && errno == ENOENT && create && (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST))
    fd = open_dir(path);
  return owned_fd(fd);
}

flash_read_result flash_read(const owned_fd& dir, const char* name, size_t limit, std::string* out,
                             bool own_only) {
  // O_NONBLOCK: a FIFO planted at the name must not hold the daemon; it is refused below.
  owned_fd f(openat(dir.fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (f.fd < 0) return errno == ENOENT ? flash_read_result::missing : flash_read_result::failed;
  struct stat st;
  if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<unsigned long long>(st.st_size) > limit)
    return flash_read_result::failed;
  if (own_only && (st.st_uid != geteuid() || (st.st_mode & 077) != 0 || st.st_nlink != 1))
    return flash_read_result::failed;
  out->assign(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < out->size()) {
    ssize_t n = read(f.fd, &(*out)[got], out->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != out->size()) return flash_read_result::failed;  // changed or failed under us
  return flash_read_result::ok;
}

bool flash_replace(const owned_fd& dir, const char* name, const char* data, size_t len) {
  const std::string tmp = std::string(name) + ".tmp";
  // A leftover of an interrupted write (or a link planted there) goes; O_EXCL then guarantees
  // that the file written is one this call made.
  unlinkat(dir.fd, tmp.c_str(), 0);
  bool ok = false;
  {
    owned_fd f(
        openat(dir.fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    ok = f.fd >= 0 && write_all(f.fd, data, len) && fsync(f.fd) == 0 &&
         close(std::exchange(f.fd, -1)) == 0;
  }
  if (ok) ok = renameat(dir.fd, tmp.c_str(), dir.fd, name) == 0;
  if (!ok) {
    unlinkat(dir.fd, tmp.c_str(), 0);
    return false;
  }
  fsync(dir.fd);  // the rename itself on the flash; not every file system syncs a folder
  return true;
}

bool flash_set_aside(const owned_fd& dir, const char* name) {
  const std::string bad = std::string(name) + ".bad";
  return renameat(dir.fd, name, dir.fd, bad.c_str()) == 0;
}

void flash_remove_leftovers() {
  owned_fd dir = open_flash_dir(false);
  if (dir.fd < 0) return;
  for (const char* name :
       {KIV_RULE_CACHE_NAME, KIV_SERIAL_NAME, KIV_REBOOTS_NAME, KIV_HEALS_NAME, KIV_COUNTS_NAME}) {
    const std::string tmp = std::string(name) + ".tmp";
    // unlinkat never follows a link planted at the name; it removes the link itself.
    if (unlinkat(dir.fd, tmp.c_str(), 0) == 0)
      KIV_LOG("Leftover [%s/%s] of an interrupted write removed\n", KIV_FLASH_DIR, tmp.c_str());
    else if (errno != ENOENT)
      KIV_LOG("Cannot remove [%s/%s]: %s\n", KIV_FLASH_DIR, tmp.c_str(), strerror(errno));
  }
}
