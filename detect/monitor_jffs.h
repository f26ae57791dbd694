// Storage usage report of the flash file system, on every tick.
#pragma once

void monitor_jffs();
