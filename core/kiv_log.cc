// The log facility. Records are appended on a descriptor kept open; the descriptor is opened
// again when the daemon rotates or when the file at the path is no longer the one held open
// (removed or moved away by somebody else). A write examines the log's name once (the
// directory is held open, so no full path is walked); a walk's write does so when the last
// examination is 10 ms old or more. The size that decides rotation is the examined size plus
// what kiv has written since (it is the log's only writer), so a file cut or replaced behind
// kiv's back is seen at the next examination. No record text ever reaches a shell. One mutex
// serialises rotation and append, so two threads never lose the rotated file.
//
// A thread inside a walk (kiv_log_walk) collects its records in a walk buffer and writes them
// together at the walk's end: one log line walked over 100 profiles is about 200 records, and a
// system call per record cost far more than the matching. A fatal signal writes the records
// still held, from the handler, with async-signal-safe calls only.
#include "core/kiv_log.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/paths.h"
#include "platform/platform_posix.h"

namespace {

constexpr off_t kRotateSize = 1048577;  // more than 1 MiB
constexpr size_t kMaxRecord = 997;      // longest record the design's command form carried
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

// Records dropped (a tool's kiv_log_to_stream(nullptr)): they are then neither formatted nor
// copied to the console, so a tool writes nowhere and its per-line walk stays cheap.
std::atomic<bool> discarding{false};
// Records go to the log file (not to a tool's stream): only then are walks held.
std::atomic<bool> file_mode{true};

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

// A run of whole records: record r of `data` ends at ends[r] and starts where r - 1 ends.
struct record_run {
  const char* data;
  const uint32_t* ends;
  size_t start(uint32_t r) const { return r == 0 ? 0 : ends[r - 1]; }
};

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
  for (uint32_t r = first; r < count; ++r) {
    off_t at_start = f.size + static_cast<off_t>(run.start(r) - run.start(from));
    if (f.fd < 0 || !f.regular || at_start < kRotateSize) continue;
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

void write_record(const char* record, size_t len) {
  log_state& s = state();
  const uint32_t end = static_cast<uint32_t>(len);
  std::lock_guard<std::mutex> lock(s.mutex);
  append_records(s, record_run{record, &end}, 0, 1, nullptr, false);
}

// ---- Walk buffers -------------------------------------------------------------------------

// Records one walk holds before it writes early: a line walked over about 2000 profiles.
constexpr uint32_t kWalkRecords = 4096;
constexpr size_t kWalkStartBytes = 32768;  // a walk over 100 profiles is about 20 KB
constexpr int kWriting = 1;                // the owner is writing the records out
constexpr int kClaimed = 2;                // a fatal-signal handler writes them

// The records a walk holds. The owner thread appends and writes them; a fatal-signal handler,
// in any thread, may claim them and write what is whole. A record counts once its end is
// published in `count`, so the handler never sees a part of one. Storage that the handler may be
// reading is never freed under it: a larger block replaces a full one, and the old block goes
// only at the owner's next write, which a claimed buffer never reaches.
struct walk_buffer {
  std::atomic<bool> taken{false};
  std::atomic<int> flags{0};
  std::atomic<char*> data{nullptr};
  std::atomic<uint32_t> count{0};   // whole records held
  std::atomic<uint32_t> handed{0};  // records handed to write() by the write under way
  uint32_t ends[kWalkRecords];      // end of each record held, in data
  size_t capacity = 0;              // owner only, as is the rest
  char* retired[32] = {};           // blocks replaced by larger ones, freed at the next write
  int retired_count = 0;
};
static_assert(std::atomic<char*>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "walk buffers are read by a signal handler");

// A few threads may walk at once (tests, tools); the daemon has one walker.
walk_buffer walk_buffers[4];

thread_local walk_buffer* my_walk = nullptr;  // this thread's buffer while it walks
thread_local int walk_depth = 0;
thread_local bool walk_console = false;  // the walk's reading of kiv_debug_flag

walk_buffer* take_walk_buffer() {
  for (walk_buffer& b : walk_buffers) {
    bool free = false;
    if (b.taken.compare_exchange_strong(free, true)) return &b;
  }
  return nullptr;  // all taken: this thread's records are written one by one
}

// A claimed buffer is the handler's until the process ends: its owner waits for that.
[[noreturn]] void wait_for_the_end() {
  for (;;) pause();
}

// Writes what the walk holds (owner only).
void write_walk(walk_buffer& b) {
  uint32_t n = b.count.load(std::memory_order_relaxed);
  if (n == 0 && b.retired_count == 0) return;
  if (b.flags.fetch_or(kWriting) & kClaimed) wait_for_the_end();
  if (n > 0) {
    log_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    append_records(s, record_run{b.data.load(std::memory_order_relaxed), b.ends}, 0, n, &b.handed,
                   true);
  }
  b.count.store(0);
  b.handed.store(0);
  for (int i = 0; i < b.retired_count; ++i) free(b.retired[i]);
  b.retired_count = 0;
  b.flags.fetch_and(~kWriting);
}

// Room for one more record of at most kMaxRecord + 1 bytes behind the ones held; false when
// no memory can be had (the record is then written on its own).
bool make_room(walk_buffer& b) {
  uint32_t n = b.count.load(std::memory_order_relaxed);
  if (n == kWalkRecords || b.retired_count == 32) {
    write_walk(b);
    n = 0;
  }
  size_t used = n == 0 ? 0 : b.ends[n - 1];
  if (b.capacity - used > kMaxRecord) return true;
  size_t capacity = b.capacity == 0 ? kWalkStartBytes : b.capacity * 2;
  char* bigger = static_cast<char*>(malloc(capacity));
  if (!bigger) return false;
  char* old = b.data.load(std::memory_order_relaxed);
  if (used > 0) memcpy(bigger, old, used);
  b.data.store(bigger, std::memory_order_release);
  if (old) b.retired[b.retired_count++] = old;
  b.capacity = capacity;
  return true;
}

// The place of the next record in this thread's walk buffer (room for kMaxRecord + 1 bytes);
// none when the thread is not walking.
char* walk_slot() {
  walk_buffer* b = my_walk;
  if (!b || !make_room(*b)) return nullptr;
  uint32_t n = b->count.load(std::memory_order_relaxed);
  return b->data.load(std::memory_order_relaxed) + (n == 0 ? 0 : b->ends[n - 1]);
}

// The record of `len` bytes made at walk_slot() is whole.
void commit_walk_record(size_t len) {
  walk_buffer& b = *my_walk;
  uint32_t n = b.count.load(std::memory_order_relaxed);
  b.ends[n] = static_cast<uint32_t>((n == 0 ? 0 : b.ends[n - 1]) + len);
  b.count.store(n + 1, std::memory_order_release);
}

// A record made at `record` (a walk slot or a buffer of the caller): to the walk buffer or to
// the file, and to the console.
void emit(char* record, size_t len, bool in_walk) {
  if (in_walk) {
    commit_walk_record(len);
    if (walk_console && len > 5) console_write(record + 5, len - 5);
    return;
  }
  write_record(record, len);
  // Console copy: the record without the "[KIV]" tag.
  if (len > 5 && nvram_match("kiv_debug_flag", "1")) console_write(record + 5, len - 5);
}

// ---- Record text --------------------------------------------------------------------------

// A record being made: at most kMaxRecord bytes kept of a text of `full` bytes. A longer record
// is cut, and keeps the line end its message had.
struct record_builder {
  char* out;
  size_t at = 0;
  size_t full = 0;
  char last = 0;  // last byte of the whole text

  void put(const char* text, size_t n) {
    if (n == 0) return;
    size_t room = kMaxRecord - at;
    size_t k = n < room ? n : room;
    memcpy(out + at, text, k);
    at += k;
    full += n;
    last = text[n - 1];
  }
  void put(const char* text) { put(text, strlen(text)); }
  void put_int(long value) {
    char digits[24];
    size_t n = sizeof digits;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      digits[--n] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--n] = '-';
    put(digits + n, sizeof digits - n);
  }
  size_t finish() {
    if (full > kMaxRecord && last == '\n') out[kMaxRecord - 1] = '\n';
    return at;
  }
};

// "[KIV][" func ":(" line ")]"; built by hand because it is written in front of every record
// and a format would cost more than the rest of the record.
void put_head(record_builder& b, const char* func, int line) {
  b.put("[KIV][", 6);
  b.put(func ? func : "");
  b.put(":(", 2);
  b.put_int(line);
  b.put(")]", 2);
}

// The message when its format has only text, "%s" (of a text that is there), "%d" and "%%",
// as most records do; false for anything else, which vsnprintf then formats.
bool put_simple(record_builder& b, const char* fmt, va_list ap) {
  for (const char* at = fmt; *at;) {
    const char* percent = strchr(at, '%');
    if (!percent) {
      b.put(at);
      return true;
    }
    b.put(at, static_cast<size_t>(percent - at));
    if (percent[1] == 's') {
      const char* text = va_arg(ap, const char*);
      if (!text) return false;  // what the C library prints for none is its own affair
      b.put(text);
    } else if (percent[1] == 'd') {
      b.put_int(va_arg(ap, int));
    } else if (percent[1] == '%') {
      b.put("%", 1);
    } else {
      return false;
    }
    at = percent + 2;
  }
  return true;
}

// The message through vsnprintf, behind a head of `head` bytes.
void put_formatted(record_builder& b, size_t head, const char* fmt, va_list ap) {
  va_list again;
  va_copy(again, ap);
  b.at = b.full = head;
  int body = vsnprintf(b.out + head, kMaxRecord + 1 - head, fmt, ap);
  if (body > 0) {
    b.full = head + static_cast<size_t>(body);
    b.at = b.full < kMaxRecord ? b.full : kMaxRecord;
    if (b.full <= kMaxRecord) {
      b.last = b.out[b.full - 1];
    } else {  // too long: the last byte is looked for in the whole message (rare path)
      std::string message(static_cast<size_t>(body) + 1, '\0');
      vsnprintf(message.data(), message.size(), fmt, again);
      b.last = message[static_cast<size_t>(body) - 1];
    }
  }
  va_end(again);
}

// ---- Fatal signals ------------------------------------------------------------------------

// Waits (a few seconds at most) until the owner of b, running in another thread, has finished
// the write it was in.
bool wait_write_done(walk_buffer& b) {
  for (int i = 0; i < 3000; ++i) {
    if ((b.flags.load() & kWriting) == 0) return true;
    poll(nullptr, 0, 1);  // a pause that is async-signal-safe
  }
  return false;
}

// Records [first, count) of a claimed buffer to the log, on a descriptor of the handler's own.
void crash_write(walk_buffer& b, uint32_t first) {
  uint32_t n = b.count.load(std::memory_order_acquire);
  const char* data = b.data.load(std::memory_order_acquire);
  if (n <= first || !data || crash_path[0] == '\0') return;
  struct stat st;
  log_file f = open_log(crash_path, &st);
  auto reopen = [&f](bool) {
    if (f.fd >= 0) close(f.fd);
    struct stat again;
    f = open_log(crash_path, &again);
  };
  append_rotating(f, record_run{data, b.ends}, first, n, crash_path, crash_rotated_path, reopen,
                  nullptr);
  if (f.fd >= 0) close(f.fd);
}

void on_fatal_signal(int sig) {
  kiv_log_crash_flush();
  // The handler was reset to the default action on entry (SA_RESETHAND): the signal raised
  // again ends the process as soon as this handler returns.
  raise(sig);
}

}  // namespace

