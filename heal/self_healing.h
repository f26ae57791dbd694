// The healing executor: runs one profile's action list. Called with mp_mutex held.
#pragma once

#include <cstdint>

#include "rules/action_list.h"
#include "rules/rule_set.h"

// Runs the action list of the set's profile of file index `index` with the checks of
// checkActionList. The caller holds the set.
void self_healing(rule_set* set, int index);
// What a healing run leaves in its profile: no healing state and an empty ring.
void empty_ring(monitor_profile& p);
