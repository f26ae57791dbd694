// kiv's own lines in the system log it follows. The daemon writes a few lines there itself
// (core/syslog_lines.h) and its follower reads them back like any other: a rule whose pattern
// matches one of them is matched by kiv's own doing, and a rule that matches the line its own
// healing writes heals in a loop. The rule author's tools ask this before a rule ships.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "rules/monitor_profile.h"

// A message of kiv's as the router's system log holds it: "MMM dd HH:MM:SS kiv: MESSAGE" (the
// time stamp `stamp`; any will do for a pattern that does not look at it).
std::string kiv_syslog_line(const std::string& message, const char* stamp = "Jan  1 00:00:00");

// The messages kiv writes whatever its rules: the syslog monitor's start, an installed rule
// file, the orderly stop.
const std::vector<std::string>& kiv_fixed_lines();

// The healing lines of a router's actions (each action once, in order of first mention): what
// kiv writes to that router's system log when its rules heal.
struct own_lines {
  std::vector<std::string> actions;
  std::vector<std::string> lines;
};
own_lines kiv_own_lines(const std::vector<std::string>& actions);

// Whether the profile (which has an expression) matches the line, walked in the pieces and
// places the syslog monitor reads it in.
bool line_matches(const monitor_profile& p, std::string_view line);

// kiv's own lines the profile matches, in this order: those of its own actions (`own`), those
// of the router's other actions, the fixed ones. *loop tells whether the first is written by
// one of its own actions, so that the rule heals in a loop.
std::vector<std::string> own_lines_matched(const monitor_profile& p,
                                           const std::vector<std::string>& own,
                                           const own_lines& router, bool* loop);
