// PLACEHOLDER
#include "rules/dump_mp.h"
int dump_mp(monitor_profile*) { return 0; }
