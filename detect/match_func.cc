// Whether one log line matches one monitor profile: the profile's compiled expression alone
// decides (the keyword is only shown in records). Called by the syslog monitor thread with
// mp_mutex held; it changes neither the profile nor the line.
#include "detect/match_func.h"

#include "core/kiv_log.h"

int match_func(const monitor_profile* profile, const char* line) {
  if (!profile) return 0;
  if (profile->isActive == 0) return 0;
  if (!line) return 0;
  // An active profile without a "re_pattern" has nothing compiled to search with.
  if (!profile->regex_compiled) return 0;

  int rc = regexec(&profile->regex, line, 0, nullptr, 0);
  if (rc == 0) {
    KIV_LOG("[Match]::[%s]\n", line);
    return 1;
  }
  // A plain non-match and an error of the engine are reported alike, in the engine's words.
  char error_text[128];
  regerror(rc, &profile->regex, error_text, sizeof error_text);
  KIV_LOG("[%s]::[%s]\n", error_text, line);
  KIV_LOG("[re_pattern]::[%s]\n", text_or_none(profile->re_pattern));
  return 0;
}