void kiv_log_to_stream(FILE* stream) {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.to_file = false;
  s.stream = stream;
  discarding.store(stream == nullptr);
  file_mode.store(false);
  close_fd(s);
  close_dir(s);
}

void kiv_log_to_file() {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.to_file = true;
  s.stream = nullptr;
  discarding.store(false);
  file_mode.store(true);
}

void kiv_log(const char* func, int line, const char* fmt, ...) {
  if (discarding.load(std::memory_order_relaxed)) return;
  char local[kMaxRecord + 1];
  char* slot = walk_slot();
  record_builder b{slot ? slot : local};
  put_head(b, func, line);
  const size_t head = b.at;
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  if (!put_simple(b, fmt, ap)) put_formatted(b, head, fmt, again);
  va_end(again);
  va_end(ap);
  emit(b.out, b.finish(), slot != nullptr);
}

std::string kiv_log_head(const char* func, int line) {
  char out[kMaxRecord + 1];
  record_builder b{out};
  put_head(b, func, line);
  return std::string(out, b.at);
}

void kiv_log_pieces(std::initializer_list<std::string_view> pieces) {
  if (discarding.load(std::memory_order_relaxed)) return;
  char local[kMaxRecord + 1];
  char* slot = walk_slot();
  record_builder b{slot ? slot : local};
  for (std::string_view piece : pieces) b.put(piece.data(), piece.size());
  emit(b.out, b.finish(), slot != nullptr);
}

