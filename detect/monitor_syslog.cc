// PLACEHOLDER until the syslog monitor lands: runs until terminate_flag, returns its exit text.
#include "detect/monitor_syslog.h"

#include "core/kiv_main.h"
#include "platform/platform.h"

void* monitor_syslog(void*) {
  while (terminate_flag.load() != 1) kiv_sleep(0.2);
  return const_cast<char*>("End of monitor_syslog thread");
}
void _monitor_syslog() {}
void stop_tail_cmd() {}
