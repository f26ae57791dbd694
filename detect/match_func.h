// Whether one log line matches one monitor profile.
#pragma once

#include <cstddef>

#include "rules/monitor_profile.h"

int match_func(const monitor_profile* profile, const char* line);
// The same for a piece of a line whose length (strlen) the caller knows (a walk measures it once
// for every profile) and whose place in its line it tells: "^" and "$" are the line's ends.
int match_func(const monitor_profile* profile, const char* line, size_t length,
               line_place place = {});
