// The fleet on a virtual clock. Every router runs the daemon's own scheduler tick
// (process_json_tick) every 30 virtual seconds, with its settings reads, its wall clock and its
// draws (draw_random_number, seeded as get_random_number seeds it) taken from the simulated
// router; the download counts one request of the rule server.
//
// Ticking a million routers every 30 s for 48 h is 5.8e9 ticks. Routers whose futures are
// identical are run once, weighted: two routers (or groups) are merged when, on the same
// second, both have their link and clock up for good and the same scheduler state, and, while
// their boot-up check (the one tick that draws) is still to come, the same seed state (salt and
// call count). From then on every tick reads the same settings and the same time and makes the
// same state, so the group's one run is each member's run. A router that reboots leaves its
// group (the group's weight drops by one) and starts again on its own. `one_by_one` runs every
// router alone, ticked in full: the same output at small N shows the grouping changes nothing.
#include "tools/fleet_sim/fleet.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "update/process_json.h"

namespace {

// The logical rule file path the daemon passes; the simulation never writes it.
constexpr const char* kJsonPath = "/tmp/kivjson.json";
constexpr int64_t kDay = 86400;

// What is drawn for a router's boot (each draw its own stream).
enum draw_kind : uint32_t { kBoot, kLink, kClock, kHerd, kRebootChance, kRebootTime = 8 };

uint64_t mix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Uniform in [lo, hi): a function of the fleet's seed, the router, its boot and the kind.
int64_t uniform(const fleet_model& m, uint32_t router, uint32_t boot, uint32_t kind, int64_t lo,
                int64_t hi) {
  if (hi <= lo) return lo;
  const uint64_t h = mix64(m.seed ^ mix64(uint64_t{router} << 32 | uint64_t{boot} << 8 | kind));
  return lo + static_cast<int64_t>(h % static_cast<uint64_t>(hi - lo));
}

// The routers of one model carry consecutive label MACs.
std::string label_mac(uint32_t router) {
  char mac[18];
  snprintf(mac, sizeof mac, "02:4B:56:%02X:%02X:%02X", (router >> 16) & 0xffu,
           (router >> 8) & 0xffu, router & 0xffu);
  return mac;
}

// One router, or a group of routers with one future.
struct entity {
  json_schedule s;
  uint32_t weight = 1;
  uint32_t parent = 0;   // the group it was merged into; itself while it runs
  int64_t link_at = 0;   // link_internet 2 from then on (seconds from the start)
  int64_t clock_at = 0;  // ntp_ready 1 from then on
  uint32_t salt = 0;
  uint32_t draws = 0;  // get_random_number's call count
  bool alive = true;
  bool fresh = true;  // new, or its phase changed, since it was last offered for a merge
};

struct fleet_run {
  const fleet_model& m;
  seed_kind kind;
  int64_t start;
  std::vector<entity> entities;
  std::vector<uint32_t> router_entity, boots;
  std::vector<std::vector<uint32_t>> due;        // entities by the second of their next tick
  std::vector<std::vector<uint32_t>> reboot_at;  // routers by the second they reboot
  fleet_load load;
  size_t alive = 0;
  // The tick in progress, which the scheduler's dependencies answer from.
  entity* cur = nullptr;
  int64_t now = 0;
  bool bootup_pending = false;
  json_schedule_deps deps;

