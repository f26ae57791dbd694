// The rollout verdict from the routers' reports (docs/fleet.md says it in words): the published
// serial against its base over the same time, per-router rates with the few highest left out,
// for the whole stage and per model, firmware and territory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fleet/verdict/fleet_log.h"

struct fleet_options {
  std::vector<std::string> logs;
  std::optional<uint64_t> base, serial;
  double factor = 2;          // halt above this many times the base's rate
  uint64_t min_routers = 20;  // routers of the rollout serial needed to judge it
  double floor = 100;         // a base rate under it (per 1,000 router-days) counts as it
  bool json = false;
  std::string html, rows;
};

struct fleet_top {
  std::string ident;
  double rate = 0;
};

struct fleet_measure {
  std::string name;
  double rollout = 0, base = 0;  // per 1,000 router-days, the highest routers left out
  bool rose = false;
  std::vector<fleet_top> top;  // the rollout's routers with the highest rates
};

// The whole stage ("all"), or the routers of one Model, FWVER or TCode.
struct fleet_segment {
  std::string dimension, value;
  uint64_t rollout_routers = 0, base_routers = 0, rollout_seconds = 0, base_seconds = 0;
  std::vector<fleet_measure> measures;
  bool judged = false;
};

struct fleet_verdict {
  bool published = false;  // a serial to judge was published in the logs
  uint64_t serial = 0, first_ms = 0;
  uint32_t stage = 0;  // the widest it was published at
  std::optional<uint64_t> base;
  uint64_t in_stage = 0, taken = 0;  // routers of the stage's buckets seen, those on the serial
  std::array<uint64_t, FLEET_REFUSALS.size()> refused{}, refusing{};  // counts, routers
  uint64_t shed_with_ident = 0, shed_without = 0;  // answered other than 200 since publication
  uint64_t outside_stage = 0;       // reports of the serial from routers outside its buckets
  uint64_t before_publication = 0;  // earliest reports that began before it was published
  uint64_t trimmed = 0;             // routers left out of each group's rates, at most
  std::vector<fleet_segment> segments;
  bool halt = false;
  std::vector<std::string> reasons;
};

fleet_verdict judge_fleet(const fleet_state& s, const fleet_options& o);

// Per-router rates' sum with the `drop` highest routers left out (fleet.cc), for the HTML page.
std::string fleet_rate_text(double rate);

// One self-contained page: the verdict, per measure the daily rate in the stage against outside
// it, the routers taking the set day by day. False when it cannot be written.
bool write_fleet_html(const std::string& path, const fleet_state& s, const fleet_verdict& v,
                      const fleet_options& o);
