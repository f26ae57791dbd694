// The update scheduler: a boot-up check, then a daily random start between 02:00 and 05:59 local
// time, then cycles of checks every check period counted in ticks; deferred while healing.
#include "update/process_json.h"

#include <time.h>

#include <cstdlib>

#include "core/kiv_log.h"
#include "platform/platform.h"
#include "rules/rule_set.h"
#include "update/download_json.h"
#include "update/install_rules.h"

// The records carry the scheduler's public name, whichever entry ran the tick.
#define PJ_LOG(fmt, ...) kiv_log("process_json", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

namespace {

json_schedule g_schedule;
uint32_t rand_call_count = 0;

void check_now(const char* path, const json_schedule_deps& deps) {
  deps.download(path);
  deps.read(path);
}

}  // namespace

int get_random_number() {
  uint32_t seed = static_cast<uint32_t>(platform_time()) + rand_call_count;
  ++rand_call_count;
  srand(static_cast<unsigned>(seed % 4294967295u));
  return rand();
}

void process_json_tick(json_schedule& s, const char* path, const json_schedule_deps& deps) {
  int check_period = nvram_get_int("kiv_json_check_period");
  if (check_period < 2) check_period = 2880;
  if (nvram_get_int("link_internet") != 2) return;
  if (healing_index.load() >= 0) {
    PJ_LOG("[process_json]In healing state, skip downloading JSON file!\n");
    s.download_deferred = 1;
    return;
  }
  if (nvram_get_int("ntp_ready") == 0) {
    PJ_LOG("ntp_ready false");
    return;
  }
  if (s.download_deferred == 1) {
    s.download_deferred = 0;
    check_now(path, deps);
    return;
  }
  PJ_LOG("A=>bootup_check = %d, periodic_check = %d\n", (int)s.bootup_check, (int)s.periodic_check);
  if (s.bootup_check == 0 && s.periodic_check == 0) {
    time_t now = static_cast<time_t>(deps.now());
    struct tm tm_now {};
    localtime_r(&now, &tm_now);
    PJ_LOG("tm->tm_hour = %d, (2 + rand_hr) = %d\n", tm_now.tm_hour, (int)(2 + s.rand_hr));
    PJ_LOG("tm->tm_min = %d, rand_min = %d\n", tm_now.tm_min, (int)s.rand_min);
    if (tm_now.tm_hour == s.rand_hr + 2 && tm_now.tm_min == s.rand_min) {
      s.periodic_check = 1;
      s.period = -1;
    }
  }
  if (nvram_get_int("kiv_quick_period") > 0) {
    s.periodic_check = 1;
    s.period = -1;
    nvram_set_int("kiv_quick_period", 0);
  }
  PJ_LOG("B=>bootup_check = %d, periodic_check = %d, period=%d\n", (int)s.bootup_check,
         (int)s.periodic_check, (int)s.period);
  if (s.bootup_check == 0 && s.periodic_check == 0) return;
  s.period = (s.period + 1) % check_period;
  PJ_LOG("period = %d, period_retry = %d, bootup_check = %d\n", (int)s.period, (int)s.period_retry,
         (int)s.bootup_check);
  if (s.period != 0 && (s.period_retry >= 2 || s.bootup_check != 0)) return;
  s.period_retry = (s.period_retry + 1) % 3;
  PJ_LOG("period_retry = %d\n", (int)s.period_retry);
  if (s.bootup_check != 0) {
    s.bootup_check = 0;
    s.rand_hr = deps.random() % 4;
    s.rand_min = deps.random() % 60;
  }
  check_now(path, deps);
}

void process_json(const char* path) {
  if (!path) {
    KIV_LOG("[process_json]No JSON file path!\n");
    kiv_exit(1);
  }
  static const json_schedule_deps real = {platform_time, download_json, read_json,
                                          get_random_number};
  process_json_tick(g_schedule, path, real);
}
