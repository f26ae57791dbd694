// PLACEHOLDER until the trigger thread lands: runs until terminate_flag, returns its exit text.
#include "detect/monitor_statistics.h"

#include "core/kiv_main.h"
#include "platform/platform.h"

void* monitor_Statistics(void*) {
  while (terminate_flag.load() != 1) kiv_sleep(0.2);
  return const_cast<char*>("End of monitor_Statistics thread");
}
