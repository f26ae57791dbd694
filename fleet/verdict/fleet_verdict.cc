// The rollout verdict from the per-router state of the logs (docs/fleet.md, "The verdict").
#include "fleet/verdict/fleet_verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

namespace {

constexpr double kMsPerKiloDay = 86400000.0;  // count per second -> per 1,000 router-days

// A router's part of one group: its counted seconds (cut to the time since publication), its
// values and its counts.
struct router_row {
  const fleet_ident* ident = nullptr;
  uint64_t seconds = 0, last_ms = 0, values_ms = 0, reports = 0;
  uint32_t values[3] = {0, 0, 0};                     // model, firmware, territory
  std::vector<std::pair<uint32_t, uint64_t>> counts;  // sorted by measure
};

double rate_of(double count, double seconds) {
  if (count == 0) return 0;
  return seconds > 0 ? count * kMsPerKiloDay / seconds : INFINITY;
}

// Adds an entry's reports to the router's part of a group; the earliest one only when it began
// after the set was first published. False when nothing of it counts.
bool merge(router_row* row, const fleet_ident& ident, const fleet_entry& e, uint64_t first_ms,
           uint64_t* before) {
  row->ident = &ident;
  if (e.values_ms >= row->values_ms) {
    row->values_ms = e.values_ms;
    row->values[0] = e.model, row->values[1] = e.fwver, row->values[2] = e.tcode;
  }
  auto add = [row](const std::vector<std::pair<uint32_t, uint64_t>>& counts) {
    for (const auto& [id, n] : counts) {
      auto at =
          std::lower_bound(row->counts.begin(), row->counts.end(), std::make_pair(id, uint64_t{0}));
      if (at == row->counts.end() || at->first != id) at = row->counts.insert(at, {id, 0});
      at->second = at->second > UINT64_MAX - n ? UINT64_MAX : at->second + n;
    }
  };
  const bool held = e.held && e.held_ms >= first_ms + 1000 * e.held_seconds;
  *before += e.held && !held;
  if (held) {
    row->seconds += e.held_seconds;
    row->last_ms = std::max(row->last_ms, e.held_ms);
    add(e.held_counts);
  }
  row->seconds += e.seconds;
  row->reports += e.reports + held;
  if (e.reports) row->last_ms = std::max(row->last_ms, e.last_ms);
  add(e.counts);
  return e.reports || held;
}

// Adds the router's part to its group when something of it counts, its time cut to what passed
// from publication to its last report.
void keep_row(router_row&& row, uint64_t first_ms, std::vector<router_row>* rows) {
  if (!row.reports) return;
  row.seconds = std::min(row.seconds, (row.last_ms - first_ms) / 1000);
  row.counts.shrink_to_fit();
  rows->push_back(std::move(row));
}

struct rated {
  double rate = 0, count = 0, seconds = 0;
  const fleet_ident* ident = nullptr;
};

bool higher(const rated& a, const rated& b) {
  return a.rate != b.rate ? a.rate > b.rate : *a.ident > *b.ident;
}

// How many of a group's routers its rate leaves out: the two highest, and one in 50 more.
uint64_t dropped(uint64_t routers) {
  return routers ? std::min<uint64_t>(routers - 1, 2 + routers / 50) : 0;
}

// The group's rate of one measure with its highest routers left out (of those that have a count
// at all); the top ones in *top.
double trimmed_rate(const std::vector<const router_row*>& rows, uint32_t measure,
                    std::vector<fleet_top>* top) {
  std::vector<rated> r;
  double count = 0, seconds = 0;
  for (const router_row* row : rows) {
    auto at = std::lower_bound(row->counts.begin(), row->counts.end(),
                               std::make_pair(measure, uint64_t{0}));
    const double n =
        at == row->counts.end() || at->first != measure ? 0 : static_cast<double>(at->second);
    const double s = static_cast<double>(row->seconds);
    count += n, seconds += s;
    if (n > 0) r.push_back({rate_of(n, s), n, s, row->ident});
  }
  const size_t drop = std::min<size_t>(r.size(), dropped(rows.size()));
  const size_t shown = std::min<size_t>(r.size(), std::max<size_t>(drop, 3));
  std::partial_sort(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(shown), r.end(), higher);
  if (top)
    for (size_t i = 0; i < std::min<size_t>(shown, 3); ++i)
      top->push_back({fleet_ident_text(*r[i].ident), r[i].rate});
  for (size_t i = 0; i < drop; ++i) count -= r[i].count, seconds -= r[i].seconds;
  return rate_of(count, seconds);
}

const char* const kDimensions[] = {"all", "model", "firmware", "territory"};

const fleet_names& names_of(const fleet_state& s, int dim) {
  return dim == 1 ? s.models : dim == 2 ? s.fwvers : s.tcodes;
}

fleet_segment judge_segment(const fleet_state& s, const fleet_options& o, int dim, uint32_t value,
                            const std::vector<router_row>& now,
                            const std::vector<router_row>& base) {
  fleet_segment seg;
  seg.dimension = kDimensions[dim];
  if (dim) seg.value = names_of(s, dim).names[value];
  std::vector<const router_row*> a, b;
  std::set<uint32_t> measures;
  for (auto [rows, out, seconds] :
       {std::tuple{&now, &a, &seg.rollout_seconds}, std::tuple{&base, &b, &seg.base_seconds}})
    for (const router_row& row : *rows)
      if (!dim || row.values[dim - 1] == value) {
        out->push_back(&row);
        *seconds += row.seconds;
        for (const auto& [id, n] : row.counts)
          if (n) measures.insert(id);
      }
  seg.rollout_routers = a.size();
  seg.base_routers = b.size();
  seg.judged = a.size() >= o.min_routers;
  std::vector<uint32_t> by_name(measures.begin(), measures.end());
  std::sort(by_name.begin(), by_name.end(),
            [&s](uint32_t a, uint32_t b) { return s.measures.names[a] < s.measures.names[b]; });
  for (uint32_t id : by_name) {
    fleet_measure m;
    m.name = s.measures.names[id];
    m.rollout = trimmed_rate(a, id, dim ? nullptr : &m.top);
    m.base = trimmed_rate(b, id, nullptr);
    m.rose = seg.judged && m.rollout > o.factor * std::max(m.base, o.floor);
    seg.measures.push_back(std::move(m));
  }
  return seg;
}

// The base: --base, or the serial most routers outside the stage report in the same time.
std::optional<uint64_t> base_serial(const fleet_state& s, uint64_t serial, const fleet_options& o) {
  if (o.base) return o.base;
  std::map<uint64_t, uint64_t> routers;
  for (const auto& [ident, r] : s.routers) {
    std::set<uint64_t> seen;
    for (const fleet_entry& e : r.entries)
      if (e.published == serial && e.serial != serial && (e.reports || e.held) &&
          fleet_bucket(ident) >= e.stage)
        seen.insert(e.serial);
    for (uint64_t x : seen) ++routers[x];
  }
  std::optional<uint64_t> best;
  for (const auto& [x, n] : routers)
    if (!best || n >= routers[*best]) best = x;
  return best;
}

// Who took the serial, who refused it and why: the routers of the stage's buckets.
void tell_taking(const fleet_state& s, fleet_verdict* v) {
  for (const auto& [ident, r] : s.routers) {
    bool in = false, took = false;
    std::array<uint64_t, FLEET_REFUSALS.size()> refused{};
    for (const fleet_entry& e : r.entries) {
      if (e.published != v->serial || fleet_bucket(ident) >= e.stage) continue;
      in = true;
      took = took || e.serial == v->serial;
      for (size_t i = 0; i < refused.size(); ++i) refused[i] += e.refused[i];
    }
    v->in_stage += in;
    v->taken += took;
    for (size_t i = 0; i < refused.size(); ++i) {
      v->refused[i] += refused[i];
      v->refusing[i] += refused[i] > 0;
    }
  }
  for (auto at = s.shed_minutes.lower_bound(static_cast<int64_t>(v->first_ms / 60000));
       at != s.shed_minutes.end(); ++at)
    v->shed_with_ident += at->second.first, v->shed_without += at->second.second;
}

}  // namespace

