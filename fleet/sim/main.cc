// fleet_sim: the rule server's load from a fleet of routers running kiv's update scheduler,
// with today's seed of the daily draw and with the mended one; and its two stories, the herd
// after a power cut and a staged rollout. See kUsage and docs/rule_server_load.md.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>

#include "core/kiv_log.h"
#include "fleet/sim/fleet.h"
#include "fleet/sim/log.h"

namespace {

const char kUsage[] =
    "usage: fleet_sim [--routers N] [--rule-bytes B] [--restore HH:MM] [--reboots PCT]\n"
    "                 [--herd-delay S] [--seed S] [--minutes] [--one-by-one]\n"
    "       fleet_sim --herd [--boot-splay S] [--capacity C] [--retry-after R] [...]\n"
    "       fleet_sim --rollout [--stage P] [--publish-after H] [...]\n"
    "       fleet_sim --log [--routers N] [--days D] [--publish-day D] [--checks C] [--stage P]\n"
    "                 [--seed S] [--rollout-fires F] [--base-fires F] [--outage-day D] [--noisy "
    "N]\n"
    "                 [--refusing PCT] [--shed PCT]\n"
    "\n"
    "N routers (default 10000) lose power together and all come back at HH:MM (default 18:00)\n"
    "on day 1; each then runs kiv's own update scheduler (process_json_tick, get_random_number's\n"
    "draw) on a virtual clock for 48 hours, once with today's seed (time and call count) and\n"
    "once with the mended one (mixed with the MD5 of the router's label MAC). Every check is one\n"
    "request answered with the whole rule file of B bytes (default 16384).\n"
    "\n"
    "The fleet (every time a whole second, drawn uniformly, independently per router and boot):\n"
    "  power-on to kiv's start          30..89 s; first tick 10 s later, then one every 30 s\n"
    "  power-on to link_internet=2      45..164 s\n"
    "  link up to ntp_ready=1           2..59 s, plus 0..S-1 s with --herd-delay S (default 0)\n"
    "  check period                     kiv_json_check_period unset: 2880 ticks (24 h)\n"
    "  reboots at other times           each day, PCT% of the routers (default 2) reboot at a\n"
    "                                   uniform second of that day, then boot as above\n"
    "  downloads                        answered at once, one request each, no retries; no\n"
    "                                   healing run defers a check; local time is UTC\n"
    "Label MACs are consecutive (02:4B:56:00:00:00 on). --seed changes the fleet's draws only.\n"
    "\n"
    "Prints the peak minute of each hour, the ticks run, the bytes served per day and, last, one\n"
    "line per seed: boot-up peak (requests per minute of boot-up checks), daily peak and mean\n"
    "(the other checks; the mean is over the minutes between 02:00 and 05:59 that the 48 hours\n"
    "hold) and peak/mean. --minutes prints every minute instead of every hour. --one-by-one\n"
    "ticks every router on its own (no grouping of routers with one future): same output,\n"
    "slower.\n"
    "\n"
    "--herd: the boot-up herd, with the mended seed: the busiest minute of boot-up checks as\n"
    "before and with kiv_boot_splay S (default 1800) on every router; then a server that\n"
    "serves at most C requests a minute (default 100000) and answers the rest 503 with\n"
    "Retry-After R (default 60): the busiest minute it served, the requests it turned away and\n"
    "when the last router had its first set, with routers as before (a 503 is a failed try:\n"
    "six tries 2 s apart, then the next check), with Retry-After honoured, and with the splay\n"
    "as well.\n"
    "\n"
    "--rollout: a set that misfires (288 fires a router-day, against 0.5 of the set before it)\n"
    "is published H hours (default 6) after the power came back, staged for P% of the routers\n"
    "(default 1; a router takes it when its bucket, the daemon's, is below P) and once for\n"
    "every router. A day later the vendor compares the reports the routers sent with their\n"
    "requests and halts it when the new serial's fires per router-day are more than twice the\n"
    "old's with at least 20 routers reporting it: how many routers took it.\n"
    "\n"
    "--log: the rule server's request log of a staged rollout (fleet/nginx's lines) on standard\n"
    "output: N routers (default 1000) over D days (default 3), each checking C times a day\n"
    "(default 1) at a phase of its own with its fleet report; serial 2025113001 published for\n"
    "every router before, serial 2025120101 from day D (default 1) for P% of the buckets\n"
    "(default 10).\n"
    "wan_down fires F a router-day (default 0.5) on each; --outage-day D: 8 times as many on day\n"
    "D for every router; --noisy N: N routers of the stage fire 200 a day; PCT% of the stage's\n"
    "routers refuse the set (bad signature, default 2) and PCT% of checks meet a shed request\n"
    "(503, every other one with its IDENT; default 1).\n";

struct options {
  fleet_model model;
  uint64_t rule_bytes = 16384;
  bool minutes = false;
  bool herd = false, rollout = false, log = false;
  bool stage_given = false;
  log_model log_m;
  int boot_splay = 1800;
  uint64_t capacity = 100000;
  uint32_t stage = 1;
};

bool parse_count(const char* text, uint64_t lo, uint64_t hi, uint64_t* out) {
  if (!text || !*text || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parse_clock(const char* text, int* minute) {
  unsigned h = 0, m = 0;
  char tail = 0;
  if (!text || sscanf(text, "%2u:%2u%c", &h, &m, &tail) != 2 || h > 23 || m > 59) return false;
  *minute = static_cast<int>(h * 60 + m);
  return true;
}

bool parse_rate(const char* text, double* out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const double v = strtod(text, &end);
  if (errno != 0 || *end != '\0' || !(v >= 0 && v <= 86400)) return false;
  *out = v;
  return true;
}

// 0 when parsed, 1 for a bad command line, 2 for --help.
int parse_options(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t n = 0;
    double rate = 0;
    if (a == "--help" || a == "-h") return 2;
    if (a == "--minutes") {
      o->minutes = true;
    } else if (a == "--one-by-one") {
      o->model.one_by_one = true;
    } else if (a == "--routers" && parse_count(v, 1, 1u << 24, &n)) {
      o->model.routers = static_cast<uint32_t>(n), ++i;
    } else if (a == "--rule-bytes" && parse_count(v, 0, 1ull << 40, &n)) {
      o->rule_bytes = n, ++i;
    } else if (a == "--reboots" && parse_count(v, 0, 100, &n)) {
      o->model.reboots_per_day = static_cast<double>(n) / 100.0, ++i;
    } else if (a == "--herd-delay" && parse_count(v, 0, 86400, &n)) {
      o->model.herd_delay_s = static_cast<int>(n), ++i;
    } else if (a == "--seed" && parse_count(v, 0, UINT64_MAX, &n)) {
      o->model.seed = n, ++i;
    } else if (a == "--restore" && parse_clock(v, &o->model.restore_minute)) {
      ++i;
    } else if (a == "--herd") {
      o->herd = true;
    } else if (a == "--rollout") {
      o->rollout = true;
    } else if (a == "--boot-splay" && parse_count(v, 1, 86400, &n)) {
      o->boot_splay = static_cast<int>(n), ++i;
    } else if (a == "--capacity" && parse_count(v, 1, UINT32_MAX, &n)) {
      o->capacity = n, ++i;
    } else if (a == "--retry-after" && parse_count(v, 0, 21600, &n)) {
      o->model.retry_after_s = static_cast<int>(n), ++i;
    } else if (a == "--stage" && parse_count(v, 1, 100, &n)) {
      o->stage = static_cast<uint32_t>(n), o->stage_given = true, ++i;
    } else if (a == "--log") {
      o->log = true;
    } else if (a == "--days" && parse_count(v, 1, 366, &n)) {
      o->log_m.days = static_cast<uint32_t>(n), ++i;
    } else if (a == "--publish-day" && parse_count(v, 0, 365, &n)) {
      o->log_m.publish_day = static_cast<uint32_t>(n), ++i;
    } else if (a == "--checks" && parse_count(v, 1, 96, &n)) {
      o->log_m.checks_per_day = static_cast<uint32_t>(n), ++i;
    } else if (a == "--outage-day" && parse_count(v, 0, 365, &n)) {
      o->log_m.outage_day = static_cast<int>(n), ++i;
    } else if (a == "--noisy" && parse_count(v, 0, 1u << 24, &n)) {
      o->log_m.noisy = static_cast<uint32_t>(n), ++i;
    } else if (a == "--refusing" && parse_count(v, 0, 100, &n)) {
      o->log_m.refusing = static_cast<double>(n) / 100, ++i;
    } else if (a == "--shed" && parse_count(v, 0, 100, &n)) {
      o->log_m.shed = static_cast<double>(n) / 100, ++i;
    } else if ((a == "--rollout-fires" || a == "--base-fires") && parse_rate(v, &rate)) {
      (a == "--base-fires" ? o->log_m.base_fires : o->log_m.rollout_fires) = rate, ++i;
    } else if (a == "--publish-after" && parse_count(v, 0, 36, &n)) {
      o->model.publish_at = static_cast<int64_t>(n) * 3600, ++i;
    } else {
      fprintf(stderr, "fleet_sim: bad argument '%s'\n", argv[i]);
      return 1;
    }
  }
  return 0;
}

// The figures of one seed's run.
struct summary {
  uint64_t bootup_peak = 0, daily_peak = 0, requests = 0;
  double daily_mean = 0;
};

bool in_night_window(const fleet_model& m, int minute) {
  const int of_day = (m.restore_minute + minute) % (24 * 60);
  return of_day >= 2 * 60 && of_day < 6 * 60;
}

summary summarize(const fleet_model& m, const fleet_load& l) {
  summary s;
  s.bootup_peak = *std::max_element(l.bootup.begin(), l.bootup.end());
  s.daily_peak = *std::max_element(l.daily.begin(), l.daily.end());
  const uint64_t daily = std::accumulate(l.daily.begin(), l.daily.end(), uint64_t{0});
  s.requests = daily + std::accumulate(l.bootup.begin(), l.bootup.end(), uint64_t{0});
  int window = 0;
  for (int minute = 0; minute < kSimMinutes; ++minute) window += in_night_window(m, minute);
  s.daily_mean = window ? static_cast<double>(daily) / window : 0.0;
  return s;
}

// "d1 18:00": the virtual day and local time of a minute of the run.
std::string clock_of(const fleet_model& m, int minute) {
  const time_t at = static_cast<time_t>(sim_start_time(m) + 60LL * minute);
  struct tm tm {};
  gmtime_r(&at, &tm);
  char text[48];
  snprintf(text, sizeof text, "d%d %02d:%02d", tm.tm_mday - 4, tm.tm_hour, tm.tm_min);
  return text;
}

uint64_t peak_of(const fleet_load& l, int from, int count) {
  uint64_t peak = 0;
  for (int minute = from; minute < from + count; ++minute)
    peak = std::max(peak, l.bootup[minute] + l.daily[minute]);
  return peak;
}

void print_table(const options& o, const fleet_load& today, const fleet_load& mended) {
  const int step = o.minutes ? 1 : 60;
  printf("%-8s %14s %14s   (requests per minute%s)\n", "time", "today", "mended",
         o.minutes ? "" : ", the peak minute of the hour");
  for (int minute = 0; minute < kSimMinutes; minute += step)
    printf("%-8s %14" PRIu64 " %14" PRIu64 "\n", clock_of(o.model, minute).c_str(),
           peak_of(today, minute, step), peak_of(mended, minute, step));
}

// "d2 03:14 (9 h 14 min after the power came back)", or that it did not come within the run.
std::string when_all_had_a_set(const fleet_model& m, const fleet_load& l) {
  uint64_t had = 0;
  for (int minute = 0; minute < kSimMinutes; ++minute) {
    had += l.got_set[static_cast<size_t>(minute)];
    if (had >= m.routers) {
      char text[96];
      snprintf(text, sizeof text, "%s (%d h %d min after the power came back)",
               clock_of(m, minute).c_str(), minute / 60, minute % 60);
      return text;
    }
  }
  return "not within the 48 hours (" + std::to_string(had) + " of them had one)";
}

int herd_story(const options& o) {
  fleet_model before = o.model, splayed = o.model;
  before.honours_retry_after = false;
  splayed.boot_splay_s = o.boot_splay;
  const std::string splay_name = "kiv_boot_splay " + std::to_string(o.boot_splay);
  uint64_t peaks[2];
  for (const fleet_model* m : {&before, &splayed}) {
    const fleet_load l = simulate_fleet(*m, seed_kind::mended);
    peaks[m == &splayed] = *std::max_element(l.bootup.begin(), l.bootup.end());
  }
  printf("herd: as before: boot-up peak %" PRIu64 "/min\n", peaks[0]);
  printf(
      "herd: %s: boot-up peak %" PRIu64 "/min (%.1f%% of it)\n", splay_name.c_str(), peaks[1],
      100.0 * static_cast<double>(peaks[1]) / static_cast<double>(std::max<uint64_t>(peaks[0], 1)));
  fleet_model listening = o.model;
  before.capacity = listening.capacity = splayed.capacity = o.capacity;
  for (const fleet_model* m : {&before, &listening, &splayed}) {
    const fleet_load l = simulate_fleet(*m, seed_kind::mended);
    uint64_t asked = 0, served = 0;
    for (int minute = 0; minute < kSimMinutes; ++minute) {
      asked += l.bootup[static_cast<size_t>(minute)] + l.daily[static_cast<size_t>(minute)];
      served += l.served[static_cast<size_t>(minute)];
    }
    printf("herd, capacity %" PRIu64 "/min, Retry-After %d: %s: peak %" PRIu64
           "/min served, %" PRIu64 " requests turned away, the last router had a set at %s\n",
           o.capacity, m->retry_after_s,
           m == &before      ? "as before"
           : m == &listening ? "Retry-After honoured"
                             : (splay_name + " and Retry-After honoured").c_str(),
           *std::max_element(l.served.begin(), l.served.end()), asked - served,
           when_all_had_a_set(*m, l).c_str());
  }
  return 0;
}

int rollout_story(const options& o) {
  for (uint32_t stage : {o.stage, 100u}) {
    fleet_model m = o.model;
    m.stage = stage;
    const fleet_load l = simulate_fleet(m, seed_kind::mended);
    const rollout_result& r = l.rollout;
    const std::string name =
        stage < 100 ? "staged for " + std::to_string(stage) + "%" : std::string("for every router");
    const std::string verdict =
        r.halted_at < 0 ? std::string("not halted")
                        : "halted at " + clock_of(m, static_cast<int>(r.halted_at / 60));
    printf("rollout: %s, published at %s: %s from the reports (%" PRIu64
           " routers reporting the new serial: %.1f fires per router-day against %.1f), reached "
           "%" PRIu64 " routers (%.2f%%)\n",
           name.c_str(), clock_of(m, static_cast<int>(m.publish_at / 60)).c_str(), verdict.c_str(),
           r.new_routers, r.new_router_days > 0 ? r.new_fires / r.new_router_days : 0.0,
           r.old_router_days > 0 ? r.old_fires / r.old_router_days : 0.0, r.reached,
           100.0 * static_cast<double>(r.reached) / m.routers);
  }
  return 0;
}

void print_line(const char* name, const summary& s) {
  printf("%s: boot-up peak %" PRIu64 "/min, daily peak %" PRIu64
         "/min, daily mean %.0f/min, peak/mean %.2f\n",
         name, s.bootup_peak, s.daily_peak, s.daily_mean,
         s.daily_mean > 0 ? static_cast<double>(s.daily_peak) / s.daily_mean : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  const int rc = parse_options(argc, argv, &o);
  if (rc != 0) {
    fputs(kUsage, rc == 2 ? stdout : stderr);
    return rc == 2 ? 0 : 2;
  }
  if (o.log) {
    o.log_m.routers = o.model.routers;
    o.log_m.seed = o.model.seed;
    o.log_m.stage = o.stage_given ? o.stage : 10;
    return write_fleet_log(o.log_m, stdout);
  }
  setenv("TZ", "UTC0", 1);  // the virtual routers' local time
  tzset();
  kiv_log_to_stream(nullptr);  // the scheduler's records cost nothing here
  const fleet_model& m = o.model;
  if (o.herd || o.rollout) {
    printf("fleet_sim: %u routers, power back at %s, 48 h, reboots %.0f%%/day\n", m.routers,
           clock_of(m, 0).c_str(), m.reboots_per_day * 100);
    if (o.herd) herd_story(o);
    if (o.rollout) rollout_story(o);
    return 0;
  }
  printf("fleet_sim: %u routers, power back at %s, 48 h, rule file %" PRIu64
         " bytes, reboots %.0f%%/day, herd delay %d s\n",
         m.routers, clock_of(m, 0).c_str(), o.rule_bytes, m.reboots_per_day * 100, m.herd_delay_s);
  const fleet_load today = simulate_fleet(m, seed_kind::today);
  const fleet_load mended = simulate_fleet(m, seed_kind::mended);
  print_table(o, today, mended);
  const summary t = summarize(m, today), n = summarize(m, mended);
  printf("scheduler ticks run: today %" PRIu64 ", mended %" PRIu64 " (%s); reboots %" PRIu64
         "; routers or groups alive at most: today %zu, mended %zu\n",
         today.ticks, mended.ticks, m.one_by_one ? "one by one" : "grouped", today.reboots,
         today.most_entities, mended.most_entities);
  printf("bytes served per day: today %" PRIu64 ", mended %" PRIu64 " (%.3g GB a day)\n",
         t.requests * o.rule_bytes / 2, n.requests * o.rule_bytes / 2,
         static_cast<double>(n.requests * o.rule_bytes / 2) / 1e9);
  print_line("today", t);
  print_line("mended", n);
  return 0;
}
