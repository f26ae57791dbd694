// The fleet report's counts (kiv_fleet_report 1): what kiv did since the last request the rule
// server answered with status 200, per rule keyword and for the router. update/fleet_report
// writes them into the request; each is counted where it happens:
//   lines walked and matches   the syslog monitor thread, in the walk (under mp_mutex)
//   fires                      the trigger thread, when a profile's condition holds
//   heals, unconfirmed, held   the healing executor and the heal budget
//   reboots                    the reboot path, right before the reboot
//   lost lines                 whoever knows that the follower lost them (add_lost_lines)
// The counts are relaxed atomics: counting takes no lock beyond the one the walk holds and
// allocates nothing, and the request reads them without mp_mutex, so it never waits for a heal.
// The table of keywords changes only in the install step, under mp_mutex, on the thread that
// also reads it for the request (the main thread, or the command thread while main waits).
//
// Where kiv keeps flash files (kiv_rule_cache 1 or kiv_reboot_limit set) the counts are written
// before a reboot kiv makes and read back at the next start: /jffs/kiv/report_counts, text lines
//   "kiv report 2"              the format and its version
//   "seconds S", "walked L", "lost X", "reboots R", "starts N"
//   "refused S T R U D"         sets refused for their signature, stage, serial, rules; failed
//                               downloads
//   "rule M F H U K KEYWORD"    a rule's matches, fires, heals, unconfirmed heals and held fires
//   "end"
// read whole or not at all: a file that is not exactly this is set aside (report_counts.bad).
// Read back, the file is removed, so that a restart without a reboot counts nothing twice.
// A file of version 1 (a kiv before starts and refusals were counted) reads as well.
//
// With kiv_fleet_report 1 the counts outlive a restart, a crash and a kill too: at each rare event
// (a fire, a heal and its end, a held fire, a refusal, a reboot, a start, and after each report
// settled) they are written whole to /tmp/kiv_report_counts (RAM, gone with a reboot) in the
// format above, through a temporary file renamed over it, never through a link; at the next start
// that file is read back first, and kept up to date from there on. Lines walked and the seconds
// are as of the last such write. A file there that is not whole is set aside
// (kiv_report_counts.bad) and adds nothing.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rules/rule_set.h"

// Why a downloaded set was not taken, as the report names it (refusal_name).
enum class refusal {
  signature,  // no valid signature for this router's key, or the key cannot be used
  stage,      // staged for routers other than this one
  serial,     // below the installed set's serial, or that serial with other bytes
  rules,      // a file the reader refused
  download,   // a check whose every try failed
};
inline constexpr size_t KIV_REFUSALS = 5;
const char* refusal_name(refusal r);

struct rule_counts {
  uint32_t matches = 0, fires = 0, heals = 0, unconfirmed = 0, held = 0;
  bool empty() const { return (matches | fires | heals | unconfirmed | held) == 0; }
};

// What the counts held at one moment.
struct fleet_counts {
  uint64_t seconds = 0;  // the uptime kiv ran since the counts started
  uint32_t walked = 0, lost = 0, reboots = 0;
  uint32_t starts = 0;                                     // kiv's starts
  std::array<uint32_t, KIV_REFUSALS> refused{};            // by refusal
  std::vector<std::pair<std::string, rule_counts>> rules;  // keyword order; none empty
  double taken_at = 0;                                     // the uptime when taken
};

// The keyword as the counts know it: "(null)" for none or an empty one, bytes outside UTF-8 as '?'
// (two keywords that differ only there are one in the report, never two members of one name), cut
// to 64 bytes (never inside a UTF-8 character), control characters as '?', so that it stays one
// line of the flash file.
std::string counts_keyword(const char* keyword);

// Counting. `tally` is the profile's (-1: not counted).
void count_walked_line();
void count_match(int32_t tally);
void count_fire(int32_t tally);
void count_heal(int32_t tally);
void count_unconfirmed(int32_t tally);
void count_held(int32_t tally);
void count_reboot();
// Lines the follower is known to have lost.
void add_lost_lines(uint32_t lines);
// A downloaded set not taken, or a check whose every try failed.
void count_refusal(refusal why);

// The install step, under mp_mutex, before `set` becomes the live one: gives each profile its
// keyword's tally. Keywords with nothing counted that `set` does not hold are dropped.
void attach_counts(rule_set& set);
// The counts now.
fleet_counts take_counts();
// After the request that carried `reported` was answered with 200: what it reported is taken
// off, so that what was counted meanwhile goes into the next report.
void settle_counts(const fleet_counts& reported);

// Before a reboot kiv makes: with kiv_fleet_report 1 where kiv keeps flash files, the counts
// are written to the flash (and to RAM, as at every rare event).
void keep_counts_for_reboot();
// At start-up, before the threads: the counts start now, and this start is counted; with
// kiv_fleet_report 1, those of the last run are read back: from RAM when kiv ended without a
// reboot (a restart, a crash, a kill), else from the flash file written before the reboot kiv
// made (which is removed either way).
void load_kept_counts();
