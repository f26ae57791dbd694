// Action lists ("restart_wan;reboot") and the check table that binds actions to checks.
#pragma once

#include <cstdint>
#include <vector>

#include "rules/monitor_profile.h"

using check_func = int32_t (*)(int32_t);

struct check_action_row {
  int32_t number;
  const char* name;  // none for the last row
  check_func check;  // none when the action has no check
};

inline constexpr int32_t CHECK_ROWS = 3;
extern const check_action_row checkActionList[CHECK_ROWS];

// Items of the list (its first size - 1 characters, outer spaces trimmed, separated by ';', empty
// ones skipped); -1 without a list.
int32_t get_num_of_action(const char* action, int32_t size);
// Fills *actions with the first `count` items, each bound to its check row, results -1 and
// attempts 0; returns how many it stored, -1 without a place or a list.
int32_t parse_action(std::vector<rule_action>* actions, const char* action, int32_t size,
                     int32_t count);
// The check row of an action name (2: none); stored in the action when one is given.
int32_t search_index(rule_action* action, const char* name);
int32_t check_nop_state(int32_t unused);
int32_t check_restart_wan(int32_t unused);
