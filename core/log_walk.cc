// A walk's records held together: while a thread walks a log line (kiv_log_walk), its records
// gather in the one walk buffer and go to the file in one write when the walk ends, rotated where
// writing each alone would rotate (core/log_file.cc): a line walked over 100 rules makes about 200
// records, and a write each cost more than matching the line. One thread holds the buffer at a
// time (the daemon has one walker); another writes record by record. A fatal signal in any thread
// runs kiv_log_crash_flush: it claims the buffer and writes its whole records once, with
// async-signal-safe calls only. Another thread's write under way is let finish (3 s at most) and
// that thread's next write waits for the end; a write the signal cut short is not made again.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/kiv_log.h"
#include "core/log_internal.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kWalkRecords = 2048;  // a line walked over about 1,000 rules
constexpr size_t kWalkBytes = 65536;     // a larger walk is written in parts
constexpr int kWriting = 1;              // the owner is writing the records out
constexpr int kClaimed = 2;              // a fatal-signal handler writes them

struct walk_buffer {
  std::atomic<bool> taken{false};
  std::atomic<int> flags{0};
  std::atomic<uint32_t> count{0};  // whole records held: published after their bytes
  uint32_t ends[kWalkRecords];     // where each record ends in data
  char data[kWalkBytes];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "read by a signal handler");

walk_buffer walk;
thread_local bool my_walk = false;     // this thread holds the buffer: only while it walks
thread_local bool my_writing = false;  // and is writing it out
thread_local int walk_depth = 0;
thread_local bool walk_console = false;  // the walk's reading of kiv_debug_flag

uint32_t bytes_held(uint32_t n) {
  return n == 0 ? 0 : walk.ends[n - 1];
}

// The records held to the file, and the buffer empty again. Caller holds the log's mutex.
void write_locked(void*) {
  int idle = 0;
  if (!walk.flags.compare_exchange_strong(idle, kWriting))
    for (;;) pause();  // claimed: the handler writes them, and the process is ending
  my_writing = true;
  log_file_append_locked(record_run{walk.data, walk.ends}, walk.count.load(), true);
  walk.count.store(0);
  my_writing = false;
  walk.flags.fetch_and(~kWriting);
}

void write_walk() {
  if (walk.count.load(std::memory_order_relaxed) > 0) log_file_locked(write_locked, nullptr);
}

void on_fatal_signal(int sig) {
  kiv_log_crash_flush();
  raise(sig);  // reset to the default action on entry (SA_RESETHAND): it ends the process
}

}  // namespace

bool log_walk_put(const std::string_view* records, size_t count) {
  if (!my_walk) return false;  // held only inside this thread's walk
  size_t bytes = 0;
  for (size_t r = 0; r < count; ++r) {
    if (records[r].size() > kMaxRecord) return false;  // cut on its own way
    bytes += records[r].size();
  }
  if (bytes > kWalkBytes || count > kWalkRecords) return false;
  uint32_t n = walk.count.load(std::memory_order_relaxed);
  if (n + count > kWalkRecords || kWalkBytes - bytes_held(n) < bytes) {
    write_walk();
    n = 0;
  }
  uint32_t end = bytes_held(n);
  for (size_t r = 0; r < count; ++r) {
    memcpy(walk.data + end, records[r].data(), records[r].size());
    if (walk_console && records[r].size() > 5)  // without the "[KIV]" tag
      console_write(walk.data + end + 5, records[r].size() - 5);
    end += static_cast<uint32_t>(records[r].size());
    walk.ends[n + r] = end;
  }
  walk.count.store(n + static_cast<uint32_t>(count), std::memory_order_release);
  return true;
}

kiv_log_walk::kiv_log_walk() {
  if (walk_depth++ > 0 || log_discarding.load(std::memory_order_relaxed)) return;
  walk_console = nvram_match("kiv_debug_flag", "1");
  bool free = false;
  if (log_file_mode.load(std::memory_order_relaxed))
    my_walk = walk.taken.compare_exchange_strong(free, true);
}

kiv_log_walk::~kiv_log_walk() {
  if (my_walk) write_walk();
  if (--walk_depth > 0) return;
  walk_console = false;
  if (my_walk) walk.taken.store(false);
  my_walk = false;
}

void kiv_log_walk_write() {
  if (my_walk) write_walk();
}

bool kiv_log_console() {
  return walk_depth > 0 ? walk_console : nvram_match("kiv_debug_flag", "1");
}

void kiv_log_crash_flush() {
  const int saved = errno;
  const int flags = walk.flags.fetch_or(kClaimed);
  bool skip = (flags & kClaimed) || ((flags & kWriting) && my_writing);
  for (int i = 0; !skip && i < 3000 && (walk.flags.load() & kWriting); ++i)
    poll(nullptr, 0, 1);  // another thread's write is let finish (an async-signal-safe pause)
  skip = skip || (walk.flags.load() & kWriting);
  const uint32_t n = walk.count.load();
  if (!skip && n > 0) log_file_crash_append(record_run{walk.data, walk.ends}, n);
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
