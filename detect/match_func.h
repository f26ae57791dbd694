// Whether one log line matches one monitor profile.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "rules/monitor_profile.h"

int match_func(const monitor_profile* profile, const char* line);
// The same for a piece of a line whose length (strlen) the caller knows (a walk measures it once
// for every profile) and whose place in its line it tells: "^" and "$" are the line's ends.
int match_func(const monitor_profile* profile, const char* line, size_t length,
               line_place place = {});

// A piece's records of non-matches, shared by the profiles of one walk: the piece's own record
// is made at the first and written for every profile that does not match.
struct no_match_records {
  std::string_view piece;
  std::string reason;  // made at the first non-match
};
// The records match_func writes, profile after profile, for a run of profiles whose literals the
// piece lacks (each one's prefilter turns the piece away, REG_NOMATCH), without looking at the
// piece: for a walk whose set's shared prefilter has found that already. Every profile of the
// run must have an expression; each keeps its record of its pattern for the next walk.
void match_func_turned_away(std::span<monitor_profile> run, no_match_records& records);
