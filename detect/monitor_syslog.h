// The syslog monitor thread: follows the system log and records matches in the profiles' rings.
#pragma once

void* monitor_syslog(void* json_path);
void _monitor_syslog();
void stop_tail_cmd();
// One line walked over the live rule set under mp_mutex, with every record the walk writes.
// `pause_logged` is the thread's pause state; false when the set is paused and the line dropped.
bool walk_log_line(const char* line, int* pause_logged);
