// The fleet simulation: N routers, each running the daemon's own update scheduler
// (process_json_tick, get_random_number's draw) on a virtual clock, and the rule server's
// requests per minute that they make over 48 hours after a regional power cut.
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
};

// How a router seeds its draws: time and call count alone, or mixed with its salt.
enum class seed_kind { today, mended };

inline constexpr int kSimMinutes = 48 * 60;
inline constexpr int64_t kSimSeconds = 60LL * kSimMinutes;
inline constexpr int kTickSeconds = 30;

// What the rule server saw: requests per minute of the 48 hours, the boot-up checks apart from
// the others (the daily cycles), and what running it cost.
struct fleet_load {
  std::vector<uint64_t> bootup = std::vector<uint64_t>(kSimMinutes);
  std::vector<uint64_t> daily = std::vector<uint64_t>(kSimMinutes);
  uint64_t ticks = 0;        // calls of process_json_tick
  uint64_t reboots = 0;      // reboots at other times than the power cut
  size_t most_entities = 0;  // routers or groups alive at once, at the most
};

// Seconds since the epoch at the start of the simulation (day 1 at the restore time, UTC, which
// the simulation makes the local time).
int64_t sim_start_time(const fleet_model& m);
fleet_load simulate_fleet(const fleet_model& m, seed_kind kind);
