// The rule set: one monitor_profile per rule of the rule file, and the globals that hold it.
//
// mp_mutex guards mp, gArraylen, the replacement of gJsonObj and every field of every record.
// The rule file reader (main thread) builds a new array without the lock and holds it only for
// the swap; the syslog monitor thread holds it for the walk of one log line; the trigger thread
// holds it from the examination of a profile through the whole healing run; the dump holds it
// for its walk. global_pause and healing_index are single words read without the lock.
#pragma once

#include <regex.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rules/pattern_automaton.h"

struct json_object;

struct monitor_profile {
  int32_t isActive = 0;
  std::optional<std::string> kiv_keyword;  // none when the rule has no "keyword"
  std::optional<std::string> re_pattern;   // none when the rule has no "re_pattern"
  regex_t regex{};
  bool regex_compiled = false;  // regex holds a compiled expression
  // Plain patterns: decides in place of regex, which is then not kept.
  std::optional<pattern_automaton> automaton;
  std::vector<std::string> literals;    // what every match contains (rules/pattern_literals.h)
  std::vector<std::string> action;      // action_num entries, empty when none
  std::vector<int32_t> checkFuncIndex;  // row of checkActionList per action
  std::vector<int32_t> actionRetry;     // attempts of the last run, 0 before any
  std::vector<int32_t> actionResult;    // last check of the last run, -1 before any
  std::vector<float> timestamp;         // ring of `frequency` match times, 0.0 = free slot
  uint32_t frequency = 0;
  uint32_t period = 0;
  int32_t front = -1;
  int32_t rear = 0;
  int32_t isHealing = 0;
  int32_t action_num = 0;
  int32_t actionIndex = 0;
};

extern monitor_profile* mp;  // array of gArraylen records, or none
extern int32_t gArraylen;
extern std::atomic<int32_t> global_pause;
extern json_object* gJsonObj;               // parsed document of the last successful load
extern std::atomic<int32_t> healing_index;  // profile being healed, -1 when none
extern std::mutex mp_mutex;

// What records, the console and the dump show where a text is none.
inline constexpr const char* KIV_NONE_TEXT = "(null)";
inline const char* text_or_none(const std::optional<std::string>& text) {
  return text ? text->c_str() : KIV_NONE_TEXT;
}

// Whether the profile has a pattern to search with (compiled, or as an automaton).
inline bool has_expression(const monitor_profile& p) {
  return p.regex_compiled || p.automaton.has_value();
}
// regexec's answer for the profile's pattern and a line: 0 for a match, REG_NOMATCH, or an
// error of the engine. The profile must have an expression.
int profile_regexec(const monitor_profile& p, const char* line, size_t length);

// Allocates n records in their initial state (front -1, everything else empty).
// Returns none when the allocation fails.
monitor_profile* alloc_monitor_profile(int32_t n);
// Releases everything the records own, then the array; sets *array to none.
void free_monitor_profile(monitor_profile** array, int32_t count);
// Releases the live rule set and its parsed document under mp_mutex: mp and gJsonObj none,
// gArraylen 0. global_pause and healing_index are left as they are.
void release_rule_set();
