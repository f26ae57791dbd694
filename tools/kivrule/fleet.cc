// kivrule fleet: the vendor's view of a rollout, from the reports the routers sent the rule
// server (read by fleet_log). Per serial and stage: routers reporting, router-days covered, and
// per rule fires, heals and unconfirmed heals per 1,000 router-days, reboots per 1,000
// router-days; then the serial in rollout against a base, and the verdict.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "tools/kivrule/fleet_log.h"
#include "tools/kivrule/kivrule.h"

namespace {

constexpr double kSecondsPerDay = 86400;

struct fleet_options {
  std::string log_path;
  std::optional<uint64_t> base, serial;
  double factor = 2;          // halt above this many times the base's rate
  uint64_t min_routers = 20;  // routers of the rollout serial needed to judge it
  double floor = 100;         // a base rate under it (per 1,000 router-days) counts as it
};

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: fleet: %s\n", message.c_str());
  return status;
}

bool parse_real(const std::string& text, double low, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || errno || !std::isfinite(v) || v < low || v > 1e15) return false;
  *out = v;
  return true;
}

std::string serial_text(uint64_t serial) {
  return std::to_string(static_cast<unsigned long long>(serial));
}

std::string stage_text(uint32_t stage) {
  return stage ? std::to_string(stage) + "%" : "-";
}

double router_days(const fleet_tally& t) {
  return static_cast<double>(t.seconds) / kSecondsPerDay;
}

// count per 1,000 router-days; a count over no time at all is infinite (0 stays 0).
double per_kday(uint64_t count, const fleet_tally& t) {
  if (count == 0) return 0;
  const double days = router_days(t);
  return days > 0 ? static_cast<double>(count) * 1000 / days : INFINITY;
}

std::string rate_text(double rate) {
  if (std::isinf(rate)) return "inf";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.1f", rate);
  return buf;
}

// A keyword as it is when it is a plain word, in quotes with control bytes escaped otherwise.
std::string keyword_text(const std::string& k) {
  if (k.empty()) return "(more rules)";
  for (unsigned char c : k)
    if (!(std::isalnum(c) || c == '_' || c == '-' || c == '.')) return quoted_text(k, 64, false);
  return k;
}

std::string routers_text(const fleet_tally& t) {
  char days[40];
  std::snprintf(days, sizeof days, "%.1f", router_days(t));
  const size_t n = t.routers.size();
  return std::to_string(n) + (n == 1 ? " router, " : " routers, ") + days + " router-days";
}

void print_group(const std::string& title, const fleet_tally& t) {
  std::printf("%s: %s, reboots %s per 1,000 router-days\n", title.c_str(), routers_text(t).c_str(),
              rate_text(per_kday(t.reboots, t)).c_str());
  if (t.rules.empty()) return;
  std::printf("  %-28s %10s %10s %12s\n", "per 1,000 router-days", "fires", "heals", "unconfirmed");
  for (const auto& [keyword, r] : t.rules)
    std::printf("  %-28s %10s %10s %12s\n", keyword_text(keyword).c_str(),
                rate_text(per_kday(r.fires, t)).c_str(), rate_text(per_kday(r.heals, t)).c_str(),
                rate_text(per_kday(r.unconfirmed, t)).c_str());
}

void print_summary(const fleet_log& log) {
  auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf("requests %llu; reports counted %llu", n(log.requests), n(log.counted));
  if (log.cut) std::printf(" (%llu cut short)", n(log.cut));
  std::printf(", without a report %llu, answered other than 200 %llu (sent again), refused %llu\n",
              n(log.no_report), n(log.not_answered), n(log.refused));
  if (!log.first_refusal.empty()) std::printf("first refused: %s\n", log.first_refusal.c_str());
}

// Every stage of a serial together.
fleet_tally serial_total(const fleet_log& log, uint64_t serial) {
  fleet_tally total;
  for (auto at = log.groups.lower_bound({serial, 0});
       at != log.groups.end() && at->first.first == serial; ++at)
    add_tally(&total, at->second);
  return total;
}

