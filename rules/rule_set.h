// The rule set: one value built by the reader and installed by one replace, and the live set
// that the walker, the trigger thread, the healing executor and the dump reach through a hold on
// mp_mutex.
//
// Who holds mp_mutex: the syslog monitor thread for the walk of one log line over the set; the
// trigger thread from the examination of a profile through its whole healing run; the dump for
// its walk; the reader's install step only for the replace. global_pause and healing_index are
// single words read without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rules/monitor_profile.h"
#include "rules/shared_prefilter.h"

struct rule_set {
  int32_t count = 0;                      // rules in the file, active or not (gArraylen)
  std::vector<monitor_profile> profiles;  // the active rules, in file order
  shared_prefilter prefilter;             // the literals of all of them, found in one pass
  std::string document;                   // the file's rule array as json-c writes it plainly
  std::optional<int32_t> pause;           // the file's Global_Pause, taken when installed
};

// Calls fn for every rule of the set in file order: with its record when it is active, with
// none when it is not.
void for_each_rule(const rule_set& set,
                   const std::function<void(int32_t index, const monitor_profile* p)>& fn);

extern std::mutex mp_mutex;
extern std::atomic<int32_t> global_pause;
extern std::atomic<int32_t> healing_index;  // profile (file index) being healed, -1 when none

// The live set while mp_mutex is held by this hold; `set` is none before the first load.
struct rule_set_hold {
  std::unique_lock<std::mutex> lock;
  rule_set* set = nullptr;
};
rule_set_hold hold_rule_set();
// The same without waiting: the lock is not owned when another thread holds it.
rule_set_hold try_hold_rule_set();
// Puts `next` in place of the live set under the hold; returns the set it replaced, to be let go
// after the lock (freeing a large set need not hold up the walker).
std::unique_ptr<rule_set> replace_rule_set(rule_set_hold& hold, std::unique_ptr<rule_set> next);
// Drops the live set (shutdown): none again.
void release_rule_set();
