// The fleet on a virtual clock. Every router runs the daemon's own scheduler tick
// (process_json_tick) every 30 virtual seconds, with its settings reads, its wall clock, its
// scheduler clock and its draws (draw_random_number, seeded as get_random_number seeds it) taken
// from the simulated router; each try of a check is one request of the rule server. The server
// answers with the daemon's own words where the daemon decides: a shed answer is judged by
// shed_seconds, and a staged set taken or not by the router's bucket (bucket_of_label_mac) and
// stage_refusal.
//
// Ticking a million routers every 30 s for 48 h is 5.8e9 ticks. Routers whose futures are
// identical are run once, weighted: two routers (or groups) are merged when, on the same
// second, both have their link and clock up for good and the same state (the scheduler's, the
// server's record of them and, while their boot-up draws are still to come, the seed state).
// From then on every tick reads the same settings and the same time and makes the same state,
// so the group's one run is each member's run. A group keeps the list of its routers: one that
// reboots leaves its group and starts again on its own, and when a server with a capacity
// serves only part of a group's requests, the rest of the group is split off with the state the
// group had before the tick and ticked again in the same second, now turned away. `one_by_one`
// runs every router alone, ticked in full: the same output at small N shows the grouping changes
// nothing.
#include "fleet/sim/fleet.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "update/download_json.h"
#include "update/process_json.h"
#include "update/retry_after.h"
#include "update/rule_stage.h"

namespace {

// The logical rule file path the daemon passes; the simulation never writes it.
constexpr const char* kJsonPath = "/tmp/kivjson.json";
constexpr int64_t kDay = 86400;
constexpr int kTries = 1 + KIV_DOWNLOAD_RETRIES;  // a check's tries, 2 s apart
constexpr uint64_t kMinReporting = 20;            // routers the vendor's verdict needs

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

// What the server knows of a router, which its next answers depend on.
struct server_view {
  bool has_set = false;       // served a set since the power came back
  bool in_stage = false;      // the rollout's stage holds its bucket
  bool holds_new = false;     // took the misfiring set
  bool reported_new = false;  // counted among the routers that reported the new serial
  int64_t last_ok_at = -1;    // its last answer with status 200, while the rollout is judged
};

// One router, or a group of routers with one future.
struct entity {
  json_schedule s;
  server_view v;
  uint32_t weight = 1;
  int64_t link_at = 0;   // link_internet 2 from then on (seconds from the start)
  int64_t clock_at = 0;  // ntp_ready 1 from then on
  uint32_t salt = 0;
  uint32_t draws = 0;  // get_random_number's call count
  int resume = 0;      // split off a group the server turned away in part: the try it resumes at
  bool alive = true;
  bool fresh = true;  // new, or its phase changed, since it was last offered for a merge
};

struct fleet_run {
  const fleet_model& m;
  seed_kind kind;
  int64_t start;
  std::vector<entity> entities;
  // Each entity's routers as (router, boot), by entity; an entry is stale once its router left.
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> members;
  std::vector<uint32_t> router_entity, boots;
  std::vector<std::vector<uint32_t>> due;        // entities by the second of their next tick
  std::vector<std::vector<uint32_t>> reboot_at;  // routers by the second they reboot
  fleet_load load;
  size_t alive = 0;
  bool halted = false;
  // The tick in progress, which the scheduler's dependencies answer from.
  entity* cur = nullptr;
  int64_t now = 0;
  bool bootup_pending = false;
  uint32_t split_rest = 0;  // the tick's server served part of the group: the rest
  int split_resume = 0;
  json_schedule_deps deps;

