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

// Whether the rule `keyword` may heal at `now` within `limit` heals an hour; a heal that may is
// added. Heals more than an hour away from now (before or, after a clock step, ahead) are dropped.
bool heal_within_budget(heal_history& heals, const std::string& keyword, int64_t now, int limit);

// The daemon's decision for the rule about to heal now, with the budget of kiv_heal_limit and the
// history where it is kept (see above). True when the heal may run; logs a heal held back, to
// the system log as well.
bool take_heal(const char* keyword);
