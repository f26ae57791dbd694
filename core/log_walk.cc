// Walk batches and the crash flush: a thread inside a walk (kiv_log_walk) holds its records in a
// walk buffer and writes them together: at the walk's end, or, for a batching walker (the syslog
// monitor), once it is about to wait, so the lines of one read cost one write together. One log
// line walked over 100 profiles is about 200 records, and at one rule the write of a line cost
// more than its matching.
//
// DESIGN
// - What runs where. The thread that makes a walk (the syslog monitor in the daemon; tests and
//   tools may walk too) is the only one that appends to its buffer; a buffer is taken from a
//   fixed set of four at the walk's start and given back at its end, or for a batching thread
//   when it stops batching or ends (a thread that finds all four taken writes record by
//   record). Any other thread's records never enter a walk buffer. Every write of records runs
//   under the log's mutex and first writes the records of finished walks that any buffer holds
//   ([written, sealed)): the owner's writes, and every other thread's record, so the file keeps
//   the order in which records were made. Only the owner empties its buffer, under that mutex.
//   A fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT), in whatever thread it is taken,
//   runs kiv_log_crash_flush, which writes every record still held with async-signal-safe calls
//   only, on a descriptor of its own.
// - What is guaranteed. The bytes in the log and the rotation boundaries are those of writing
//   record by record (core/log_file.cc rotates inside a batch at the same records). A walk's
//   records are in the file whenever the walker calls kiv_log_walk_write (before every wait),
//   before any later record of any thread, when a walk ends with 64 KiB or more held, and, unless
//   the thread batches, when any of its kiv_log_walk objects ends. A record counts only once it
//   is whole (its end is published in `count` after its bytes), so the handler writes whole
//   records only; and a record is written once: by a writer, or by the handler that claims the
//   buffer (records before `written`, and what this thread handed to write() before the signal
//   cut its own write short, are not written again). Storage the handler or a writer may be
//   reading is never freed under it: a larger block replaces a full one, and the old block goes
//   only at the owner's next write of its buffer, under the log's mutex, which a claimed buffer
//   never reaches (the writer then waits for the end of the process).
// - What is not. A buffer that another thread is writing when the signal comes is let finish for
//   about three seconds; past that its records are left out rather than written twice or torn.
//   A walk in progress is never written by another thread (only finished ones are), so a line's
//   records stay together unless its own walk outgrows the buffer.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/kiv_log.h"
#include "core/log_internal.h"
#include "platform/platform.h"

