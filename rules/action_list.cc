// PLACEHOLDER
#include "rules/action_list.h"
const check_action_row checkActionList[CHECK_ROWS] = {
    {0, "nop", check_nop_state}, {1, "restart_wan", check_restart_wan}, {2, nullptr, nullptr}};
int32_t get_num_of_action(const char*, int32_t) { return -1; }
int32_t parse_action(monitor_profile*, const char*, int32_t) { return -1; }
int32_t search_index(monitor_profile*, const char*, int32_t) { return 2; }
int32_t check_nop_state(int32_t) { return 0; }
int32_t check_restart_wan(int32_t) { return 0; }
