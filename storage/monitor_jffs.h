// Storage usage report of the flash file system, on every tick.
#pragma once

// Runs `df` on the flash file system and logs its size, used space and used share.
// Does nothing while the rule set is paused.
void monitor_jffs();
// Logs the report for one line of `df`'s output ("DEVICE SIZE USED ..."), or a parse error.
void report_jffs_usage(char* df_line);
