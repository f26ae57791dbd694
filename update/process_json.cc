// The update scheduler: a boot-up check, then a daily random start between 02:00 and 05:59 local
// time, then cycles of checks every check period counted in ticks; deferred while healing. The
// start is drawn with a seed that differs between routers, so a fleet spreads over the four hours.
#include "update/process_json.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "core/digest.h"
#include "core/kiv_log.h"
#include "core/kiv_say.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "rules/rule_set.h"
#include "update/download_json.h"
#include "update/install_rules.h"
#include "update/retry_after.h"

// The records carry the scheduler's public name, whichever entry ran the tick.
#define PJ_LOG(fmt, ...) kiv_log("process_json", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

namespace {

json_schedule g_schedule;
uint32_t rand_call_count = 0;

// The check: download, then read. A shed answer holds every later check back (see the header).
void check_now(json_schedule& s, const char* path, const json_schedule_deps& deps) {
  s.check_owed = 0;
  if (const std::optional<int64_t> shed = deps.download(path)) {
    const int64_t hold = shed_hold_back(*shed, deps.random());
    s.not_before = deps.clock() + static_cast<double>(hold);
    s.check_owed = 1;
    PJ_LOG("No check for %lld s (the rule server asked for %lld s)\n", static_cast<long long>(hold),
           static_cast<long long>(*shed));
  }
  deps.read(path);
}

// kiv_boot_splay: whether the boot-up check still waits. The delay is drawn once, at the first
// tick of the boot phase that passes the gates. The boot phase holds the daily check too, so the
// splay is taken as at most KIV_BOOT_SPLAY_MAX_S: a mistyped 18000000 must not leave a router
// without a check for up to 68 years.
bool boot_splay_holds(json_schedule& s, const json_schedule_deps& deps) {
  const int splay = deps.get_int("kiv_boot_splay");
  if (splay <= 0) return false;
  const double now = deps.clock();
  if (s.splay_drawn == 0) {
    s.splay_drawn = 1;
    const int64_t bound = std::min<int64_t>(splay, KIV_BOOT_SPLAY_MAX_S);
    const int64_t delay = std::max(0, deps.random()) % (bound + 1);
    s.boot_not_before = now + static_cast<double>(delay);
    PJ_LOG("Boot-up check in %lld s (kiv_boot_splay=%d)\n", static_cast<long long>(delay), splay);
  }
  return now < s.boot_not_before;
}

// Four bytes of the kernel's random source, little-endian; false when it gives fewer.
bool kernel_random_word(uint32_t* word) {
  // Non-blocking: a FIFO planted at the path must not hold the main loop.
  int fd = open(kiv_path("/dev/urandom").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char b[4];
  ssize_t n = read(fd, b, sizeof b);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof b)) return false;
  *word = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
  return true;
}

}  // namespace

uint32_t random_seed_salt(const std::string& label_mac, bool kernel_bytes) {
  const std::string digest = md5_hex(label_mac);
  uint32_t salt = 0;
  for (size_t i = 0; i < 8 && i < digest.size(); ++i) {
    const char c = digest[i];
    salt = salt << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  uint32_t word = 0;
  if (kernel_bytes && kernel_random_word(&word)) salt ^= word;
  return salt;
}

int draw_random_number(int64_t now, uint32_t salt, uint32_t& call_count) {
  uint32_t seed = (static_cast<uint32_t>(now) + call_count) ^ salt;
  ++call_count;
  srand(static_cast<unsigned>(seed % 4294967295u));
  return rand();
}

// The time and the count alone gave every router that checked in the same second the same
// daily minute: after a regional power cut the whole region came back in a few seconds and
// asked at the same minutes every night. The salt spreads them.
int get_random_number() {
  return draw_random_number(platform_time(), random_seed_salt(nvram_safe_get("label_mac"), true),
                            rand_call_count);
}

double scheduler_clock() {
  return static_cast<double>(monotonic_ns()) * 1e-9 / platform_time_scale();
}

namespace {

// The periodic phase from the next counted tick on, which is a period's first: a check then.
void start_periodic(json_schedule& s) {
  s.phase = schedule_phase::periodic;
  s.period = -1;
}

// Whether the local time is the drawn daily minute.
bool daily_minute_now(const json_schedule& s, const json_schedule_deps& deps) {
  struct tm tm_now {};
  local_calendar(deps.now(), &tm_now);  // past 2038 with a 32-bit time_t too
  PJ_LOG("tm->tm_hour = %d, (2 + rand_hr) = %d\n", tm_now.tm_hour, (int)(2 + s.rand_hr));
  PJ_LOG("tm->tm_min = %d, rand_min = %d\n", tm_now.tm_min, (int)s.rand_min);
  return tm_now.tm_hour == s.rand_hr + 2 && tm_now.tm_min == s.rand_min;
}

// The schedule's part of a tick that passed the gates: whether a check falls due now.
bool scheduled_check_due(json_schedule& s, const json_schedule_deps& deps, int check_period) {
  const bool boot = s.phase == schedule_phase::boot_up;  // the boot-up check is still to come
  PJ_LOG("A=>bootup_check = %d, periodic_check = %d\n", boot ? 1 : 0,
         s.phase == schedule_phase::periodic ? 1 : 0);
  if (s.phase == schedule_phase::daily_wait && daily_minute_now(s, deps)) start_periodic(s);
  const bool quick = deps.get_int("kiv_quick_period") > 0;
  if (quick) {
    start_periodic(s);
    deps.set_int("kiv_quick_period", 0);
  }
  const bool periodic = s.phase == schedule_phase::periodic;
  PJ_LOG("B=>bootup_check = %d, periodic_check = %d, period=%d\n", boot ? 1 : 0, periodic ? 1 : 0,
         (int)s.period);
  if (!boot && !periodic) return false;
  // The splay holds the boot phase where it stands: the check then comes as it would have.
  if (boot && !quick && boot_splay_holds(s, deps)) return false;
  s.period = (s.period + 1) % check_period;
  PJ_LOG("period = %d, period_retry = %d, bootup_check = %d\n", (int)s.period, (int)s.period_retry,
         boot ? 1 : 0);
  if (s.period != 0 && (s.period_retry >= 2 || boot)) return false;
  s.period_retry = (s.period_retry + 1) % 3;
  PJ_LOG("period_retry = %d\n", (int)s.period_retry);
  if (boot) {
    if (!periodic) s.phase = schedule_phase::daily_wait;
    s.rand_hr = deps.random() % 4;
    s.rand_min = deps.random() % 60;
  }
  return true;
}

}  // namespace

void process_json_tick(json_schedule& s, const char* path, const json_schedule_deps& deps) {
  int check_period = deps.get_int("kiv_json_check_period");
  if (check_period < 2) check_period = 2880;
  if (deps.get_int("link_internet") != 2) return;
  if (healing_index.load() >= 0) {
    PJ_LOG("[process_json]In healing state, skip downloading JSON file!\n");
    s.download_deferred = 1;
    return;
  }
  if (deps.get_int("ntp_ready") == 0) {
    PJ_LOG("ntp_ready false");
    return;
  }
  bool due = s.download_deferred == 1;
  if (due)
    s.download_deferred = 0;
  else
    due = scheduled_check_due(s, deps, check_period);
  if (!due && s.check_owed == 0) return;
  const double now = deps.clock();
  if (now < s.not_before) {
    if (due) {
      s.check_owed = 1;
      PJ_LOG("Check held back: no check for %.0f s more (the rule server shed load)\n",
             s.not_before - now);
    }
    return;
  }
  check_now(s, path, deps);
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
