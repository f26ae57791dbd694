// PLACEHOLDER
#include "detect/monitor_jffs.h"
void monitor_jffs() {}
