// The healing executor: runs one profile's action list. Called with mp_mutex held.
#pragma once

#include <cstdint>

#include "rules/action_list.h"
#include "rules/rule_set.h"

// Heals p, a profile of the set the caller holds: opens the heal (isHealing, healing_index), runs
// its action list with the checks of checkActionList, and closes the heal on every path.
void self_healing(monitor_profile& p);
// The same for the set's profile of file index `index`; only records when there is none.
void self_healing(rule_set* set, int index);
// What a healing run leaves in its profile: no healing state and an empty ring.
void empty_ring(monitor_profile& p);
