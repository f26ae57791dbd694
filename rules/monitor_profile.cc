#include "rules/monitor_profile.h"

int profile_regexec(const monitor_profile& p, const char* line, size_t length, line_place place) {
  const int flags = (place.at_start ? 0 : REG_NOTBOL) | (place.at_end ? 0 : REG_NOTEOL);
  if (p.pattern.automaton)
    return automaton_matches(*p.pattern.automaton, {line, length}, flags) ? 0 : REG_NOMATCH;
  return regexec(p.pattern.regex.get(), line, 0, nullptr, flags);
}
