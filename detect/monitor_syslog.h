// The syslog monitor thread: follows the system log and records matches in the profiles' rings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "rules/rule_set.h"

// Characters one line read takes: a longer line arrives as several pieces.
inline constexpr size_t KIV_PIECE_MAX = 255;
// Length of the next piece of the `avail` bytes at `text`, as the line read gives it: up to and
// including the line end, at most KIV_PIECE_MAX characters, or the rest once the input has
// ended (`at_end`); 0 while it is not complete. *line_end tells whether it ends with '\n'.
size_t next_piece_length(const char* text, size_t avail, bool at_end, bool* line_end);

// A piece of a log line as the walk takes it: its text, its place in its line, and the number
// of that line (counted from 1 by whoever reads the log), so that one line is counted once.
struct log_piece {
  const char* text = "";
  line_place place;
  uint64_t line = 1;
};

void* monitor_syslog(void* json_path);
void _monitor_syslog();
void stop_tail_cmd();
// Walks one piece over the active profiles of `set`: every profile whose pattern matches gets
// the match time in its ring, with the records of the match, once for each line however many of
// its pieces match, and `matched` (when given) is told its file index. The match time is `now`
// when given, else the uptime, read once at the first match. The daemon's walk and the rule
// author's replay both walk with this; the caller holds the lock that guards the set.
void walk_profiles(rule_set& set, const log_piece& piece, std::optional<double> now,
                   const std::function<void(int32_t)>& matched = {});
// One piece walked over the live rule set under mp_mutex, with every record the walk writes;
// the records (and those the caller's walk holds, such as "pBuf") are in the file before the
// lock is released, and what the caller's walk holds goes to the file before the walker waits
// for the lock. `pause_logged` is the thread's pause state; false when the set is paused and the
// piece dropped.
bool walk_log_line(const log_piece& piece, int* pause_logged);
