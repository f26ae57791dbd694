// The healing executor: runs one profile's action list. Called with mp_mutex held.
#pragma once

#include <cstdint>

#include "rules/action_list.h"

// Runs the action list of mp[index] with the checks of checkActionList.
void self_healing(int index);
// What a healing run leaves in its profile: no healing state and an empty ring.
void empty_ring(monitor_profile& p);
