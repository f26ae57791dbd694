// The record of one active rule: the rule as the file gives it, its compiled pattern, its
// actions with their results, and the ring of recent match times that the walker and the
// trigger thread keep in it. A rule that is not active on this router holds nothing but its
// place in the file (rules/rule_set.h), so a file with the rules of many routers costs only the
// few that are active here.
#pragma once

#include <regex.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rules/pattern_automaton.h"

// One item of an action list, with what the healing executor last made of it.
struct rule_action {
  std::string text;            // the item as written ("restart_wan")
  int32_t checkFuncIndex = 2;  // row of checkActionList whose check confirms it
  int32_t actionResult = -1;   // last check of the last run, -1 before any
  int32_t actionRetry = 0;     // attempts of the last run, 0 before any
};

struct regex_free {
  void operator()(regex_t* re) const {
    regfree(re);
    delete re;
  }
};

// A pattern ready to search with: the automaton for the plain shapes, the C library's compiled
// expression for the rest, and the literals every match contains (the prefilter).
struct compiled_pattern {
  std::unique_ptr<regex_t, regex_free> regex;
  std::optional<pattern_automaton> automaton;
  std::vector<std::string> literals;
};

struct monitor_profile {
  int32_t index = 0;  // the rule's place in the file: what records and the dump call it
  std::optional<std::string> kiv_keyword;  // none when the rule has no "keyword"
  std::optional<std::string> re_pattern;   // none when the rule has no "re_pattern"
  compiled_pattern pattern;                // empty when the rule has no "re_pattern"
  std::vector<rule_action> actions;        // empty when none
  std::vector<double> timestamp;           // ring of `frequency` match times, 0.0 = free slot
  uint32_t frequency = 0;
  uint32_t period = 0;
  int32_t front = -1;
  int32_t rear = 0;
  int32_t isHealing = 0;
  int32_t actionIndex = 0;
  // The log line whose match went into the ring last: one line counts once, however many
  // pieces it is read in (0: none since the set was built).
  uint64_t credited_line = 0;
  // The rule's counts in the fleet report (report/fleet_counts.h); -1: none (a set no daemon
  // installed, as the rule author's replay builds).
  int32_t tally = -1;
  // The walk's second record of a non-match (the pattern), made at the first such walk.
  std::string no_match_record;

  int32_t action_num() const { return static_cast<int32_t>(actions.size()); }
};

// What records, the console and the dump show where a text is none.
inline constexpr const char* KIV_NONE_TEXT = "(null)";
inline const char* text_or_none(const std::optional<std::string>& text) {
  return text ? text->c_str() : KIV_NONE_TEXT;
}

// Whether the profile has a pattern to search with (compiled, or as an automaton).
inline bool has_expression(const monitor_profile& p) {
  return p.pattern.regex || p.pattern.automaton.has_value();
}

// Where a piece of a log line lies in its line: a line longer than a read is walked in pieces,
// and "^" and "$" mean the line's start and end, not a piece's.
struct line_place {
  bool at_start = true;  // the piece begins the line
  bool at_end = true;    // the piece ends the line
};

// regexec's answer for the profile's pattern and a piece: 0 for a match, REG_NOMATCH, or an
// error of the engine. The profile must have an expression.
int profile_regexec(const monitor_profile& p, const char* line, size_t length,
                    line_place place = {});
