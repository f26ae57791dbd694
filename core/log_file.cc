// Where records go: the daemon's /tmp/kiv.log, moved to /tmp/kiv.log.1 when a record would start
// past 1 MiB, or a tool's stream.
//
// Records are appended on a descriptor kept open; the descriptor is opened again when the daemon
// rotates or when the file at the path is no longer the one held open (removed or moved away by
// somebody else). A write examines the log's name once (the directory is held open, so no full
// path is walked); a walk's write does so when the last examination is 10 ms old or more. The
// size that decides rotation is the examined size plus what kiv has written since (it is the
// log's only writer), so a file cut or replaced behind kiv's back is seen at the next
// examination. No record text ever reaches a shell. One mutex serialises rotation and append, so
// two threads never lose the rotated file. Every write under that mutex first writes the records
// of finished walks that a batching walker still holds (core/log_walk.cc), so no record reaches
// the file before one made earlier in another thread. The same rotation is done without the mutex,
// on a descriptor of its own, by the crash flush (core/log_walk.cc).
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
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
};

struct log_state {
  std::mutex mutex;
  log_file file;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string path;
  std::string rotated_path;
  std::string dir_path;  // the directory of the log, held open so a check walks one name only
  int dir_fd = -1;
  dev_t dir_dev = 0;
  ino_t dir_ino = 0;
  long long dir_checked_ns = 0;
  long long examined_ns = 0;  // when the file at the path was last examined
  FILE* stream = nullptr;     // tools: records go here instead of the file
  bool to_file = true;
  int open_error = 0;  // errno of the last failed open of the log, 0 once one succeeds
};

// The paths again, for the fatal-signal handler, which may not touch a std::string that another
// thread could be replacing. Empty while no record was written or a path does not fit.
char crash_path[PATH_MAX];
char crash_rotated_path[PATH_MAX];

log_state& state() {
  static log_state* s = new log_state();  // never destroyed: threads may log during exit
  return *s;
}

void close_fd(log_state& s) {
  if (s.file.fd >= 0) close(s.file.fd);
  s.file.fd = -1;
}

void close_dir(log_state& s) {
  if (s.dir_fd >= 0) close(s.dir_fd);
  s.dir_fd = -1;
}

void copy_path(char* out, const std::string& path) {
  out[0] = '\0';
  if (path.size() < PATH_MAX) memcpy(out, path.c_str(), path.size() + 1);
}