  fleet_run(const fleet_model& model, seed_kind k);
  fleet_run(const fleet_run&) = delete;  // deps hold `this`
  fleet_run& operator=(const fleet_run&) = delete;
};

bool member_of(const fleet_run& r, uint32_t id, const std::pair<uint32_t, uint32_t>& member) {
  return r.router_entity[member.first] == id && r.boots[member.first] == member.second + 1;
}

// The router's settings store: link and clock by the virtual time, kiv_boot_splay as the model
// says; kiv_json_check_period unset (2880 ticks) and kiv_quick_period never set, like every
// other key (read as 0).
int setting(const fleet_run& r, const char* key) {
  if (key[0] == 'l' && strcmp(key, "link_internet") == 0) return r.now >= r.cur->link_at ? 2 : 0;
  if (key[0] == 'n' && strcmp(key, "ntp_ready") == 0) return r.now >= r.cur->clock_at ? 1 : 0;
  if (key[0] == 'k' && strcmp(key, "kiv_boot_splay") == 0) return r.m.boot_splay_s;
  return 0;
}

int minute_of(int64_t t) {
  return static_cast<int>(std::min<int64_t>(t, kSimSeconds - 1) / 60);
}

// `asking` requests at second t: how many the server serves within its capacity of the minute.
uint64_t serve(fleet_run& r, int64_t t, uint64_t asking) {
  const int minute = minute_of(t);
  auto& asked = r.bootup_pending ? r.load.bootup : r.load.daily;
  asked[static_cast<size_t>(minute)] += asking;
  uint64_t& served = r.load.served[static_cast<size_t>(minute)];
  const uint64_t left = r.m.capacity == 0 ? asking : r.m.capacity - std::min(r.m.capacity, served);
  const uint64_t n = std::min(asking, left);
  served += n;
  return n;
}

bool published(const fleet_run& r, int64_t t) {
  return r.m.stage > 0 && t >= r.m.publish_at && !r.halted;
}

// A 200 answer at second t to the entity's routers: their first set since the power came back,
// the report the request carried (while the rollout is judged), and the misfiring set taken
// where the router's bucket lies within its stage.
void answered(fleet_run& r, entity& e, int64_t t) {
  server_view& v = e.v;
  if (!v.has_set) {
    v.has_set = true;
    r.load.got_set[static_cast<size_t>(minute_of(t))] += e.weight;
  }
  if (r.m.stage == 0 || t < r.m.publish_at) return;
  if (!r.halted && t <= r.m.publish_at + r.m.halt_check_s) {
    const double days =
        static_cast<double>(t - std::max(v.last_ok_at, r.m.publish_at)) / kDay * e.weight;
    rollout_result& out = r.load.rollout;
    if (v.holds_new) {
      out.new_router_days += days;
      out.new_fires += days * r.m.misfires_per_day;
      if (!v.reported_new) out.new_routers += e.weight;
      v.reported_new = true;
    } else {
      out.old_router_days += days;
      out.old_fires += days * r.m.fires_per_day;
    }
  }
  v.last_ok_at = t;
  if (published(r, t) && v.in_stage && !v.holds_new) {
    v.holds_new = true;
    r.load.rollout.reached += e.weight;
  }
}

// One check of the entity's routers: up to six tries 2 s apart, or one when the router honours
// a shed answer's Retry-After. The daemon's decision on the answer is what the tick gets back.
std::optional<int64_t> check(fleet_run& r) {
  entity& e = *r.cur;
  const std::string retry_after = std::to_string(r.m.retry_after_s);
  const std::optional<int64_t> shed =
      r.m.honours_retry_after ? shed_seconds(503, retry_after) : std::nullopt;
  if (e.resume > 0 && shed) {  // its try was made and turned away with the group's
    e.resume = 0;
    return shed;
  }
  for (int k = e.resume; k < kTries; ++k) {
    const int64_t at = r.now + 2 * k;
    const uint64_t served = serve(r, at, e.weight);
    if (served > 0) {
      if (served < e.weight) {
        r.split_rest = e.weight - static_cast<uint32_t>(served);
        r.split_resume = k + 1;
        e.weight = static_cast<uint32_t>(served);
      }
      e.resume = 0;
      answered(r, e, at);
      return std::nullopt;
    }
    if (shed) {
      e.resume = 0;
      return shed;
    }
  }
  e.resume = 0;
  return std::nullopt;  // six failed tries
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
  deps.download = [this](const char*) { return check(*this); };
  deps.read = [](const char*) {};  // the answer is not installed: the server's view says it
  deps.random = [this] { return draw_random_number(start + now, cur->salt, cur->draws); };
  deps.get_int = [this](const char* key) { return setting(*this, key); };
  deps.set_int = [](const char*, int) {};  // only kiv_quick_period, which is never set
  deps.clock = [this] { return static_cast<double>(now); };
}

// Power on at `at`: the daemon starts, its first tick 10 s later, then one every 30 s. The
// server's view of the router outlives the reboot (its set in the rule cache).
void power_on(fleet_run& r, uint32_t router, int64_t at, const server_view& view) {
  const fleet_model& m = r.m;
  const uint32_t boot = r.boots[router]++;
  entity e;
  e.v = view;
  const int64_t daemon = at + uniform(m, router, boot, kBoot, 30, 90);
  e.link_at = at + uniform(m, router, boot, kLink, 45, 165);
  e.clock_at = e.link_at + uniform(m, router, boot, kClock, 2, 60) +
               uniform(m, router, boot, kHerd, 0, m.herd_delay_s);
  if (r.kind == seed_kind::mended) e.salt = random_seed_salt(label_mac(router), false);
  const uint32_t id = static_cast<uint32_t>(r.entities.size());
  r.entities.push_back(e);
  r.members.push_back({{router, boot}});
  r.router_entity[router] = id;
  if (daemon + 10 < kSimSeconds) r.due[static_cast<size_t>(daemon + 10)].push_back(id);
  r.load.most_entities = std::max(r.load.most_entities, ++r.alive);
}

// The router leaves its group; the server's view of it, for its next boot.
server_view leave_group(fleet_run& r, uint32_t router) {
  entity& g = r.entities[r.router_entity[router]];
  if (--g.weight == 0 && g.alive) {
    g.alive = false;
    --r.alive;
  }
  return g.v;
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

// The state that decides an entity's future (see the top of the file): the scheduler's state,
// the server's view and, while draws are still to come, the seed state: the boot-up check's,
// and where the server sheds load, those of a router not served yet (a Retry-After's random
// part). Served routers of one group are taken to be served again together: the herd is over
// for them, and the nights stay below any capacity the simulation is given.
std::array<int64_t, 17> future_of(const entity& e, int64_t t, bool shed_ahead) {
  const json_schedule& s = e.s;
  const server_view& v = e.v;
  // The hold-backs matter while they lie ahead; the splay only before the boot-up check.
  const bool boot = s.phase == schedule_phase::boot_up;
  const double ahead = static_cast<double>(t);
  const bool draws_ahead = boot || s.check_owed != 0 || (shed_ahead && !v.has_set);
  return {boot,
          s.phase == schedule_phase::periodic,
          s.period,
          s.period_retry,
          s.rand_hr,
          s.rand_min,
          s.download_deferred,
          s.check_owed,
          boot ? s.splay_drawn : 0,
          s.not_before > ahead ? static_cast<int64_t>(s.not_before) : 0,
          boot && s.boot_not_before > ahead ? static_cast<int64_t>(s.boot_not_before) : 0,
          draws_ahead ? static_cast<int64_t>(e.salt) : 0,
          draws_ahead ? static_cast<int64_t>(e.draws) : 0,
          v.has_set,
          v.in_stage | v.holds_new << 1 | v.reported_new << 2,
          v.last_ok_at,
          e.resume};
}

uint64_t hash_of(const std::array<int64_t, 17>& future) {
  uint64_t h = 0;
  for (int64_t v : future) h = mix64(h ^ static_cast<uint64_t>(v));
  return h;
}

bool settled_at(const entity& e, int64_t t) {
  return t >= e.link_at && t >= e.clock_at;
}

// Moves the routers of `gone` into `into`, the shorter list into the longer; stale entries go.
void absorb(fleet_run& r, uint32_t into, uint32_t gone) {
  auto &a = r.members[into], &b = r.members[gone];
  if (b.size() > a.size()) {
    a.swap(b);
    for (const auto& member : a)
      if (member_of(r, gone, member)) r.router_entity[member.first] = into;
  }
  for (const auto& member : b) {
    if (!member_of(r, gone, member) && !member_of(r, into, member)) continue;
    r.router_entity[member.first] = into;
    a.push_back(member);
  }
  std::vector<std::pair<uint32_t, uint32_t>>().swap(b);
  r.entities[into].weight += r.entities[gone].weight;
  r.entities[gone].alive = false;
  --r.alive;
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
  const bool shed_ahead = r.m.capacity > 0 && r.m.honours_retry_after;
  std::vector<std::pair<uint64_t, uint32_t>> settled;
  std::vector<uint32_t> kept;
  for (uint32_t id : ids) {
    entity& e = r.entities[id];
    if (settled_at(e, t)) {
      settled.emplace_back(hash_of(future_of(e, t, shed_ahead)), id);
      e.fresh = false;
    } else {
      kept.push_back(id);
    }
  }
  std::sort(settled.begin(), settled.end());
  for (size_t i = 0; i < settled.size(); ++i) {
    const uint32_t id = settled[i].second;
    if (i > 0 && settled[i].first == settled[i - 1].first &&
        future_of(r.entities[id], t, shed_ahead) ==
            future_of(r.entities[kept.back()], t, shed_ahead)) {
      absorb(r, kept.back(), id);
      continue;
    }
    kept.push_back(id);
  }
  ids.swap(kept);
}

// The rest of a group the server served in part: its routers split off with the state the group
// had before the tick, due again this second.
void split_off(fleet_run& r, uint32_t id, const entity& before, std::vector<uint32_t>& ids) {
  const uint32_t rest_id = static_cast<uint32_t>(r.entities.size());
  entity rest = before;
  rest.weight = r.split_rest;
  rest.resume = r.split_resume;
  rest.fresh = true;
  r.entities.push_back(rest);
  r.members.emplace_back();
  auto &from = r.members[id], &to = r.members[rest_id];
  while (to.size() < rest.weight && !from.empty()) {
    const auto member = from.back();
    from.pop_back();
    if (!member_of(r, id, member)) continue;
    r.router_entity[member.first] = rest_id;
    to.push_back(member);
  }
  ids.push_back(rest_id);
  r.load.most_entities = std::max(r.load.most_entities, ++r.alive);
  r.split_rest = 0;
}

void tick(fleet_run& r, uint32_t id, int64_t t, std::vector<uint32_t>& ids) {
  entity& e = r.entities[id];
  const entity before = e;
  r.cur = &e;
  r.now = t;
  r.bootup_pending = e.s.phase == schedule_phase::boot_up;
  process_json_tick(e.s, kJsonPath, r.deps);
  ++r.load.ticks;
  if (e.s.phase != before.s.phase) e.fresh = true;
  if (t + kTickSeconds < kSimSeconds) r.due[static_cast<size_t>(t + kTickSeconds)].push_back(id);
  if (r.split_rest > 0) split_off(r, id, before, ids);
}

// The vendor's verdict on the rollout from the reports of one day: halt when the new serial's
// fires per router-day are more than twice the old's, with enough routers reporting it.
void judge_rollout(fleet_run& r, int64_t t) {
  const rollout_result& out = r.load.rollout;
  const double fresh = out.new_router_days > 0 ? out.new_fires / out.new_router_days : 0;
  const double old = out.old_router_days > 0 ? out.old_fires / out.old_router_days : 0;
  if (out.new_routers >= kMinReporting && fresh > 2 * old) {
    r.halted = true;
    r.load.rollout.halted_at = t;
  }
}

}  // namespace

int64_t sim_start_time(const fleet_model& m) {
  return 1767571200 + 60LL * m.restore_minute;  // 2026-01-05 00:00 UTC, a Monday
}

fleet_load simulate_fleet(const fleet_model& m, seed_kind kind) {
  fleet_run r(m, kind);
  r.entities.reserve(m.routers + m.routers / 8);
  r.members.reserve(m.routers + m.routers / 8);
  for (uint32_t router = 0; router < m.routers; ++router) {
    server_view view;
    view.in_stage = m.stage > 0 && !stage_refusal(m.stage, bucket_of_label_mac(label_mac(router)));
    power_on(r, router, 0, view);
  }
  plan_reboots(r);
  for (int64_t t = 0; t < kSimSeconds; ++t) {
    if (m.stage > 0 && t == m.publish_at + m.halt_check_s) judge_rollout(r, t);
    for (uint32_t router : r.reboot_at[static_cast<size_t>(t)]) {
      power_on(r, router, t, leave_group(r, router));
      ++r.load.reboots;
    }
    std::vector<uint32_t> ids;
    ids.swap(r.due[static_cast<size_t>(t)]);
    std::erase_if(ids, [&](uint32_t id) { return !r.entities[id].alive; });
    if (!m.one_by_one) merge_due(r, ids, t);
    for (size_t i = 0; i < ids.size(); ++i) tick(r, ids[i], t, ids);
  }
  return r.load;
}
