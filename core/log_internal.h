// What the three parts of the log facility give each other; callers include core/kiv_log.h.
//   core/log_record.cc  the text of a record (head, message, the cut) and its console copy;
//   core/log_file.cc    where records go: /tmp/kiv.log with rotation, or a tool's stream;
//   core/log_walk.cc    walk batches (a line's records held and written together) and the
//                       crash flush of what they hold.
// A record is made in place (in the walk's buffer when its thread walks), so it is copied once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Longest record, line end included: what the design's command form carried. Longer ones are cut.
inline constexpr size_t kMaxRecord = 997;

// Records dropped (a tool's kiv_log_to_stream(nullptr)): they are then neither formatted nor
// copied to the console, so a tool writes nowhere and its per-line walk stays cheap.
extern std::atomic<bool> log_discarding;
// Records go to the log file (not to a tool's stream): only then are walks held.
extern std::atomic<bool> log_file_mode;

// A run of whole records: record r of `data` ends at ends[r] and starts where r - 1 ends.
struct record_run {
  const char* data;
  const uint32_t* ends;
  size_t start(uint32_t r) const { return r == 0 ? 0 : ends[r - 1]; }
};

// ---- core/log_file.cc ---------------------------------------------------------------------

// Records [first, count) of run to where records go, with rotation at each record that starts
// past the size limit; the caller holds the log's mutex (inside log_file_locked). `walk`: the
// write of a walk, which may skip examining the log's name (see log_file.cc). *handed (when
// given) counts the records handed to write() so far, for a crash flush that interrupts this
// write.
void log_file_append_locked(const record_run& run, uint32_t first, uint32_t count,
                            std::atomic<uint32_t>* handed, bool walk);
// Runs fn(arg) under the log's mutex, after the records of finished walks that any thread holds
// (log_walk_write_finished); fn writes through log_file_append_locked.
void log_file_locked(void (*fn)(void*), void* arg);
// The records of finished walks that any thread holds, when the log's mutex is free within
// about 100 ms; false otherwise (at exit).
bool log_file_write_finished_if_free();
// One record, behind the records of finished walks that any thread holds.
void log_file_write(const char* record, size_t len);
// Records [first, count) of run to the log on a descriptor of the caller's own, without the
// mutex, with the same rotation: for a fatal-signal handler. Async-signal-safe. Nothing when no
// record reached the log file yet.
void log_file_crash_append(const record_run& run, uint32_t first, uint32_t count);

// ---- core/log_walk.cc ---------------------------------------------------------------------

// The place of the next record in this thread's walk buffer (room for kMaxRecord + 1 bytes);
// none when the thread is not walking or no room can be had.
char* log_walk_slot();
// The place for `records` more records of `bytes` together in this thread's walk buffer; none
// when the thread is not walking or no room can be had.
char* log_walk_room(size_t bytes, uint32_t records);
// Under the log's mutex, before any other record goes out: writes the records of finished walks
// that every walk buffer holds (a batching walker's earlier lines), so that the file keeps the
// order in which the records were made.
void log_walk_write_finished();
// `count` records of the sizes of `records`, put one after another at log_walk_room(), are
// whole: held and copied to the console as log_walk_commit holds and copies each.
void log_walk_commit_run(const char* at, const std::string_view* records, uint32_t count);
// The record of `len` bytes made at log_walk_slot() is whole: it is held, and copied to the
// console when the walk read kiv_debug_flag as "1".
void log_walk_commit(const char* record, size_t len);
