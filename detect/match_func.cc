// PLACEHOLDER
#include "detect/match_func.h"
int match_func(const monitor_profile*, const char*) { return 0; }
