// The healing executor: runs one profile's action list. Called with mp_mutex held.
#pragma once

#include <cstdint>

#include "rules/action_list.h"

// Runs the action list of mp[index] with the checks of checkActionList.
void self_healing(int index);
// The same with another check table of `rows` rows: a row number in checkFuncIndex outside the
// table, or a row without a function, confirms nothing (result -1).
void self_healing_with_checks(int index, const check_action_row* table, int32_t rows);
// What a healing run leaves in its profile: no healing state and an empty ring.
void empty_ring(monitor_profile& p);
