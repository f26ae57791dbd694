// The trigger thread: visits the active profiles of the live rule set one at a time, one every
// 2 s, and runs the healing executor on a profile whose ring is full within its period, while no
// other healing runs. The examination and the whole healing run happen inside mp_mutex.
//
// The cursor survives while the lock is released, and a rule reload may meanwhile have put a
// smaller (or empty) set in place: under the lock the cursor is checked against the current
// set and starts again at 0 when it lies outside it.
#include "trigger/monitor_statistics.h"

#include <mutex>

#include "core/kiv_log.h"
#include "core/stop.h"
#include "detect/freq_window.h"
#include "heal/self_healing.h"
#include "platform/platform.h"
#include "report/fleet_counts.h"
#include "rules/rule_set.h"

bool trigger_fires(const monitor_profile& p, int32_t healing) {
  return is_match_condition(&p) == 1 && healing == -1;
}

namespace {

void debug_print(const monitor_profile& p) {
  if (!nvram_match("kiv_debug_flag", "1")) return;
  int c = static_cast<int>(p.index);
  double diff = 0.0;
  if (ring_slot_valid(&p, p.front) && ring_slot_valid(&p, p.rear))
    diff = p.timestamp[static_cast<size_t>(p.front)] - p.timestamp[static_cast<size_t>(p.rear)];
  cprintf("=== match condition ===\n");
  cprintf("keyword[%d]=[%s]\n", c, text_or_none(p.kiv_keyword));
  cprintf("re_pattern[%d]=[%s]\n", c, text_or_none(p.re_pattern));
  cprintf("freq[%d]=[%u]\n", c, static_cast<unsigned>(p.frequency));
  cprintf("diff[%d] === [%f]\n", c, diff);
  cprintf("period[%d]=[%u]\n", c, static_cast<unsigned>(p.period));
  for (const rule_action& a : p.actions) cprintf("action[%d]=[%s]\n", c, a.text.c_str());
}

// One examination of the active profile at the cursor; returns the next cursor. The caller
// holds the set, which has at least one active profile. Rules that are not active here are
// never visited: the 2-s step goes to the rules that can heal.
size_t examine(rule_set& set, size_t cursor) {
  if (cursor >= set.profiles.size()) cursor = 0;
  monitor_profile& p = set.profiles[cursor];
  if (trigger_fires(p, healing_index.load())) {
    count_fire(p.tally);
    debug_print(p);
    self_healing(p);
  }
  return (cursor + 1) % set.profiles.size();
}

}  // namespace

void* monitor_Statistics(void*) {
  KIV_LOG("START\n");
  size_t cursor = 0;
  while (terminate_flag.load() != 1) {
    if (global_pause.load() == 1) {
      pause_unless_terminated(10);
      continue;
    }
    bool empty;
    {
      rule_set_hold hold = hold_rule_set();
      empty = !hold.set || hold.set->profiles.empty();
      if (!empty) cursor = examine(*hold.set, cursor);
    }
    pause_unless_terminated(empty ? 5 : 2);
  }
  KIV_LOG("Get terminate signal\n");
  return const_cast<char*>("End of monitor_Statistics thread");
}
