// fleet_sim --log: a staged rollout's request log as the rule server writes it (log.cc).
#pragma once

#include <cstdint>
#include <cstdio>

struct log_model {
  uint32_t routers = 1000;
  uint32_t days = 3;            // of the log
  uint32_t publish_day = 1;     // the rollout published at its start; the days before on the base
  uint32_t checks_per_day = 1;  // each with a report
  uint32_t stage = 10;          // the rollout's stage, percent of the buckets
  uint64_t base_serial = 2025113001, rollout_serial = 2025120101;
  double base_fires = 0.5;     // fires a router-day of wan_down on the base
  double rollout_fires = 0.5;  // and on the rollout serial
  int outage_day = -1;         // a day on which every router's fires are 8 times as many
  uint32_t noisy = 0;          // routers of the stage firing 200 times a day on the rollout
  double refusing = 0.02;      // share of the stage's routers refusing it (bad signature)
  double shed = 0.01;          // share of checks with a shed request before it
  uint64_t seed = 1;
};

// Writes the log to out; 0, or 1 when a write failed.
int write_fleet_log(const log_model& m, FILE* out);