struct comparison {
  std::string what;
  double rollout = 0, base = 0;
  bool rose = false;
};

// The rates of the rollout against the base's: reboots, then the fires of every rule either has.
std::vector<comparison> compare(const fleet_tally& now, const fleet_tally& base,
                                const fleet_options& o) {
  std::vector<comparison> out;
  auto add = [&](const std::string& what, double r, double b) {
    out.push_back({what, r, b, r > o.factor * std::max(b, o.floor)});
  };
  add("reboots", per_kday(now.reboots, now), per_kday(base.reboots, base));
  std::set<std::string> keywords;
  for (const auto& [k, r] : now.rules) keywords.insert(k);
  for (const auto& [k, r] : base.rules) keywords.insert(k);
  for (const std::string& k : keywords) {
    const auto n = now.rules.find(k), b = base.rules.find(k);
    add("fires of " + keyword_text(k), n == now.rules.end() ? 0 : per_kday(n->second.fires, now),
        b == base.rules.end() ? 0 : per_kday(b->second.fires, base));
  }
  return out;
}

// The serial in rollout: --serial, or the newest serial reported.
std::optional<uint64_t> rollout_serial(const fleet_log& log, const fleet_options& o) {
  if (o.serial) return o.serial;
  if (log.groups.empty()) return std::nullopt;
  return log.groups.rbegin()->first.first;
}

// The base: --base, or the newest serial reported below the one in rollout.
std::optional<uint64_t> base_serial(const fleet_log& log, uint64_t rollout,
                                    const fleet_options& o) {
  if (o.base) return o.base;
  auto at = log.groups.lower_bound({rollout, 0});
  if (at == log.groups.begin()) return std::nullopt;
  return std::prev(at)->first.first;
}

int verdict(const fleet_log& log, const fleet_options& o) {
  const std::optional<uint64_t> serial = rollout_serial(log, o);
  if (!serial) {
    std::printf("verdict: go on: no router reports a serial\n");
    return KIVRULE_OK;
  }
  const fleet_tally now = serial_total(log, *serial);
  const std::optional<uint64_t> base_no = base_serial(log, *serial, o);
  const fleet_tally base = base_no ? serial_total(log, *base_no) : fleet_tally();
  std::printf("\nserial %s in rollout (%s) against ", serial_text(*serial).c_str(),
              routers_text(now).c_str());
  if (base_no && !base.routers.empty())
    std::printf("base serial %s (%s)\n", serial_text(*base_no).c_str(), routers_text(base).c_str());
  else if (base_no)
    std::printf("base serial %s, which no router reports: every base rate is 0\n",
                serial_text(*base_no).c_str());
  else
    std::printf("no base (no router reports an older serial): every base rate is 0\n");
  std::printf(
      "halt above %g times the base's rate; a base rate under %g per 1,000 router-days "
      "counts as %g\n",
      o.factor, o.floor, o.floor);
  const std::vector<comparison> rows = compare(now, base, o);
  const std::string head = base_no ? "serial " + serial_text(*base_no) : "base";
  std::printf("  %-28s %12s %12s\n", "per 1,000 router-days",
              ("serial " + serial_text(*serial)).c_str(), head.c_str());
  std::string rose;
  for (const comparison& c : rows) {
    std::printf("  %-28s %12s %12s%s\n", c.what.c_str(), rate_text(c.rollout).c_str(),
                rate_text(c.base).c_str(), c.rose ? "  rose" : "");
    if (c.rose) rose += (rose.empty() ? "" : ", ") + c.what;
  }
  if (now.routers.size() < o.min_routers) {
    std::printf("verdict: go on: %zu of the %llu routers needed to judge report serial %s\n",
                now.routers.size(), static_cast<unsigned long long>(o.min_routers),
                serial_text(*serial).c_str());
    return KIVRULE_OK;
  }
  if (!rose.empty()) {
    std::printf("verdict: halt: %s rose above %g times the base's\n", rose.c_str(), o.factor);
    return KIVRULE_REJECTED;
  }
  std::printf("verdict: go on\n");
  return KIVRULE_OK;
}

