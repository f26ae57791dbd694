// Action lists ("restart_wan;reboot") and the check table that binds actions to checks.
#pragma once

#include <cstdint>

#include "rules/monitor_profile.h"

using check_func = int32_t (*)(int32_t);

struct check_action_row {
  int32_t number;
  const char* name;  // none for the last row
  check_func check;  // none when the action has no check
};

inline constexpr int32_t CHECK_ROWS = 3;
extern const check_action_row checkActionList[CHECK_ROWS];

int32_t get_num_of_action(const char* action, int32_t size);
int32_t parse_action(monitor_profile* profile, const char* action, int32_t size);
int32_t search_index(monitor_profile* profile, const char* name, int32_t position);
int32_t check_nop_state(int32_t unused);
int32_t check_restart_wan(int32_t unused);
