// The syslog monitor thread: follows the system log and records matches in the profiles' rings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "detect/log_pieces.h"
#include "rules/rule_set.h"

// A piece of a log line as the walk takes it: its text, its place in its line, and the number
// of that line (counted from 1 by whoever reads the log), so that one line is counted once.
struct log_piece {
  const char* text = "";
  line_place place;
  uint64_t line = 1;
};

void* monitor_syslog(void*);
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
