// The reboot budget (kiv_reboot_limit N; unset or 0: no budget). self_healing reboots the router
// at most N times within 24 hours, so that a rule matching a line every boot writes cannot
// reboot it for ever.
//
// File /jffs/kiv/reboots, text lines, oldest first:
//   "T KEYWORD"  one reboot: its wall-clock time when recorded (seconds since the epoch) and the
//                keyword of the profile that asked for it
//   "synced T"   at most one line: the wall-clock time at which kiv last wrote the file with
//                ntp_ready set; the reboot lines below it were recorded since
// A reboot is recorded, and the file synced, before it runs. Whenever the file is written with
// ntp_ready set, a reboot below the "synced" line whose time cannot be right (before the line's,
// or ahead of the clock) is counted from now, reboots older than 24 hours are dropped and the line
// moves to the end; so the reboots above the line lay within the 24 hours before it.
// With ntp_ready set, the reboots of the last 24 hours count. With ntp_ready 0 the wall clock may
// be anything, so every reboot in the file counts: those since the clock was last synchronised,
// and those of the 24 hours before (which a loop that ended with the clock set leaves behind;
// without them it could start again at the next boot without a clock).
#pragma once

enum class reboot_verdict {
  no_budget,   // no budget: the reboot runs and nothing is recorded
  recorded,    // within the budget: recorded and synced, the reboot runs
  spent,       // N reboots counted already: no reboot
  unrecorded,  // the record cannot be written: no reboot, as it could not be counted
};

// The decision on a reboot the profile with `keyword` is about to carry out; a reboot that may
// run is recorded first. Logs the outcome (a spent budget also to the system log).
reboot_verdict take_reboot(const char* keyword);
// At every tick: with a budget and ntp_ready set, brings the file up to date as above. Writes
// only when a reboot is to be dropped or counted from now.
void settle_reboot_record();
