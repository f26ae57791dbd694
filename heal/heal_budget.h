// The heal budget (kiv_heal_limit N heals per rule per hour; unset or 0: no budget). A rule whose
// fault persists (an ISP outage seen as "WAN: link down") would otherwise restart a service every
// minute for hours. A fire over the budget is recorded, not acted on.
//
// The heals of the last hour are kept in /jffs/kiv/heals, beside the reboot record, when
// kiv_rule_cache or kiv_reboot_limit is set, so that a restart of kiv does not refill the budget;
// in memory otherwise. File: one line "T KEYWORD" a heal, T its wall-clock time in seconds.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "heal/keyword_lines.h"

// The heals a budget counts: (time, rule keyword), oldest first.
using heal_history = std::vector<keyword_time>;

// The budget's decision, on any clock: whether the rule `keyword` may heal at `now` (seconds)
// within `limit` heals an hour (0 or less: no budget, nothing counted); a heal that may is added.
// A rule is counted by its keyword as the record keeps it (keyword_of_line), so two keywords
// alike in their first 64 bytes share one budget, in memory as in flash. Heals more than an hour
// away from now (before or, after a clock step, ahead) are dropped. The daemon decides with it on
// the wall clock, the rule author's replay on the log's.
bool heal_within_budget(heal_history& heals, const char* keyword, int64_t now, int limit);

// The daemon's decision for the rule about to heal now, with the budget of kiv_heal_limit and the
// history where it is kept (see above). True when the heal may run; logs a heal held back, to
// the system log as well.
bool take_heal(const char* keyword);