namespace {

// Records one buffer holds before it writes early: a line walked over about 2000 profiles.
constexpr uint32_t kWalkRecords = 4096;
constexpr size_t kWalkStartBytes = 32768;  // a walk over 100 profiles is about 20 KB
// A batching walker writes once its buffer holds this much at a walk's end: a syscall per
// 64 KiB of records instead of one a line, and a buffer of about twice that at most.
constexpr size_t kBatchBytes = 65536;
constexpr int kWriting = 1;  // a writer (under the log's mutex) is writing records out
constexpr int kClaimed = 2;  // a fatal-signal handler writes them

// The records a walker holds. The owner thread appends them; they are written under the log's
// mutex by the owner, or, for finished walks, by any thread that writes a record; a
// fatal-signal handler, in any thread, may claim them and write what is whole and not written.
// Records [written, count) are held; [written, sealed) belong to walks that ended.
struct walk_buffer {
  std::atomic<bool> taken{false};
  std::atomic<int> flags{0};
  std::atomic<char*> data{nullptr};
  std::atomic<uint32_t> count{0};    // whole records in the buffer
  std::atomic<uint32_t> sealed{0};   // records of walks that ended
  std::atomic<uint32_t> written{0};  // records in the file already
  std::atomic<uint32_t> handed{0};   // records handed to write() by the write under way
  uint32_t ends[kWalkRecords];       // end of each record held, in data
  size_t capacity = 0;               // owner only, as is the rest
  char* retired[32] = {};            // blocks replaced by larger ones, freed at the next write
  int retired_count = 0;
};
static_assert(std::atomic<char*>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "walk buffers are read by a signal handler");

// A few threads may walk at once (tests, tools); the daemon has one walker.
walk_buffer walk_buffers[4];

thread_local walk_buffer* my_walk = nullptr;     // this thread's buffer while it walks or holds
thread_local walk_buffer* my_writing = nullptr;  // the buffer this thread is writing out
thread_local int walk_depth = 0;
thread_local bool walk_console = false;  // the walk's reading of kiv_debug_flag
thread_local bool my_batching = false;   // walks keep their records past their end

walk_buffer* take_walk_buffer() {
  for (walk_buffer& b : walk_buffers) {
    bool free = false;
    if (b.taken.compare_exchange_strong(free, true)) return &b;
  }
  return nullptr;  // all taken: this thread's records are written one by one
}

// A claimed buffer is the handler's until the process ends: its writers wait for that.
[[noreturn]] void wait_for_the_end() {
  for (;;) pause();
}

// Marks b as being written out by this thread, for a handler that may come meanwhile; a
// claimed buffer is the handler's, and this thread then waits for the end.
void begin_write(walk_buffer& b) {
  if (b.flags.fetch_or(kWriting) & kClaimed) wait_for_the_end();
  my_writing = &b;
}

void end_write(walk_buffer& b) {
  my_writing = nullptr;
  b.flags.fetch_and(~kWriting);
}

// Records [written, last) of b to the file. Caller holds the log's mutex and has begun writing.
void write_held(walk_buffer& b, uint32_t last) {
  const uint32_t first = b.written.load(std::memory_order_relaxed);
  if (last <= first) return;
  b.handed.store(first);
  log_file_append_locked(record_run{b.data.load(std::memory_order_acquire), b.ends}, first, last,
                         &b.handed, true);
  b.written.store(last);
}

// Everything the owner's buffer holds to the file, and the buffer empty again. Caller holds the
// log's mutex and owns b.
void write_own(void* arg) {
  walk_buffer& b = *static_cast<walk_buffer*>(arg);
  begin_write(b);
  write_held(b, b.count.load(std::memory_order_relaxed));
  // Emptied in this order so that a handler that interrupts it never writes a record twice.
  b.count.store(0);
  b.sealed.store(0);
  b.written.store(0);
  b.handed.store(0);
  for (int i = 0; i < b.retired_count; ++i) free(b.retired[i]);
  b.retired_count = 0;
  end_write(b);
}

// Writes what the walk holds (owner only).
void write_walk(walk_buffer& b) {
  if (b.count.load(std::memory_order_relaxed) == 0 && b.retired_count == 0) return;
  log_file_locked(write_own, &b);
}

size_t bytes_held(const walk_buffer& b) {
  const uint32_t n = b.count.load(std::memory_order_relaxed);
  return n == 0 ? 0 : b.ends[n - 1];
}

// Room for `records` more records of `bytes` together behind the ones held; false when no
// memory can be had (the records are then written on their own).
bool make_room(walk_buffer& b, size_t bytes, uint32_t records) {
  if (b.count.load(std::memory_order_relaxed) + records > kWalkRecords || b.retired_count == 32)
    write_walk(b);
  const size_t used = bytes_held(b);
  if (b.capacity - used >= bytes) return true;
  size_t capacity = b.capacity == 0 ? kWalkStartBytes : b.capacity * 2;
  while (capacity - used < bytes) capacity *= 2;
  char* bigger = static_cast<char*>(malloc(capacity));
  if (!bigger) return false;
  char* old = b.data.load(std::memory_order_relaxed);
  if (used > 0) memcpy(bigger, old, used);
  b.data.store(bigger, std::memory_order_release);
  if (old) b.retired[b.retired_count++] = old;
  b.capacity = capacity;
  return true;
}

// This thread's buffer written and given back.
void give_back() {
  if (!my_walk) return;
  write_walk(*my_walk);
  my_walk->taken.store(false);
  my_walk = nullptr;
}

// Ends a batching thread's holding when the thread ends.
struct batch_guard {
  ~batch_guard() { kiv_log_batch_walks(false); }
};

// At exit, what finished walks of any thread hold; not when the log stays busy (a thread that
// holds its mutex at exit must not keep the process from ending).
void write_finished_at_exit() {
  log_file_write_finished_if_free();
}

// Waits (a few seconds at most) until the writer of b, running in another thread, has finished
// the write it was in.
bool wait_write_done(walk_buffer& b) {
  for (int i = 0; i < 3000; ++i) {
    if ((b.flags.load() & kWriting) == 0) return true;
    poll(nullptr, 0, 1);  // a pause that is async-signal-safe
  }
  return false;
}

// Records [first, count) of a claimed buffer to the log.
void crash_write(walk_buffer& b, uint32_t first) {
  uint32_t n = b.count.load(std::memory_order_acquire);
  const char* data = b.data.load(std::memory_order_acquire);
  if (n <= first || !data) return;
  log_file_crash_append(record_run{data, b.ends}, first, n);
}

void on_fatal_signal(int sig) {
  kiv_log_crash_flush();
  // The handler was reset to the default action on entry (SA_RESETHAND): the signal raised
  // again ends the process as soon as this handler returns.
  raise(sig);
}

}  // namespace