void refresh_paths(log_state& s) {
  if (!s.path.empty()) return;
  s.path = kiv_path(KIV_LOG_PATH);
  s.rotated_path = kiv_path(KIV_LOG_ROTATED_PATH);
  s.dir_path = kiv_path("/tmp");
  crash_path[0] = '\0';  // the handler sees a pair of paths or none
  copy_path(crash_rotated_path, s.rotated_path);
  copy_path(crash_path, s.path);
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

// Opens the log at `path` for appending; the file's size and kind from the descriptor.
// Async-signal-safe.
log_file open_log(const char* path, struct stat* st) {
  log_file f;
  f.fd = open_unblocked(path, O_WRONLY | O_APPEND | O_CREAT);
  if (f.fd >= 0 && fstat(f.fd, st) == 0) {
    f.size = st->st_size;
    f.regular = S_ISREG(st->st_mode);
  }
  return f;
}

// Opens the log for appending when the held descriptor is not the file at the path (as
// examined: at_path, none when nothing is there).
void ensure_open(log_state& s, const struct stat* at_path) {
  if (s.file.fd >= 0 && at_path && at_path->st_dev == s.dev && at_path->st_ino == s.ino) {
    s.file.size = at_path->st_size;
    s.file.regular = S_ISREG(at_path->st_mode);
    return;
  }
  close_fd(s);
  struct stat st;
  s.file = open_log(s.path.c_str(), &st);
  s.open_error = s.file.fd >= 0 ? 0 : errno;
  if (s.file.fd >= 0) {
    s.dev = st.st_dev;
    s.ino = st.st_ino;
  }
}

// Appends records [first, last) to f. A write that takes only part of them (a full file system,
// a file size limit) is cut back to the last whole record, and the torn record is dropped, so
// the next record never starts inside a torn one; the records after it are still tried, each
// as writing record by record would try it. *handed (when given) counts the records handed to
// write() so far. Async-signal-safe.
void write_run(log_file& f, const record_run& run, uint32_t first, uint32_t last,
               std::atomic<uint32_t>* handed) {
  if (f.fd < 0) return;
  uint32_t r = first;
  while (r < last) {
    size_t from = run.start(r);
    size_t to = run.ends[last - 1];
    if (handed) handed->store(last);
    ssize_t n = write(f.fd, run.data + from, to - from);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing fits: the rest is lost, as each record would be
    f.size += n;
    size_t at = from + static_cast<size_t>(n);
    if (at == to) return;
    while (run.ends[r] <= at) ++r;  // r: the torn record
    struct stat st;
    off_t torn = static_cast<off_t>(at - run.start(r));
    if (fstat(f.fd, &st) == 0 && st.st_size >= torn) {
      if (ftruncate(f.fd, st.st_size - torn) == 0) f.size = st.st_size - torn;
    }
    ++r;
  }
}

// Appends records [first, count) to f: a record that starts when the file holds kRotateSize
// bytes or more goes to a fresh file after the move to rotated_path, as it would written alone.
// reopen(moved) gives the fresh file. Async-signal-safe when reopen is.
template <class Reopen>
void append_rotating(log_file& f, const record_run& run, uint32_t first, uint32_t count,
                     const char* path, const char* rotated_path, Reopen reopen,
                     std::atomic<uint32_t>* handed) {
  uint32_t from = first;
  for (uint32_t r = first; r < count && f.fd >= 0 && f.regular; ++r) {
    // The first record from r on that would start at kRotateSize or past it (records start in
    // order, so it is searched for by halves; a walk of 1,000 rules holds 2,000 records).
    const off_t room = kRotateSize - f.size;
    uint32_t hi = count;
    while (r < hi) {
      const uint32_t mid = r + (hi - r) / 2;
      if (static_cast<off_t>(run.start(mid) - run.start(from)) >= room)
        hi = mid;
      else
        r = mid + 1;
    }
    if (r == count) break;
    write_run(f, run, from, r, handed);
    from = r;
    reopen(rename(path, rotated_path) == 0);
  }
  write_run(f, run, from, count, handed);
}

// Records [first, count) to the log. The log's name is examined once for the write, except that
// a walk's write skips it when the name was examined less than kWalkExamineNs ago: in a burst of
// lines the examination would double the system calls of a line, and a file moved, cut or
// removed by somebody else is still seen within that time. Caller holds s.mutex.
void append_records(log_state& s, const record_run& run, uint32_t first, uint32_t count,
                    std::atomic<uint32_t>* handed, bool walk) {
  if (!s.to_file) {
    if (s.stream) {
      fwrite(run.data + run.start(first), 1, run.ends[count - 1] - run.start(first), s.stream);
      fflush(s.stream);
    }
    return;
  }
  refresh_paths(s);
  const long long now = monotonic_coarse_ns();
  if (!walk || s.file.fd < 0 || now < s.examined_ns || now - s.examined_ns >= kWalkExamineNs) {
    struct stat st;
    bool exists = stat_log(s, &st);
    ensure_open(s, exists ? &st : nullptr);
    s.examined_ns = now;
  }
  auto reopen = [&s](bool moved) {
    if (moved) close_fd(s);
    ensure_open(s, nullptr);
  };
  append_rotating(s.file, run, first, count, s.path.c_str(), s.rotated_path.c_str(), reopen,
                  handed);
}

}  // namespace

void log_file_append_locked(const record_run& run, uint32_t first, uint32_t count,
                            std::atomic<uint32_t>* handed, bool walk) {
  append_records(state(), run, first, count, handed, walk);
}

void log_file_locked(void (*fn)(void*), void* arg) {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  log_walk_write_finished();
  fn(arg);
}

bool log_file_write_finished_if_free() {
  log_state& s = state();
  for (int i = 0; i < 100; ++i) {
    std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
    if (lock.owns_lock()) {
      log_walk_write_finished();
      return true;
    }
    usleep(1000);
  }
  return false;
}

void log_file_write(const char* record, size_t len) {
  const uint32_t end = static_cast<uint32_t>(len);
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  log_walk_write_finished();
  append_records(s, record_run{record, &end}, 0, 1, nullptr, false);
}

void log_file_crash_append(const record_run& run, uint32_t first, uint32_t count) {
  if (crash_path[0] == '\0') return;
  struct stat st;
  log_file f = open_log(crash_path, &st);
  auto reopen = [&f](bool) {
    if (f.fd >= 0) close(f.fd);
    struct stat again;
    f = open_log(crash_path, &again);
  };
  append_rotating(f, run, first, count, crash_path, crash_rotated_path, reopen, nullptr);
  if (f.fd >= 0) close(f.fd);
}

void kiv_log_to_stream(FILE* stream) {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.to_file = false;
  s.stream = stream;
  log_discarding.store(stream == nullptr);
  log_file_mode.store(false);
  close_fd(s);
  close_dir(s);
}

void kiv_log_to_file() {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.to_file = true;
  s.stream = nullptr;
  log_discarding.store(false);
  log_file_mode.store(true);
}

int kiv_log_error() {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.open_error;
}
