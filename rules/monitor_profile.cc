#include "rules/monitor_profile.h"

#include <json-c/json.h>

#include <new>

monitor_profile* mp = nullptr;
int32_t gArraylen = 0;
std::atomic<int32_t> global_pause{0};
json_object* gJsonObj = nullptr;
std::atomic<int32_t> healing_index{-1};
std::mutex mp_mutex;

monitor_profile* alloc_monitor_profile(int32_t n) {
  if (n < 0) return nullptr;
  return new (std::nothrow)
      monitor_profile[static_cast<size_t>(n) > 0 ? static_cast<size_t>(n) : 1];
}

void free_monitor_profile(monitor_profile** array, int32_t count) {
  if (!array || !*array) return;
  for (int32_t i = 0; i < count; ++i) {
    monitor_profile& p = (*array)[i];
    if (p.regex_compiled) regfree(&p.regex);
    p.regex_compiled = false;
  }
  delete[] * array;
  *array = nullptr;
}

int profile_regexec(const monitor_profile& p, const char* line, size_t length) {
  if (p.automaton) return automaton_matches(*p.automaton, {line, length}) ? 0 : REG_NOMATCH;
  return regexec(&p.regex, line, 0, nullptr, 0);
}

void release_rule_set() {
  std::lock_guard<std::mutex> lock(mp_mutex);
  free_monitor_profile(&mp, gArraylen);
  gArraylen = 0;
  json_object_put(gJsonObj);
  gJsonObj = nullptr;
}
