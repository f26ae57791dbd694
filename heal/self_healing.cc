// The healing executor. Runs on the trigger thread, inside the mp_mutex that the trigger thread
// took when it found the profile's condition met, and keeps it for the whole run: an action list
// may take minutes, and meanwhile no log line is walked and no rule set is swapped in.
//
// Each action is carried out through the platform (a service event followed by a 1-s pause, or
// the reboot) and confirmed by its check function; an unconfirmed action is tried again, up to 3
// attempts ("reboot": 1). A reboot over the budget (heal/reboot_budget.h) is not carried out at
// all: result -2, no attempt, and the list goes on. A check result of 1 ends the list. At the end
// the profile's ring is emptied and healing_index is set back to -1, which closes the healing state
// the trigger thread opened.
#include "heal/self_healing.h"

#include <cstring>

#include "core/kiv_log.h"
#include "heal/reboot_budget.h"
#include "platform/platform.h"
#include "rules/monitor_profile.h"

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
  logmessage_normal("kiv", "[%s]take action-[%s].\n", "self_healing", action);
  if (strcmp(action, "reboot") == 0) {
    platform_reboot();
    return;
  }
  notify_rc_and_wait_2min(action);
  kiv_sleep(1);
}

// The per-action arrays hold action_num entries each; a record whose arrays are shorter is
// walked only as far as all of them reach.
int32_t usable_actions(const monitor_profile& p) {
  size_t n = p.action_num > 0 ? static_cast<size_t>(p.action_num) : 0;
  for (size_t size :
       {p.action.size(), p.checkFuncIndex.size(), p.actionResult.size(), p.actionRetry.size()})
    if (size < n) n = size;
  return static_cast<int32_t>(n);
}

}  // namespace

void empty_ring(monitor_profile& p) {
  p.isHealing = 0;
  p.front = -1;
  p.rear = 0;
  size_t slots = p.timestamp.size() < p.frequency ? p.timestamp.size() : p.frequency;
  for (size_t i = 0; i < slots; ++i) p.timestamp[i] = 0.0f;
}

void self_healing(int index) {
  KIV_LOG("===============self_healing start===============\n");
  KIV_LOG("monitor_profile index=%d\n", index);
  if (!mp) {
    KIV_LOG("monitor_profile is NULL!\n");
    return;
  }
  if (index < 0 || index >= gArraylen) {
    // Nothing to heal: the healing state the caller opened is closed again.
    KIV_LOG("monitor_profile index=%d is out of range!\n", index);
    healing_index.store(-1);
    return;
  }
  monitor_profile& p = mp[index];
  KIV_LOG("action_num=%d\n", static_cast<int>(p.action_num));
  int32_t actions = usable_actions(p);
  p.actionIndex = 0;
  while (p.actionIndex < actions) {
    size_t i = static_cast<size_t>(p.actionIndex);
    const char* action = p.action[i].c_str();
    KIV_LOG("To do action[%d]=%s\n", static_cast<int>(p.actionIndex), action);
    const bool reboot = strcmp(action, "reboot") == 0;
    int32_t limit = reboot ? kRebootAttempts : kOtherAttempts;
    int32_t attempts = 0;
    int32_t result = kNotCarriedOut;
    if (!reboot || reboot_may_run(p)) {
      do {
        carry_out(action);
        result = run_check(p.checkFuncIndex[i]);
        ++attempts;
      } while (result != 0 && attempts < limit);
    }
    p.actionResult[i] = result;
    p.actionRetry[i] = attempts;
    KIV_LOG("monitor_profile[%d] result[%d]=%d\n", index, static_cast<int>(p.actionIndex),
            static_cast<int>(result));
    KIV_LOG("monitor_profile[%d] retry[%d]=%d\n", index, static_cast<int>(p.actionIndex),
            static_cast<int>(attempts));
    if (result == 1) break;
    p.actionIndex += 1;
  }
  empty_ring(p);
  healing_index.store(-1);
  KIV_LOG("===============self_healing end===============\n");
}
