// PLACEHOLDER
#include "detect/monitor_syslog.h"
void* monitor_syslog(void*) { return nullptr; }
void _monitor_syslog() {}
void stop_tail_cmd() {}
