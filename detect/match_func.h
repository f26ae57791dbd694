// Whether one log line matches one monitor profile.
#pragma once

#include <cstddef>

#include "rules/monitor_profile.h"

int match_func(const monitor_profile* profile, const char* line);
// The same for a line whose length (strlen) the caller knows: a walk measures its line once for
// every profile.
int match_func(const monitor_profile* profile, const char* line, size_t length);
