// The log facility. Records are appended with one write() each on a descriptor kept open; the
// descriptor is opened again when the daemon rotates or when the file at the path is no longer
// the one held open (removed or moved away by somebody else). That is one examination of the
// name in the log's directory per record (the directory is held open, so no full path is walked)
// and the write itself; nothing is buffered. No record text ever reaches a shell. One mutex
// serialises rotation and append, so two threads never lose the rotated file.
#include "core/kiv_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform_posix.h"

namespace {

constexpr off_t kRotateSize = 1048577;  // more than 1 MiB
constexpr size_t kMaxRecord = 997;      // longest record the design's command form carried

struct log_state {
  std::mutex mutex;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string path;
  std::string rotated_path;
  std::string dir_path;  // the directory of the log, held open so a check walks one name only
  int dir_fd = -1;
  dev_t dir_dev = 0;
  ino_t dir_ino = 0;
  long long dir_checked_ns = 0;
  FILE* stream = nullptr;  // tools: records go here instead of the file
  bool to_file = true;
};

// Records dropped (a tool's kiv_log_to_stream(nullptr)): they are then neither formatted nor
// copied to the console, so a tool writes nowhere and its per-line walk stays cheap.
std::atomic<bool> discarding{false};

log_state& state() {
  static log_state* s = new log_state();  // never destroyed: threads may log during exit
  return *s;
}

void close_fd(log_state& s) {
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
}

void close_dir(log_state& s) {
  if (s.dir_fd >= 0) close(s.dir_fd);
  s.dir_fd = -1;
}

void refresh_paths(log_state& s) {
  if (!s.path.empty()) return;
  s.path = kiv_path("/tmp/kiv.log");
  s.rotated_path = kiv_path("/tmp/kiv.log.1");
  s.dir_path = kiv_path("/tmp");
}

// The log's directory, opened again when the directory at its path is another one (looked at
// once a second); -1 when it cannot be opened, and the full path is examined instead.
int log_dir(log_state& s) {
  long long now = monotonic_coarse_ns();
  if (s.dir_fd >= 0 && now - s.dir_checked_ns < 1000000000LL && now >= s.dir_checked_ns)
    return s.dir_fd;
  s.dir_checked_ns = now;
  struct stat st;
  if (stat(s.dir_path.c_str(), &st) != 0) {
    close_dir(s);
    return -1;
  }
  if (s.dir_fd >= 0 && st.st_dev == s.dir_dev && st.st_ino == s.dir_ino) return s.dir_fd;
  close_dir(s);
  s.dir_fd = open(s.dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s.dir_fd >= 0 && fstat(s.dir_fd, &st) == 0) {
    s.dir_dev = st.st_dev;
    s.dir_ino = st.st_ino;
  } else {
    close_dir(s);
  }
  return s.dir_fd;
}

// Examines the file at the log's path without following a link.
bool stat_log(log_state& s, struct stat* st) {
  int dir = log_dir(s);
  if (dir >= 0) return fstatat(dir, "kiv.log", st, AT_SYMLINK_NOFOLLOW) == 0;
  return lstat(s.path.c_str(), st) == 0;
}

// Opens the log for appending when the held descriptor is not the file at the path.
void ensure_open(log_state& s, const struct stat* at_path) {
  if (s.fd >= 0 && at_path && at_path->st_dev == s.dev && at_path->st_ino == s.ino) return;
  close_fd(s);
  s.fd = open(s.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  struct stat st;
  if (s.fd >= 0 && fstat(s.fd, &st) == 0) {
    s.dev = st.st_dev;
    s.ino = st.st_ino;
  }
}

void write_record(const char* record, size_t len) {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.to_file) {
    if (s.stream) {
      fwrite(record, 1, len, s.stream);
      fflush(s.stream);
    }
    return;
  }
  refresh_paths(s);
  struct stat st;
  bool exists = stat_log(s, &st);
  if (exists && S_ISREG(st.st_mode) && st.st_size >= kRotateSize) {
    if (rename(s.path.c_str(), s.rotated_path.c_str()) == 0) close_fd(s);
    exists = false;
  }
  ensure_open(s, exists ? &st : nullptr);
  if (s.fd < 0) return;
  ssize_t r = write(s.fd, record, len);
  // A full file system (or a file size limit) can take part of a record; the part is cut off
  // again so that the next record does not start inside a torn one. Only this process writes
  // the log, under s.mutex, so the file ends with the part just written.
  if (r > 0 && static_cast<size_t>(r) < len) {
    struct stat after;
    if (fstat(s.fd, &after) == 0 && after.st_size >= r) {
      int cut = ftruncate(s.fd, after.st_size - r);
      (void)cut;
    }
  }
}

size_t put_text(char* out, size_t at, const char* text) {
  while (*text && at < kMaxRecord) out[at++] = *text++;
  return at;
}

// "[KIV][" func ":(" line ")]", cut at the longest record; built by hand because it is written
// in front of every record and a format would cost more than the rest of the record.
size_t put_head(char* out, const char* func, int line) {
  size_t at = put_text(out, 0, "[KIV][");
  at = put_text(out, at, func ? func : "");
  at = put_text(out, at, ":(");
  char digits[12];
  size_t n = 0;
  unsigned long magnitude =
      line < 0 ? 0UL - static_cast<unsigned long>(line) : static_cast<unsigned long>(line);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (line < 0) digits[n++] = '-';
  while (n > 0 && at < kMaxRecord) out[at++] = digits[--n];
  at = put_text(out, at, ")]");
  out[at] = '\0';
  return at;
}

}  // namespace

