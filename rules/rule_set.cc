#include "rules/rule_set.h"

std::mutex mp_mutex;
std::atomic<int32_t> global_pause{0};
std::atomic<int32_t> healing_index{-1};

namespace {

std::unique_ptr<rule_set> live;  // guarded by mp_mutex

}  // namespace

void for_each_rule(const rule_set& set,
                   const std::function<void(int32_t index, const monitor_profile* p)>& fn) {
  auto next = set.profiles.begin();
  for (int32_t i = 0; i < set.count; ++i) {
    const bool active = next != set.profiles.end() && next->index == i;
    fn(i, active ? &*next : nullptr);
    if (active) ++next;
  }
}

rule_set_hold hold_rule_set() {
  rule_set_hold hold{std::unique_lock<std::mutex>(mp_mutex)};
  hold.set = live.get();
  return hold;
}

rule_set_hold try_hold_rule_set() {
  rule_set_hold hold{std::unique_lock<std::mutex>(mp_mutex, std::try_to_lock)};
  if (hold.lock.owns_lock()) hold.set = live.get();
  return hold;
}

std::unique_ptr<rule_set> replace_rule_set(rule_set_hold& hold, std::unique_ptr<rule_set> next) {
  std::swap(live, next);
  hold.set = live.get();
  return next;
}

void release_rule_set() {
  std::unique_ptr<rule_set> old;
  rule_set_hold hold = hold_rule_set();
  old = replace_rule_set(hold, nullptr);
}