char* log_walk_slot() {
  return log_walk_room(kMaxRecord + 1, 1);
}

char* log_walk_room(size_t bytes, uint32_t records) {
  walk_buffer* b = my_walk;
  if (!b || walk_depth == 0 || !make_room(*b, bytes, records)) return nullptr;
  return b->data.load(std::memory_order_relaxed) + bytes_held(*b);
}

void log_walk_commit(const char* record, size_t len) {
  walk_buffer& b = *my_walk;
  uint32_t n = b.count.load(std::memory_order_relaxed);
  b.ends[n] = static_cast<uint32_t>((n == 0 ? 0 : b.ends[n - 1]) + len);
  b.count.store(n + 1, std::memory_order_release);
  // Console copy: the record without the "[KIV]" tag.
  if (walk_console && len > 5) console_write(record + 5, len - 5);
}

void log_walk_commit_run(const char* at, const std::string_view* records, uint32_t count) {
  walk_buffer& b = *my_walk;
  uint32_t n = b.count.load(std::memory_order_relaxed);
  uint32_t end = n == 0 ? 0 : b.ends[n - 1];
  for (uint32_t r = 0; r < count; ++r) {
    end += static_cast<uint32_t>(records[r].size());
    b.ends[n + r] = end;
  }
  b.count.store(n + count, std::memory_order_release);
  // Console copy: each record without the "[KIV]" tag.
  for (uint32_t r = 0; walk_console && r < count; at += records[r++].size())
    if (records[r].size() > 5) console_write(at + 5, records[r].size() - 5);
}

void log_walk_write_finished() {
  for (walk_buffer& b : walk_buffers) {
    const uint32_t sealed = b.sealed.load(std::memory_order_acquire);
    if (sealed <= b.written.load(std::memory_order_relaxed)) continue;
    begin_write(b);
    write_held(b, sealed);
    end_write(b);
  }
}

kiv_log_walk::kiv_log_walk() {
  if (walk_depth++ > 0 || log_discarding.load(std::memory_order_relaxed)) return;
  walk_console = nvram_match("kiv_debug_flag", "1");
  if (!my_walk && log_file_mode.load(std::memory_order_relaxed)) my_walk = take_walk_buffer();
}

kiv_log_walk::~kiv_log_walk() {
  if (!my_batching) {
    if (my_walk) write_walk(*my_walk);
    if (--walk_depth > 0) return;
    walk_console = false;
    give_back();
    return;
  }
  if (--walk_depth > 0) return;
  walk_console = false;
  if (!my_walk) return;
  // The walk's records are now those of a finished walk: any thread's record writes them first.
  my_walk->sealed.store(my_walk->count.load(std::memory_order_relaxed), std::memory_order_release);
  if (bytes_held(*my_walk) >= kBatchBytes) write_walk(*my_walk);
}

void kiv_log_walk_write() {
  if (my_walk) write_walk(*my_walk);
}

void kiv_log_batch_walks(bool on) {
  if (on && !my_batching) {
    static thread_local batch_guard guard;  // made on this first use, ended with the thread
    (void)guard;
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true)) atexit(write_finished_at_exit);
  }
  my_batching = on;
  if (!on && walk_depth == 0) give_back();
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
      // the file. Another thread's write is let finish; it leaves written up to date.
      if (&b == my_writing)
        first = b.handed.load();  // with written, never behind it
      else if (!wait_write_done(b))
        continue;
    }
    const uint32_t written = b.written.load();
    crash_write(b, first > written ? first : written);
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
