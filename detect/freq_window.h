// The ring of recent match times of a profile and its trigger condition. Callers hold mp_mutex.
#pragma once

#include "rules/monitor_profile.h"

float read_uptime();
// True when `slot` is a position of the profile's ring that holds a time or a free mark.
bool ring_slot_valid(const monitor_profile* profile, int32_t slot);
void record_timestamp(monitor_profile* profile);
// The same with the match time given (record_timestamp gives read_uptime()): the rule author's
// tool replays a log on the clock of its time stamps.
void record_timestamp_at(monitor_profile* profile, float now);
int is_freq_array_full(const monitor_profile* profile);
int is_time_diff_match(const monitor_profile* profile);
int is_match_condition(const monitor_profile* profile);
