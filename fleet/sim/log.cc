// fleet_sim --log: the rule server's request log of a staged rollout, line for line as the nginx
// deployment writes it (fleet/nginx), for kivrule fleet's tests, the analytical database's and
// their benchmark. Every router checks a few times a day at a phase of its own and sends its
// fleet report; the set in rollout is published at the start of a day for the stage's buckets.
#include "fleet/sim/log.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

uint64_t mix(uint64_t x) {  // splitmix64: a router's draws from its number and the seed alone
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

double uniform(uint64_t seed, uint64_t a, uint64_t b) {
  return static_cast<double>(mix(seed ^ mix(a * 1000003 + b)) >> 11) / 9007199254740992.0;
}

struct router {
  char ident[33];
  uint32_t bucket;
  const char *model, *fwver, *tcode;
};

router make_router(const log_model& m, uint32_t n) {
  router r{};
  const uint64_t a = mix((m.seed * 2 + 1) ^ mix(n)), b = mix(a);
  std::snprintf(r.ident, sizeof r.ident, "%016" PRIx64 "%016" PRIx64, a, b);
  r.bucket = static_cast<uint32_t>(a >> 48) % 100;
  static const char* kModels[] = {"KV-1000", "KV-2000", "KV-3000"};
  static const char* kFirmwares[] = {"3.0.0.4.388", "3.0.0.6.102"};
  static const char* kTerritories[] = {"EU", "US", "JP", "CN"};
  r.model = kModels[mix(b) % 3];
  r.fwver = kFirmwares[mix(b + 1) % 2];
  r.tcode = kTerritories[mix(b + 2) % 4];
  return r;
}

struct check {
  int64_t time_ms;
  uint32_t router, number;
};

// Fires over `seconds` at `per_day`, drawn so their mean is exact.
uint64_t draw(double per_day, int64_t seconds, double u) {
  return static_cast<uint64_t>(std::floor(per_day * static_cast<double>(seconds) / 86400 + u));
}

}  // namespace

int write_fleet_log(const log_model& m, FILE* out) {
  const int64_t start = 1764547200;  // 2025-12-01 00:00 UTC, day 0
  const int64_t published_at = start + 86400LL * m.publish_day;
  const int64_t period = 86400 / m.checks_per_day;
  std::vector<router> routers;
  routers.reserve(m.routers);
  for (uint32_t n = 0; n < m.routers; ++n) routers.push_back(make_router(m, n));
  std::vector<check> checks;
  checks.reserve(static_cast<size_t>(m.routers) * m.checks_per_day * m.days);
  for (uint32_t n = 0; n < m.routers; ++n) {
    const int64_t phase = static_cast<int64_t>(uniform(m.seed, n, 0) * static_cast<double>(period));
    for (uint32_t k = 0; start + phase + k * period < start + 86400LL * m.days; ++k)
      checks.push_back({(start + phase + k * period) * 1000 + n % 997, n, k});
  }
  std::sort(checks.begin(), checks.end(),
            [](const check& a, const check& b) { return a.time_ms < b.time_ms; });
  std::vector<uint8_t> took(m.routers, 0);
  uint32_t noisy = 0;
  std::vector<uint8_t> is_noisy(m.routers, 0);
  for (uint32_t n = 0; n < m.routers && noisy < m.noisy; ++n)
    if (routers[n].bucket < m.stage) is_noisy[n] = 1, ++noisy;
  for (const check& c : checks) {
    const router& r = routers[c.router];
    const int64_t t = c.time_ms / 1000;
    const bool after = t >= published_at;
    const uint64_t published = after ? m.rollout_serial : m.base_serial;
    const uint32_t stage = after ? m.stage : 100;
    const uint64_t serial = took[c.router] ? m.rollout_serial : m.base_serial;
    const bool refuses = uniform(m.seed, c.router, 7) < m.refusing;
    if (uniform(m.seed, c.router, 1000 + c.number) < m.shed) {
      std::fprintf(out, "{\"time\":%" PRId64 ".%03d,\"status\":503%s%s%s}\n", t,
                   static_cast<int>(c.time_ms % 1000), c.number % 2 ? ",\"IDENT\":\"" : "",
                   c.number % 2 ? r.ident : "", c.number % 2 ? "\"" : "");
    }
    const int64_t seconds = period;  // each report covers the time since the last check
    double wan = serial == m.rollout_serial ? m.rollout_fires : m.base_fires;
    if (is_noisy[c.router] && serial == m.rollout_serial) wan = 200;
    if (m.outage_day >= 0 && (t - start) / 86400 == m.outage_day) wan *= 8;
    const uint64_t fires = draw(wan, seconds, uniform(m.seed, c.router, 2000 + c.number));
    const uint64_t dns = draw(0.2, seconds, uniform(m.seed, c.router, 3000 + c.number));
    const uint64_t reboots = draw(0.02, seconds, uniform(m.seed, c.router, 4000 + c.number));
    char rules[256] = "";
    int at = 0;
    if (fires)
      at += std::snprintf(rules + at, sizeof rules - at,
                          "\\\"wan_down\\\":{\\\"matches\\\":%" PRIu64 ",\\\"fires\\\":%" PRIu64
                          ",\\\"heals\\\":%" PRIu64 ",\\\"unconfirmed\\\":%" PRIu64
                          ",\\\"held\\\":0}",
                          fires * 3, fires, fires, fires / 8);
    if (dns)
      std::snprintf(rules + at, sizeof rules - at,
                    "%s\\\"dns_stall\\\":{\\\"matches\\\":%" PRIu64 ",\\\"fires\\\":%" PRIu64
                    ",\\\"heals\\\":%" PRIu64 ",\\\"unconfirmed\\\":0,\\\"held\\\":0}",
                    fires ? "," : "", dns, dns, dns);
    char refused[64] = "";
    if (after && refuses && r.bucket < m.stage && !took[c.router])
      std::snprintf(refused, sizeof refused, ",\\\"refused\\\":{\\\"signature\\\":1}");
    std::fprintf(out,
                 "{\"time\":%" PRId64
                 ".%03d,\"status\":200,\"Model\":\"%s\",\"TCode\":\"%s\","
                 "\"FWVER\":\"%s\",\"IDENT\":\"%s\",\"AlgoVersion\":\"Ver0001\","
                 "\"kiv_user_approval\":\"0\",\"RuleSerial\":\"%" PRIu64
                 "\",\"KivReport\":\"{\\\"v\\\":1,\\\"serial\\\":%" PRIu64
                 ",\\\"bucket\\\":%u,\\\"seconds\\\":%" PRId64
                 ",\\\"walked\\\":5000,\\\"lost\\\":0,\\\"reboots\\\":%" PRIu64
                 ",\\\"starts\\\":%d%s,\\\"rules\\\":{%s}}\",\"stage\":%u,\"published\":%" PRIu64
                 "}\n",
                 t, static_cast<int>(c.time_ms % 1000), r.model, r.tcode, r.fwver, r.ident, serial,
                 serial, r.bucket, seconds, reboots, c.number == 0 || reboots ? 1 : 0, refused,
                 rules, stage, published);
    // The answer carries the published set: a router of the stage's buckets takes it.
    if (after && r.bucket < stage && !refuses) took[c.router] = 1;
  }
  return std::ferror(out) ? 1 : 0;
}
