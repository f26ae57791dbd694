#include "support/profiles.h"

#include <json-c/json.h>

#include "rules/action_list.h"

namespace kivtest {

installed_set::installed_set(int32_t n, const char* document) {
  mp = alloc_monitor_profile(n);
  gArraylen = n;
  if (document) gJsonObj = json_tokener_parse(document);
}

installed_set::~installed_set() {
  clear_rule_set();
}

void clear_rule_set() {
  release_rule_set();
  global_pause.store(0);
  healing_index.store(-1);
}

void give_actions(monitor_profile* p, const std::vector<std::string>& names) {
  for (const auto& name : names) {
    p->action.push_back(name);
    p->checkFuncIndex.push_back(-1);
    p->actionResult.push_back(-1);
    p->actionRetry.push_back(0);
    search_index(p, name.c_str(), static_cast<int32_t>(p->action.size()) - 1);
  }
  p->action_num = static_cast<int32_t>(p->action.size());
}

}  // namespace kivtest
