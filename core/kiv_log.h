// The daemon's log facility: /tmp/kiv.log, rotated by size to /tmp/kiv.log.1, with a console
// copy of every record while kiv_debug_flag is "1". Made of core/log_record.cc (the text of a
// record), core/log_file.cc (the file and its rotation) and core/log_walk.cc (a walk's records
// written together, and the crash flush).
#pragma once

#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Record: "[KIV][" func ":(" line ")]" message. The record is in the file when kiv_log returns,
// except inside a walk of this thread (below). Safe to call from every thread.
void kiv_log(const char* func, int line, const char* fmt, ...) KIV_PRINTF(3, 4);

// "[KIV][" func ":(" line ")]": the start of a record, for kiv_log_pieces.
std::string kiv_log_head(const char* func, int line);
// The record head + pieces..., without a format: for the records written for every log line,
// whose fixed start (head and the message's first words) is made once. Cut, console copy and
// file exactly as kiv_log gives the same text. No piece may hold a zero byte.
void kiv_log_pieces(std::initializer_list<std::string_view> pieces);
// The record kiv_log_pieces would write for these pieces (cut as it cuts), made once for a
// record written many times: a log line's record for every rule that does not match it.
std::string kiv_log_made(std::initializer_list<std::string_view> pieces);
// Records made by kiv_log_made, written one after another exactly as kiv_log_pieces writes each;
// inside a walk, copied into its buffer as one run (a line's records for the rules it does not
// match are most of what a walk holds).
void kiv_log_records(std::span<const std::string_view> made);

// The walk of one log line. While an object of this kind lives, the records of the thread that
// made it are held in the walk's buffer instead of written one by one, and written in one write
// (or as few as a rotation or a walk larger than the buffer needs) when the object ends, with
// the rotation at exactly the record boundaries that writing record by record gives. Objects
// nest (the outermost one makes the walk); kiv_debug_flag is read once per walk, at its start.
// One thread walks with the buffer at a time; another thread's walk writes record by record.
struct kiv_log_walk {
  kiv_log_walk();
  ~kiv_log_walk();
  kiv_log_walk(const kiv_log_walk&) = delete;
  kiv_log_walk& operator=(const kiv_log_walk&) = delete;
};
// Writes what this thread's walk holds now, without ending the walk: before the walker waits.
void kiv_log_walk_write();
// Whether records are copied to the console: the walk's reading of kiv_debug_flag inside a
// walk, the setting itself otherwise.
bool kiv_log_console();

// Installs handlers of SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT that write the records of
// the walk in progress (async-signal-safe calls only), then let the signal's default action
// end the process. Installed by the daemon only.
void kiv_log_flush_on_fatal_signals();
// What those handlers write; async-signal-safe.
void kiv_log_crash_flush();

// Where the records go. The daemon writes its log file; the tools (kivrule) either discard the
// records (nullptr) or send them to a stream of their own, and never touch /tmp/kiv.log.
void kiv_log_to_stream(FILE* stream);
void kiv_log_to_file();

// 0 while records reach the log file; otherwise the error that kept the last one out (no tmp/,
// a read-only file system).
int kiv_log_error();

// Log with the calling function's name and the source line.
#define KIV_LOG(fmt, ...) kiv_log(__func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