std::string fleet_rate_text(double rate) {
  if (std::isinf(rate)) return "inf";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.1f", rate);
  return buf;
}

fleet_verdict judge_fleet(const fleet_state& s, const fleet_options& o) {
  fleet_verdict v;
  if (s.first_published.empty() && !o.serial) return v;
  v.serial = o.serial ? *o.serial : s.first_published.rbegin()->first;
  auto first = s.first_published.find(v.serial);
  if (first == s.first_published.end()) return v;
  v.published = true;
  v.first_ms = first->second;
  v.stage = s.widest_stage.at(v.serial);
  v.base = base_serial(s, v.serial, o);
  tell_taking(s, &v);
  std::vector<router_row> now, base;  // built router by router: no copy of the state
  for (const auto& [ident, r] : s.routers) {
    router_row a, b;
    for (const fleet_entry& e : r.entries) {
      if (e.published != v.serial || !(e.reports || e.held)) continue;
      const bool in_stage = fleet_bucket(ident) < e.stage;
      if (e.serial == v.serial && in_stage)
        merge(&a, ident, e, v.first_ms, &v.before_publication);
      else if (e.serial == v.serial)
        v.outside_stage += e.reports + e.held;
      else if (v.base && e.serial == *v.base && !in_stage)
        merge(&b, ident, e, v.first_ms, &v.before_publication);
    }
    keep_row(std::move(a), v.first_ms, &now);
    keep_row(std::move(b), v.first_ms, &base);
  }
  v.trimmed = dropped(now.size());
  v.segments.push_back(judge_segment(s, o, 0, 0, now, base));
  for (int dim = 1; dim <= 3; ++dim) {
    std::map<std::string, std::pair<uint32_t, uint64_t>> routers;  // by value: its id, routers
    for (const router_row& row : now) {
      const uint32_t id = row.values[dim - 1];
      auto& at = routers[names_of(s, dim).names[id]];
      at.first = id;
      ++at.second;
    }
    for (const auto& [name, value] : routers)
      if (value.second >= o.min_routers)
        v.segments.push_back(judge_segment(s, o, dim, value.first, now, base));
  }
  for (const fleet_segment& seg : v.segments)
    for (const fleet_measure& m : seg.measures)
      if (m.rose) {
        v.halt = true;
        v.reasons.push_back(m.name + (seg.dimension == "all"
                                          ? std::string()
                                          : " (" + seg.dimension + " " +
                                                (seg.value.empty() ? "\"\"" : seg.value) + ")"));
      }
  return v;
}
