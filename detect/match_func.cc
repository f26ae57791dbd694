// Whether one log line matches one monitor profile: the profile's expression alone decides (the
// keyword is only shown in records). Called by the syslog monitor thread with mp_mutex held; it
// changes neither the profile nor the line.
//
// A line that lacks one of the literals every match of the pattern contains (the profile's
// prefilter, made when the rule was read) is not handed to regexec: regexec could only say
// REG_NOMATCH, and its records are written as if it had. Nearly every line takes that road for
// nearly every profile, so its two records are made from pieces made once, and a walk makes the
// line's own record once for all the profiles it does not match.
#include "detect/match_func.h"

#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "core/kiv_log.h"
#include "rules/pattern_literals.h"

namespace {

// What the C library says of a result of regexec.
std::string engine_words(int rc, const regex_t* regex) {
  static const regex_t none{};
  char words[128];
  regerror(rc, regex ? regex : &none, words, sizeof words);
  return words;
}

// The fixed starts of the two records of a non-match, made once when the program starts.
struct no_match_heads {
  std::string reason = kiv_log_head("match_func", __LINE__);
  std::string pattern = kiv_log_head("match_func", __LINE__) + "[re_pattern]::[";
  std::string no_match = "[" + engine_words(REG_NOMATCH, nullptr) + "]::[";
};
const no_match_heads kHeads;

// The second record of a non-match: the profile's pattern.
void log_pattern(const monitor_profile& p) {
  kiv_log_pieces({kHeads.pattern, *p.re_pattern, "]\n"});
}

}  // namespace

void match_func_turned_away(std::span<monitor_profile> run, no_match_records& records) {
  if (run.empty()) return;
  if (records.reason.empty())
    records.reason = kiv_log_made({kHeads.reason, kHeads.no_match, records.piece, "]\n"});
  std::string_view made[64];  // the two records of 32 profiles go to the walk at once
  size_t n = 0;
  for (monitor_profile& p : run) {
    if (p.no_match_record.empty())
      p.no_match_record = kiv_log_made({kHeads.pattern, *p.re_pattern, "]\n"});
    made[n++] = records.reason;
    made[n++] = p.no_match_record;
    if (n == std::size(made)) {
      kiv_log_records({made, n});
      n = 0;
    }
  }
  kiv_log_records({made, n});
}

int match_func(const monitor_profile* profile, const char* line) {
  return match_func(profile, line, line ? strlen(line) : 0);
}

int match_func(const monitor_profile* profile, const char* line, size_t length, line_place place) {
  if (!profile) return 0;
  if (!line) return 0;
  // An active profile without a "re_pattern" has nothing to search with.
  if (!has_expression(*profile)) return 0;

  const std::string_view text(line, length);
  int rc = may_match(profile->pattern.literals, text)
               ? profile_regexec(*profile, line, length, place)
               : REG_NOMATCH;
  if (rc == 0) {
    KIV_LOG("[Match]::[%s]\n", line);
    return 1;
  }
  // A plain non-match and an error of the engine are reported alike, in the engine's words.
  std::string engine_error;  // rare: no piece made once for it
  std::string_view reason = kHeads.no_match;
  if (rc != REG_NOMATCH) {
    engine_error = "[" + engine_words(rc, profile->pattern.regex.get()) + "]::[";
    reason = engine_error;
  }
  kiv_log_pieces({kHeads.reason, reason, text, "]\n"});
  log_pattern(*profile);
  return 0;
}
