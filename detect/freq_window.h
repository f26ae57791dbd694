// The ring of recent match times of a profile and its trigger condition. Callers hold mp_mutex.
#pragma once

#include "core/uptime.h"
#include "rules/monitor_profile.h"

// True when `slot` is a position of the profile's ring that holds a time or a free mark.
bool ring_slot_valid(const monitor_profile* profile, int32_t slot);
// Records a match at `now` (seconds since boot: the daemon's walk passes read_uptime(), the rule
// author's tool the clock of the log it replays).
void record_timestamp(monitor_profile* profile, double now);
int is_freq_array_full(const monitor_profile* profile);
int is_time_diff_match(const monitor_profile* profile);
int is_match_condition(const monitor_profile* profile);
