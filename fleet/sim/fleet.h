// The fleet simulation: N routers, each running the daemon's own update scheduler
// (process_json_tick, get_random_number's draw, kiv_boot_splay, the hold-back after a shed
// answer) on a virtual clock, and what the rule server sees of them over 48 hours after a
// regional power cut: requests per minute, and in its two stories the herd a server that sheds
// load meets, and a staged rollout of a set that misfires, halted from the routers' reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The fleet and its events; the distributions are stated in fleet_sim --help and in
// docs/rule_server_load.md.
struct fleet_model {
  uint32_t routers = 10000;
  int restore_minute = 18 * 60;   // local time of day the power comes back, minutes
  double reboots_per_day = 0.02;  // chance that a router reboots on its own on a given day
  int herd_delay_s = 0;           // bounded random delay before the boot-up check, seconds
  uint64_t seed = 1;              // of the fleet's draws (times, delays), not of the scheduler
  bool one_by_one = false;        // every router ticked on its own: the reference for grouping
  // The herd: every router's kiv_boot_splay; a server that serves at most `capacity` requests a
  // minute (0: every one) and answers the rest 503 with Retry-After `retry_after_s`; routers
  // that honour it (the daemon now) or take it for a failed try (today: six tries, 2 s apart).
  int boot_splay_s = 0;
  uint64_t capacity = 0;
  int retry_after_s = 60;
  bool honours_retry_after = true;
  // The rollout: a set that misfires, published `publish_at` s after the power came back,
  // staged for `stage` % of the routers (0: none published); `halt_check_s` after it the vendor
  // compares the reports (fires per router-day, new against old) and halts it when the new
  // serial's is more than twice the old's, with at least 20 routers reporting it.
  uint32_t stage = 0;
  int64_t publish_at = 6 * 3600;
  int64_t halt_check_s = 24 * 3600;
  double misfires_per_day = 288;  // fires a day of the misfiring rule on a router that holds it
  double fires_per_day = 0.5;     // of the rules in force before it
};

// How a router seeds its draws: time and call count alone, or mixed with its salt.
enum class seed_kind { today, mended };

inline constexpr int kSimMinutes = 48 * 60;
inline constexpr int64_t kSimSeconds = 60LL * kSimMinutes;
inline constexpr int kTickSeconds = 30;

// What the rollout's reports told the vendor, and how far the set got.
struct rollout_result {
  uint64_t reached = 0;      // routers that took the misfiring set
  int64_t halted_at = -1;    // seconds from the start, -1: not halted
  uint64_t new_routers = 0;  // routers that reported the new serial by the halt check
  double new_router_days = 0, new_fires = 0, old_router_days = 0, old_fires = 0;
};

// What the rule server saw: requests per minute of the 48 hours, the boot-up checks apart from
// the others (the daily cycles), those it served, the routers that had their first set after
// the power came back, and what running it cost.
struct fleet_load {
  std::vector<uint64_t> bootup = std::vector<uint64_t>(kSimMinutes);
  std::vector<uint64_t> daily = std::vector<uint64_t>(kSimMinutes);
  std::vector<uint64_t> served = std::vector<uint64_t>(kSimMinutes);
  std::vector<uint64_t> got_set = std::vector<uint64_t>(kSimMinutes);
  rollout_result rollout;
  uint64_t ticks = 0;        // calls of process_json_tick
  uint64_t reboots = 0;      // reboots at other times than the power cut
  size_t most_entities = 0;  // routers or groups alive at once, at the most
};

// Seconds since the epoch at the start of the simulation (day 1 at the restore time, UTC, which
// the simulation makes the local time).
int64_t sim_start_time(const fleet_model& m);
fleet_load simulate_fleet(const fleet_model& m, seed_kind kind);