int take_options(std::vector<std::string>* args, fleet_options* o, std::string* err) {
  std::optional<std::string> base, serial, factor, min_routers, floor;
  if (!take_option(args, "--base", &base, err) || !take_option(args, "--serial", &serial, err) ||
      !take_option(args, "--factor", &factor, err) ||
      !take_option(args, "--min-routers", &min_routers, err) ||
      !take_option(args, "--floor", &floor, err))
    return KIVRULE_USAGE;
  uint64_t n = 0;
  for (auto [text, out] : {std::pair{&base, &o->base}, std::pair{&serial, &o->serial}}) {
    if (!*text) continue;
    if (!parse_serial(**text, &n)) {
      *err = "a serial is a number 0..18446744073709551615, not '" + **text + "'";
      return KIVRULE_USAGE;
    }
    *out = n;
  }
  if (factor && !parse_real(*factor, 1, &o->factor)) {
    *err = "--factor needs a number of at least 1, not '" + *factor + "'";
    return KIVRULE_USAGE;
  }
  if (floor && !parse_real(*floor, 0, &o->floor)) {
    *err = "--floor needs a rate of at least 0, not '" + *floor + "'";
    return KIVRULE_USAGE;
  }
  if (min_routers && (!parse_serial(*min_routers, &o->min_routers) || o->min_routers == 0)) {
    *err = "--min-routers needs a whole number of at least 1, not '" + *min_routers + "'";
    return KIVRULE_USAGE;
  }
  if (args->size() != 1 || (args->front().size() > 1 && args->front()[0] == '-')) {
    *err =
        "usage: kivrule fleet LOG [--base SERIAL] [--serial SERIAL] [--factor X] "
        "[--min-routers N] [--floor R]";
    return KIVRULE_USAGE;
  }
  o->log_path = args->front();
  return KIVRULE_OK;
}

// The log as a stream: standard input for "-"; a directory or an unreadable file is refused.
FILE* open_log(const std::string& path, std::string* err) {
  if (path == "-") return stdin;
  FILE* f = std::fopen(path.c_str(), "r");
  struct stat st;
  if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    errno = EISDIR;
    f = nullptr;
  }
  if (!f) *err = input_name(path) + ": cannot read it (" + std::strerror(errno) + ")";
  return f;
}

}  // namespace

int kivrule_fleet(std::vector<std::string> args) {
  fleet_options o;
  std::string err;
  if (take_options(&args, &o, &err) != KIVRULE_OK) return fail(err, KIVRULE_USAGE);
  FILE* f = open_log(o.log_path, &err);
  if (!f) return fail(err, KIVRULE_USAGE);
  fleet_log log;
  read_fleet_log(f, &log);
  if (f != stdin) std::fclose(f);
  if (log.read_error) return fail(input_name(o.log_path) + ": a read failed", KIVRULE_USAGE);

  print_summary(log);
  for (const auto& [key, tally] : log.groups) {
    std::printf("\n");
    print_group("serial " + serial_text(key.first) + ", stage " + stage_text(key.second), tally);
  }
  const int status = verdict(log, o);
  for (const std::string& note : log.notes)
    std::fprintf(stderr, "kivrule: fleet: %s: %s\n", input_name(o.log_path).c_str(), note.c_str());
  if (log.unreadable > log.notes.size())
    std::fprintf(stderr, "kivrule: fleet: %s: %llu more lines it cannot read\n",
                 input_name(o.log_path).c_str(),
                 static_cast<unsigned long long>(log.unreadable - log.notes.size()));
  if (log.unreadable) {
    std::fprintf(stderr, "kivrule: fleet: %llu lines cannot be read: the verdict leaves them out\n",
                 static_cast<unsigned long long>(log.unreadable));
    return KIVRULE_USAGE;
  }
  return status;
}
