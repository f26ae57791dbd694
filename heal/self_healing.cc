// The healing executor. Runs on the trigger thread, inside the mp_mutex that the trigger thread
// took when it found the profile's condition met, and keeps it for the whole run: an action list
// may take minutes, and meanwhile no log line is walked and no rule set is swapped in.
//
// Each action is carried out through the platform (a service event followed by a 1-s pause, or
// the reboot) and confirmed by its check function; an unconfirmed action is tried again, up to 3
// attempts ("reboot": 1). A reboot over the budget (heal/reboot_budget.h) is not carried out at
// all: result -2, no attempt, and the list goes on. A check result of 1 ends the list. A heal is
// opened and closed in one place, heal_scope.
#include "heal/self_healing.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/kiv_log.h"
#include "core/stop.h"
#include "core/syslog_lines.h"
#include "heal/heal_budget.h"
#include "heal/reboot_budget.h"
#include "platform/platform.h"
#include "report/fleet_counts.h"

namespace {

constexpr int32_t kRebootAttempts = 1;
constexpr int32_t kOtherAttempts = 3;
// The result of a reboot the budget held back: no attempt was made.
constexpr int32_t kNotCarriedOut = -2;

// The check of the action's row; -1 when the row has no check function (or is no row at all).
int32_t run_check(int32_t row) {
  if (row < 0 || row >= CHECK_ROWS || !checkActionList[row].check) return -1;
  return checkActionList[row].check(0);
}

// A reboot runs only within the budget (kiv_reboot_limit), and only once it is recorded.
bool reboot_may_run(const monitor_profile& p) {
  const reboot_verdict v = take_reboot(text_or_none(p.kiv_keyword));
  return v == reboot_verdict::no_budget || v == reboot_verdict::recorded;
}

// Carries the action out once. "nop" is never carried out: only its check runs.
void carry_out(const char* action) {
  if (strcmp(action, "nop") == 0) return;
  logmessage_normal(KIV_SYSLOG_TAG, "%s\n", kiv_action_line(action).c_str());
  if (strcmp(action, "reboot") == 0) {
    // The router goes down with what kiv counted: the report keeps it over the reboot.
    count_reboot();
    keep_counts_for_reboot();
    platform_reboot();
    return;
  }
  notify_rc_and_wait_2min(action);
  kiv_sleep(1);
}

// The active profile of file index `index`; none when the set has none.
monitor_profile* profile_of(rule_set& set, int index) {
  auto at = std::lower_bound(set.profiles.begin(), set.profiles.end(), index,
                             [](const monitor_profile& p, int i) { return p.index < i; });
  return at != set.profiles.end() && at->index == index ? &*at : nullptr;
}

// A heal of one profile: while it lasts the profile is marked (isHealing 1) and named in
// healing_index, which holds every other heal and the rule download back; at its end, on every
// path, the ring is emptied, the mark cleared and healing_index -1 again.
struct heal_scope {
  monitor_profile& p;
  explicit heal_scope(monitor_profile& healed) : p(healed) {
    p.isHealing = 1;
    healing_index.store(p.index);
  }
  ~heal_scope() {
    empty_ring(p);
    healing_index.store(-1);
  }
  heal_scope(const heal_scope&) = delete;
  heal_scope& operator=(const heal_scope&) = delete;
};

void log_start(int index) {
  kiv_log("self_healing", __LINE__, "===============self_healing start===============\n");
  kiv_log("self_healing", __LINE__, "monitor_profile index=%d\n", index);
}

// Carries one action out with its attempts and records the result. After a stop request no
// further attempt is started; the one made is recorded as it ended.
void run_action(const monitor_profile& p, rule_action& a) {
  const bool reboot = a.text == "reboot";
  const int32_t limit = reboot ? kRebootAttempts : kOtherAttempts;
  int32_t attempts = 0;
  int32_t result = kNotCarriedOut;
  if (!reboot || reboot_may_run(p)) {
    do {
      carry_out(a.text.c_str());
      result = run_check(a.checkFuncIndex);
      ++attempts;
    } while (result != 0 && attempts < limit && terminate_flag.load() != 1);
  }
  a.actionResult = result;
  a.actionRetry = attempts;
}

// The records of an action's outcome; they name the function that reports them.
void log_result(int index, int32_t position, const rule_action& a) {
  kiv_log("self_healing", __LINE__, "monitor_profile[%d] result[%d]=%d\n", index,
          static_cast<int>(position), static_cast<int>(a.actionResult));
  kiv_log("self_healing", __LINE__, "monitor_profile[%d] retry[%d]=%d\n", index,
          static_cast<int>(position), static_cast<int>(a.actionRetry));
}

// Carries out the list in order, with the checks; a result of 1 ends it. The result of the last
// action carried out; none when none was.
std::optional<int32_t> run_actions(int index, monitor_profile& p) {
  std::optional<int32_t> last;
  for (p.actionIndex = 0; p.actionIndex < p.action_num(); ++p.actionIndex) {
    // After SIGTERM no action is started: the daemon is going, and the boot script waits for
    // it only so long.
    if (terminate_flag.load() == 1) {
      kiv_log("self_healing", __LINE__,
              "Get terminate signal, the remaining actions are not carried out\n");
      return last;
    }
    rule_action& a = p.actions[static_cast<size_t>(p.actionIndex)];
    kiv_log("self_healing", __LINE__, "To do action[%d]=%s\n", static_cast<int>(p.actionIndex),
            a.text.c_str());
    run_action(p, a);
    log_result(index, p.actionIndex, a);
    last = a.actionResult;
    if (a.actionResult == 1) return last;
  }
  return last;
}

// A fire over the heal budget is recorded, not acted on: every action as not carried out.
void hold_actions(int index, monitor_profile& p) {
  for (p.actionIndex = 0; p.actionIndex < p.action_num(); ++p.actionIndex) {
    rule_action& a = p.actions[static_cast<size_t>(p.actionIndex)];
    a.actionResult = kNotCarriedOut;
    a.actionRetry = 0;
    log_result(index, p.actionIndex, a);
  }
}

}  // namespace

void empty_ring(monitor_profile& p) {
  p.isHealing = 0;
  p.front = -1;
  p.rear = 0;
  size_t slots = p.timestamp.size() < p.frequency ? p.timestamp.size() : p.frequency;
  for (size_t i = 0; i < slots; ++i) p.timestamp[i] = 0.0;
}

void self_healing(monitor_profile& p) {
  log_start(p.index);
  {
    heal_scope heal(p);
    kiv_log("self_healing", __LINE__, "action_num=%d\n", static_cast<int>(p.action_num()));
    if (take_heal(text_or_none(p.kiv_keyword))) {
      count_heal(p.tally);
      const std::optional<int32_t> last = run_actions(p.index, p);
      if (last && *last != 0) count_unconfirmed(p.tally);
    } else {
      count_held(p.tally);
      hold_actions(p.index, p);
    }
  }
  kiv_log("self_healing", __LINE__, "===============self_healing end===============\n");
}

void self_healing(rule_set* set, int index) {
  monitor_profile* found = set ? profile_of(*set, index) : nullptr;
  if (found) return self_healing(*found);
  log_start(index);
  if (!set)
    kiv_log("self_healing", __LINE__, "monitor_profile is NULL!\n");
  else
    kiv_log("self_healing", __LINE__, "monitor_profile index=%d is out of range!\n", index);
}
