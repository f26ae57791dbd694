// Hand-built rule sets installed as the daemon's globals, for tests of the code that walks them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rules/monitor_profile.h"

namespace kivtest {

// n profiles in their initial state as mp/gArraylen, and `document` (JSON text) as gJsonObj when
// given. At the end everything is released and global_pause and healing_index are reset.
struct installed_set {
  explicit installed_set(int32_t n, const char* document = nullptr);
  ~installed_set();
  installed_set(const installed_set&) = delete;
  installed_set& operator=(const installed_set&) = delete;
};

// No rule set, no pause and nobody healing: the globals as they are before the first load.
void clear_rule_set();

// Appends the actions as parse_action leaves them: the check table row found by search_index,
// no result (-1) and no attempt yet.
void give_actions(monitor_profile* p, const std::vector<std::string>& names);

}  // namespace kivtest