kiv_log_walk::kiv_log_walk() {
  if (walk_depth++ > 0 || discarding.load(std::memory_order_relaxed)) return;
  walk_console = nvram_match("kiv_debug_flag", "1");
  if (file_mode.load(std::memory_order_relaxed)) my_walk = take_walk_buffer();
}

kiv_log_walk::~kiv_log_walk() {
  if (my_walk) write_walk(*my_walk);
  if (--walk_depth > 0) return;
  walk_console = false;
  if (!my_walk) return;
  my_walk->taken.store(false);
  my_walk = nullptr;
}

void kiv_log_walk_write() {
  if (my_walk) write_walk(*my_walk);
}

bool kiv_log_console() {
  if (walk_depth > 0) return walk_console;
  return nvram_match("kiv_debug_flag", "1");
}

void kiv_log_crash_flush() {
  int saved = errno;
  for (walk_buffer& b : walk_buffers) {
    if (b.count.load() == 0) continue;
    int flags = b.flags.fetch_or(kClaimed);
    if (flags & kClaimed) continue;  // another handler writes these
    uint32_t first = 0;
    if (flags & kWriting) {
      // This thread's own write was cut short by the signal: what it handed to write() is in
      // the file. Another thread's write is let finish; it leaves nothing held.
      if (&b == my_walk)
        first = b.handed.load();
      else if (!wait_write_done(b))
        continue;
    }
    crash_write(b, first);
  }
  errno = saved;
}

void kiv_log_flush_on_fatal_signals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) sigaction(sig, &sa, nullptr);
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

int kiv_log_error() {
  log_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.open_error;
}

void kiv_say(const char* fmt, ...) {
  char line[512] = "kiv: ";
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line + 5, sizeof line - 6, fmt, ap);
  va_end(ap);
  size_t len = 5 + (n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof line - 7));
  line[len++] = '\n';
  // One write, so the line never mixes with another writer's output.
  ssize_t w = write(2, line, len);
  (void)w;
}

void kiv_exit(int status) {
  fflush(nullptr);
  _exit(status);
}
