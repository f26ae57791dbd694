#include "rules/monitor_profile.h"

int profile_regexec(const monitor_profile& p, const char* line, size_t length, line_place place) {
  if (p.pattern.automaton)
    return automaton_matches(*p.pattern.automaton, {line, length}, place.at_start, place.at_end)
               ? 0
               : REG_NOMATCH;
  const int flags = (place.at_start ? 0 : REG_NOTBOL) | (place.at_end ? 0 : REG_NOTEOL);
  return regexec(p.pattern.regex.get(), line, 0, nullptr, flags);
}
