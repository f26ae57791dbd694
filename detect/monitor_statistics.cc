// PLACEHOLDER
#include "detect/monitor_statistics.h"
void* monitor_Statistics(void*) { return nullptr; }
