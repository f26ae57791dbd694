// What the three parts of the log facility (core/kiv_log.h names them) give each other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Longest record, line end included: what the design's command form carried. Longer ones are cut.
inline constexpr size_t kMaxRecord = 997;

extern std::atomic<bool> log_discarding;  // a tool's kiv_log_to_stream(nullptr): none made
extern std::atomic<bool> log_file_mode;   // records go to the log file: only then walks hold

// A run of whole records: record r of `data` ends at ends[r] and starts where r - 1 ends.
struct record_run {
  const char* data;
  const uint32_t* ends;
  size_t start(uint32_t r) const { return r == 0 ? 0 : ends[r - 1]; }
};

// core/log_file.cc: fn(arg) under the log's mutex; records [0, count) of run to where records go,
// rotating at each record that starts past the size limit, by a caller that holds the mutex
// (_locked), for one record, or, for a fatal-signal handler, without the mutex on a descriptor
// of its own (async-signal-safe).
void log_file_locked(void (*fn)(void*), void* arg);
void log_file_append_locked(const record_run& run, uint32_t count, bool walk);
void log_file_write(const char* record, size_t len);
void log_file_crash_append(const record_run& run, uint32_t count);

// core/log_walk.cc: whole records (none longer than kMaxRecord) copied into the walk's buffer as
// one run and to the console: false, and nothing held, when this thread does not hold the buffer
// or the run is larger than it.
bool log_walk_put(const std::string_view* records, size_t count);
