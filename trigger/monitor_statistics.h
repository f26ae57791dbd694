// The trigger thread: examines one profile every 2 s and runs the healing executor.
#pragma once

#include <cstdint>

#include "rules/monitor_profile.h"

void* monitor_Statistics(void* unused);

// Whether the trigger fires the profile now: its ring is full within its period (the trigger
// condition of detect/freq_window.h) and no heal runs (`healing`: the file index of the profile
// that heals, -1 when none). The trigger thread asks at every examination; the rule author's
// replay after every match, where a heal takes no time.
bool trigger_fires(const monitor_profile& p, int32_t healing);