void kiv_log_to_stream(FILE* stream) {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.to_file = false;
  s.stream = stream;
  discarding.store(stream == nullptr);
  close_fd(s);
  close_dir(s);
}

void kiv_log_to_file() {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.to_file = true;
  s.stream = nullptr;
  discarding.store(false);
}

void kiv_log(const char* func, int line, const char* fmt, ...) {
  if (discarding.load(std::memory_order_relaxed)) return;
  char record[kMaxRecord + 1];
  size_t len = put_head(record, func, line);
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int body = vsnprintf(record + len, sizeof record - len, fmt, ap);
  va_end(ap);
  if (body > 0) {
    size_t full = len + static_cast<size_t>(body);
    if (full > kMaxRecord) {
      // Too long: the record is cut, and keeps the line end its message had (rare path).
      std::string message(static_cast<size_t>(body) + 1, '\0');
      vsnprintf(message.data(), message.size(), fmt, again);
      len = kMaxRecord;
      if (message[static_cast<size_t>(body) - 1] == '\n') record[len - 1] = '\n';
    } else {
      len = full;
    }
  }
  va_end(again);
  write_record(record, len);

  // Console copy: the record without the "[KIV]" tag.
  if (nvram_match("kiv_debug_flag", "1")) console_write(record + 5, len - 5);
}

int console_debug_printf(const char* fmt, ...) {
  if (!nvram_match("kiv_debug_flag", "1")) return 0;
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n <= 0) return n;
  console_write(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
  return n;
}

char* trim_spaces(char* text) {
  if (!text) return text;
  while (*text == ' ') ++text;
  size_t len = strlen(text);
  while (len > 0 && text[len - 1] == ' ') text[--len] = '\0';
  return text;
}

long long get_file_size(const char* path) {
  if (!path) return -1;
  std::string real = kiv_path(path);
  FILE* f = fopen(real.c_str(), "rb");
  if (!f) return -1;
  long long size = -1;
  if (fseeko(f, 0, SEEK_END) == 0) size = static_cast<long long>(ftello(f));
  fclose(f);
  return size;
}

bool write_file_nofollow(const std::string& real_path, const char* data, size_t len) {
  int fd = ::open(real_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
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

void kiv_exit(int status) {
  fflush(nullptr);
  _exit(status);
}
