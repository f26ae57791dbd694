// The syslog monitor thread: follows the system log and records matches in the profiles' rings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "rules/monitor_profile.h"

// Characters one line read takes: a longer line arrives as several pieces.
inline constexpr size_t KIV_PIECE_MAX = 255;
// Length of the next piece of the `avail` bytes at `text`, as the line read gives it: up to and
// including the line end, at most KIV_PIECE_MAX characters, or the rest once the input has
// ended (`at_end`); 0 while it is not complete. *line_end tells whether it ends with '\n'.
size_t next_piece_length(const char* text, size_t avail, bool at_end, bool* line_end);

void* monitor_syslog(void* json_path);
void _monitor_syslog();
void stop_tail_cmd();
// Walks one line over the `n` profiles of `set`: every active profile whose pattern matches gets
// the match time in its ring, with the records of the match, and `matched` (when given) is told
// its index. The match time is `now` when given, else the uptime, read once at the first match.
// The daemon's walk and the rule author's replay both walk with this; the caller holds the lock
// that guards the set.
void walk_profiles(monitor_profile* set, int32_t n, const char* line, std::optional<float> now,
                   const std::function<void(int32_t)>& matched = {});
// One line walked over the live rule set under mp_mutex, with every record the walk writes; the
// records (and those the caller's walk holds, such as "pBuf") are in the file before the lock is
// released, and what the caller's walk holds goes to the file before the walker waits for the
// lock. `pause_logged` is the thread's pause state; false when the set is paused and the line
// dropped.
bool walk_log_line(const char* line, int* pause_logged);
