// The syslog monitor thread: follows the system log and records matches in the profiles' rings.
#pragma once

void* monitor_syslog(void* json_path);
void _monitor_syslog();
void stop_tail_cmd();
