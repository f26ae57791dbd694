// Where records go: the daemon's /tmp/kiv.log, moved to /tmp/kiv.log.1 when a record would start
// past 1 MiB, or a tool's stream.
//
// Records are appended on a descriptor kept open, opened again at a rotation or when the file at
// the path is no longer the one held (removed or moved by somebody else). Rotation goes by the
// examined size plus what kiv wrote since (the log's only writer). One mutex serialises rotation
// and append, so no thread loses the rotated file; the crash flush (core/log_walk.cc) rotates the
// same way on a descriptor of its own, without it. No record text ever reaches a shell.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/kiv_log.h"
#include "core/log_internal.h"
#include "core/paths.h"
#include "platform/platform_posix.h"

std::atomic<bool> log_discarding{false};
std::atomic<bool> log_file_mode{true};

namespace {

constexpr off_t kRotateSize = 1048577;            // more than 1 MiB
constexpr long long kWalkExamineNs = 10000000LL;  // 10 ms

// The file records are appended to, and what this process knows of it.
struct log_file {
  int fd = -1;
  off_t size = 0;       // bytes in the file
  bool regular = true;  // only a regular file is rotated
  dev_t dev = 0;
  ino_t ino = 0;
  int error = 0;  // errno of a failed open
};

// The log's state. Plain globals of trivial destruction: threads may log during exit.
std::mutex log_mutex;
log_file the_file;
long long examined_ns = 0;    // when the file at the path was last examined
FILE* tool_stream = nullptr;  // a tool's records go here instead of the file

// The paths, set once before the first record is written; the fatal-signal handler reads them
// too. Empty while no record was written.
char log_path[PATH_MAX];
char rotated_path[PATH_MAX];

void set_paths() {
  if (log_path[0] != '\0') return;
  const std::string path = kiv_path(KIV_LOG_PATH), rotated = kiv_path(KIV_LOG_ROTATED_PATH);
  if (path.size() >= PATH_MAX || rotated.size() >= PATH_MAX) return;  // opening "" fails
  memcpy(rotated_path, rotated.c_str(), rotated.size() + 1);
  memcpy(log_path, path.c_str(), path.size() + 1);  // last: the handler sees both or none
}

// Opens the log at `path` for appending. Async-signal-safe.
log_file open_log(const char* path) {
  log_file f;
  struct stat st;
  f.fd = open_unblocked(path, O_WRONLY | O_APPEND | O_CREAT);
  if (f.fd < 0) f.error = errno;
  if (f.fd >= 0 && fstat(f.fd, &st) == 0) {
    f.size = st.st_size;
    f.regular = S_ISREG(st.st_mode);
    f.dev = st.st_dev;
    f.ino = st.st_ino;
  }
  return f;
}

void reopen(log_file& f, const char* path) {
  if (f.fd >= 0) close(f.fd);
  f = open_log(path);
}

// Examines the file at the log's path (without following a link): the held descriptor is
// opened again when it is not that file.
void examine(log_file& f) {
  struct stat st;
  if (f.fd < 0 || lstat(log_path, &st) != 0 || st.st_dev != f.dev || st.st_ino != f.ino)
    return reopen(f, log_path);
  f.size = st.st_size;
  f.regular = S_ISREG(st.st_mode);
}

// Appends records [first, last) to f. A write that takes only part of them (a full file system,
// a file size limit) is cut back to the last whole record and the torn one dropped, so no record
// starts inside a torn one; the records after it are still tried. Async-signal-safe.
void write_run(log_file& f, const record_run& run, uint32_t first, uint32_t last) {
  for (uint32_t r = first; f.fd >= 0 && r < last;) {
    const size_t from = run.start(r), to = run.ends[last - 1];
    const ssize_t n = write(f.fd, run.data + from, to - from);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing fits: the rest is lost, as each record would be
    f.size += n;
    const size_t at = from + static_cast<size_t>(n);
    if (at == to) return;
    while (run.ends[r] <= at) ++r;  // r: the torn record
    struct stat st;
    const off_t torn = static_cast<off_t>(at - run.start(r));
    if (fstat(f.fd, &st) == 0 && st.st_size >= torn && ftruncate(f.fd, st.st_size - torn) == 0)
      f.size = st.st_size - torn;
    ++r;
  }
}

// Appends records [0, count) to f: a record that starts when the file holds kRotateSize bytes or
// more goes to a fresh file after the move to the rotated path, as it would written alone.
// Async-signal-safe.
void append_rotating(log_file& f, const record_run& run, uint32_t count) {
  if (count == 0 || f.size + static_cast<off_t>(run.start(count - 1)) < kRotateSize)
    return write_run(f, run, 0, count);  // no record starts past the limit: the common case
  uint32_t from = 0;
  for (uint32_t r = 0; r < count; ++r) {
    const off_t start = f.size + static_cast<off_t>(run.start(r) - run.start(from));
    if (f.fd < 0 || !f.regular || start < kRotateSize) continue;
    write_run(f, run, from, r);
    from = r;
    rename(log_path, rotated_path);
    reopen(f, log_path);
  }
  write_run(f, run, from, count);
}

}  // namespace

// The log's name is examined once for a write, except that a walk's write skips it when the name
// was examined less than kWalkExamineNs ago: in a burst of lines the examination would double the
// system calls of a line, and a file moved, cut or removed by somebody else is still seen within
// that time.
void log_file_append_locked(const record_run& run, uint32_t count, bool walk) {
  if (!log_file_mode.load()) {
    if (tool_stream) {
      fwrite(run.data, 1, run.ends[count - 1], tool_stream);
      fflush(tool_stream);
    }
    return;
  }
  set_paths();
  const long long now = monotonic_coarse_ns();
  if (!walk || the_file.fd < 0 || now < examined_ns || now - examined_ns >= kWalkExamineNs) {
    examine(the_file);
    examined_ns = now;
  }
  append_rotating(the_file, run, count);
}

void log_file_locked(void (*fn)(void*), void* arg) {
  std::lock_guard<std::mutex> lock(log_mutex);
  fn(arg);
}

void log_file_write(const char* record, size_t len) {
  const uint32_t end = static_cast<uint32_t>(len);
  std::lock_guard<std::mutex> lock(log_mutex);
  log_file_append_locked(record_run{record, &end}, 1, false);
}

void log_file_crash_append(const record_run& run, uint32_t count) {
  if (log_path[0] == '\0') return;
  log_file f = open_log(log_path);
  append_rotating(f, run, count);
  if (f.fd >= 0) close(f.fd);
}

void kiv_log_to_stream(FILE* stream) {
  std::lock_guard<std::mutex> lock(log_mutex);
  tool_stream = stream;
  log_discarding.store(stream == nullptr);
  log_file_mode.store(false);
  if (the_file.fd >= 0) close(the_file.fd);  // a tool never touches the daemon's log
  the_file.fd = -1;
}

void kiv_log_to_file() {
  std::lock_guard<std::mutex> lock(log_mutex);
  tool_stream = nullptr;
  log_discarding.store(false);
  log_file_mode.store(true);
}

int kiv_log_error() {
  std::lock_guard<std::mutex> lock(log_mutex);
  return the_file.fd >= 0 ? 0 : the_file.error;
}
