// The trigger thread: visits the profiles of the live rule set one at a time, one every 2 s,
// and runs the healing executor on a profile whose ring is full within its period, while no
// other healing runs. The examination and the whole healing run happen inside mp_mutex.
//
// The cursor survives while the lock is released, and a rule reload may meanwhile have put a
// smaller (or empty) set in place: under the lock the cursor is checked against the current
// gArraylen and starts again at 0 when it lies outside the set.
#include "detect/monitor_statistics.h"

#include <mutex>

#include "core/kiv_log.h"
#include "core/kiv_main.h"
#include "detect/freq_window.h"
#include "heal/self_healing.h"
#include "platform/platform.h"
#include "rules/monitor_profile.h"

namespace {

void debug_print(const monitor_profile& p, int32_t cursor) {
  if (!nvram_match("kiv_debug_flag", "1")) return;
  int c = static_cast<int>(cursor);
  float diff = 0.0f;
  if (ring_slot_valid(&p, p.front) && ring_slot_valid(&p, p.rear))
    diff = p.timestamp[static_cast<size_t>(p.front)] - p.timestamp[static_cast<size_t>(p.rear)];
  cprintf("=== match condition ===\n");
  cprintf("keyword[%d]=[%s]\n", c, text_or_none(p.kiv_keyword));
  cprintf("re_pattern[%d]=[%s]\n", c, text_or_none(p.re_pattern));
  cprintf("freq[%d]=[%u]\n", c, static_cast<unsigned>(p.frequency));
  cprintf("diff[%d] === [%f]\n", c, static_cast<double>(diff));
  cprintf("period[%d]=[%u]\n", c, static_cast<unsigned>(p.period));
  for (int32_t a = 0; a < p.action_num && static_cast<size_t>(a) < p.action.size(); ++a)
    cprintf("action[%d]=[%s]\n", c, p.action[static_cast<size_t>(a)].c_str());
}

// One examination of the profile at the cursor; returns the next cursor. Caller holds mp_mutex.
int32_t examine(int32_t cursor) {
  if (!mp || gArraylen <= 0) return cursor;
  if (cursor < 0 || cursor >= gArraylen) cursor = 0;
  monitor_profile& p = mp[cursor];
  if (is_match_condition(&p) == 1 && healing_index.load() == -1) {
    debug_print(p, cursor);
    p.isHealing = 1;
    healing_index.store(cursor);
    self_healing(cursor);
  }
  // gArraylen cannot change while the lock is held, so it is still above 0 here.
  return (cursor + 1) % gArraylen;
}

}  // namespace

void* monitor_Statistics(void*) {
  KIV_LOG("START\n");
  int32_t cursor = 0;
  while (terminate_flag.load() != 1) {
    if (global_pause.load() == 1) {
      pause_unless_terminated(10);
      continue;
    }
    bool empty;
    {
      std::lock_guard<std::mutex> lock(mp_mutex);
      empty = gArraylen <= 0;
      if (!empty) cursor = examine(cursor);
    }
    pause_unless_terminated(empty ? 5 : 2);
  }
  KIV_LOG("Get terminate signal\n");
  return const_cast<char*>("End of monitor_Statistics thread");
}
