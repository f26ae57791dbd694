// PLACEHOLDER
#include "detect/freq_window.h"
float read_uptime() { return 0.0f; }
void record_timestamp(monitor_profile*) {}
int is_freq_array_full(const monitor_profile*) { return 0; }
int is_time_diff_match(const monitor_profile*) { return 0; }
int is_match_condition(const monitor_profile*) { return 0; }
