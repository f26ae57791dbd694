// Whether one log line matches one monitor profile.
#pragma once

#include "rules/monitor_profile.h"

int match_func(const monitor_profile* profile, const char* line);