  fleet_run(const fleet_model& model, seed_kind k);
  fleet_run(const fleet_run&) = delete;  // deps hold `this`
  fleet_run& operator=(const fleet_run&) = delete;
};

// The router's settings store: link and clock by the virtual time; kiv_json_check_period unset
// (2880 ticks) and kiv_quick_period never set, like every other key (read as 0).
int setting(const fleet_run& r, const char* key) {
  if (key[0] == 'l' && strcmp(key, "link_internet") == 0) return r.now >= r.cur->link_at ? 2 : 0;
  if (key[0] == 'n' && strcmp(key, "ntp_ready") == 0) return r.now >= r.cur->clock_at ? 1 : 0;
  return 0;
}

void count_request(fleet_run& r) {
  auto& per_minute = r.bootup_pending ? r.load.bootup : r.load.daily;
  per_minute[static_cast<size_t>(r.now / 60)] += r.cur->weight;
}

fleet_run::fleet_run(const fleet_model& model, seed_kind k)
    : m(model),
      kind(k),
      start(sim_start_time(model)),
      router_entity(model.routers),
      boots(model.routers),
      due(kSimSeconds),
      reboot_at(kSimSeconds) {
  deps.now = [this] { return start + now; };
  deps.download = [this](const char*) {
    count_request(*this);
    return std::optional<int64_t>();
  };
  deps.read = [](const char*) {};  // the answer is not installed: only the load matters here
  deps.random = [this] { return draw_random_number(start + now, cur->salt, cur->draws); };
  deps.get_int = [this](const char* key) { return setting(*this, key); };
  deps.set_int = [](const char*, int) {};  // only kiv_quick_period, which is never set
  deps.clock = [this] { return static_cast<double>(now); };
}

uint32_t find(fleet_run& r, uint32_t id) {
  while (r.entities[id].parent != id) {
    r.entities[id].parent = r.entities[r.entities[id].parent].parent;
    id = r.entities[id].parent;
  }
  return id;
}

// Power on at `at`: the daemon starts, its first tick 10 s later, then one every 30 s.
void power_on(fleet_run& r, uint32_t router, int64_t at) {
  const fleet_model& m = r.m;
  const uint32_t boot = r.boots[router]++;
  entity e;
  const int64_t daemon = at + uniform(m, router, boot, kBoot, 30, 90);
  e.link_at = at + uniform(m, router, boot, kLink, 45, 165);
  e.clock_at = e.link_at + uniform(m, router, boot, kClock, 2, 60) +
               uniform(m, router, boot, kHerd, 0, m.herd_delay_s);
  if (r.kind == seed_kind::mended) e.salt = random_seed_salt(label_mac(router), false);
  const uint32_t id = static_cast<uint32_t>(r.entities.size());
  e.parent = id;
  r.entities.push_back(e);
  r.router_entity[router] = id;
  if (daemon + 10 < kSimSeconds) r.due[static_cast<size_t>(daemon + 10)].push_back(id);
  r.load.most_entities = std::max(r.load.most_entities, ++r.alive);
}

void leave_group(fleet_run& r, uint32_t router) {
  entity& g = r.entities[find(r, r.router_entity[router])];
  if (--g.weight == 0 && g.alive) {
    g.alive = false;
    --r.alive;
  }
}

// Each day, a router reboots on its own with the model's chance, at a uniform second.
void plan_reboots(fleet_run& r) {
  const uint64_t chance = static_cast<uint64_t>(r.m.reboots_per_day * 1e6);
  for (uint32_t router = 0; router < r.m.routers; ++router)
    for (uint32_t day = 0; day < kSimSeconds / kDay; ++day) {
      if (static_cast<uint64_t>(uniform(r.m, router, 0, kRebootChance + day, 0, 1000000)) >= chance)
        continue;
      const int64_t at = day * kDay + uniform(r.m, router, 0, kRebootTime + day, 1, kDay);
      r.reboot_at[static_cast<size_t>(at)].push_back(router);
    }
}

// The state that decides an entity's future (see the top of the file): the scheduler's state
// and, while the boot-up check's draws are still to come, the seed state.
std::array<int32_t, 9> future_of(const entity& e) {
  const json_schedule& s = e.s;
  const bool draws_ahead = s.bootup_check != 0;
  return {s.bootup_check,
          s.periodic_check,
          s.period,
          s.period_retry,
          s.rand_hr,
          s.rand_min,
          s.download_deferred,
          draws_ahead ? static_cast<int32_t>(e.salt) : 0,
          draws_ahead ? static_cast<int32_t>(e.draws) : 0};
}

uint64_t hash_of(const std::array<int32_t, 9>& future) {
  uint64_t h = 0;
  for (int32_t v : future) h = mix64(h ^ static_cast<uint32_t>(v));
  return h;
}

bool settled_at(const entity& e, int64_t t) {
  return t >= e.link_at && t >= e.clock_at;
}

// Merges the entities due at second t whose futures are the same: sorted by a hash of the
// future, neighbours merge when their futures are equal (a collision merges nothing). Futures
// that differ stay apart until one of them is new or changes phase, so the search waits for a
// fresh entity; a merge missed would only cost time, never change a result.
void merge_due(fleet_run& r, std::vector<uint32_t>& ids, int64_t t) {
  if (std::none_of(ids.begin(), ids.end(), [&](uint32_t id) {
        return r.entities[id].fresh && settled_at(r.entities[id], t);
      }))
    return;
  std::vector<std::pair<uint64_t, uint32_t>> settled;
  std::vector<uint32_t> kept;
  for (uint32_t id : ids) {
    entity& e = r.entities[id];
    if (settled_at(e, t)) {
      settled.emplace_back(hash_of(future_of(e)), id);
      e.fresh = false;
    } else {
      kept.push_back(id);
    }
  }
  std::sort(settled.begin(), settled.end());
  for (size_t i = 0; i < settled.size(); ++i) {
    const uint32_t id = settled[i].second;
    if (i > 0 && settled[i].first == settled[i - 1].first &&
        future_of(r.entities[id]) == future_of(r.entities[kept.back()])) {
      const uint32_t into = kept.back();
      entity& gone = r.entities[id];
      r.entities[into].weight += gone.weight;
      gone.parent = into;
      gone.alive = false;
      --r.alive;
      continue;
    }
    kept.push_back(id);
  }
  ids.swap(kept);
}

void tick(fleet_run& r, uint32_t id, int64_t t) {
  entity& e = r.entities[id];
  r.cur = &e;
  r.now = t;
  r.bootup_pending = e.s.bootup_check != 0;
  const bool periodic = e.s.periodic_check != 0;
  process_json_tick(e.s, kJsonPath, r.deps);
  ++r.load.ticks;
  if (r.bootup_pending != (e.s.bootup_check != 0) || periodic != (e.s.periodic_check != 0))
    e.fresh = true;
  if (t + kTickSeconds < kSimSeconds) r.due[static_cast<size_t>(t + kTickSeconds)].push_back(id);
}

}  // namespace

int64_t sim_start_time(const fleet_model& m) {
  return 1767571200 + 60LL * m.restore_minute;  // 2026-01-05 00:00 UTC, a Monday
}

fleet_load simulate_fleet(const fleet_model& m, seed_kind kind) {
  fleet_run r(m, kind);
  r.entities.reserve(m.routers + m.routers / 8);
  for (uint32_t router = 0; router < m.routers; ++router) power_on(r, router, 0);
  plan_reboots(r);
  for (int64_t t = 0; t < kSimSeconds; ++t) {
    for (uint32_t router : r.reboot_at[static_cast<size_t>(t)]) {
      leave_group(r, router);
      power_on(r, router, t);
      ++r.load.reboots;
    }
    std::vector<uint32_t> ids;
    ids.swap(r.due[static_cast<size_t>(t)]);
    std::erase_if(ids, [&](uint32_t id) { return !r.entities[id].alive; });
    if (!m.one_by_one) merge_due(r, ids, t);
    for (uint32_t id : ids) tick(r, id, t);
  }
  return r.load;
}
