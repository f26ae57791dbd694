// The update scheduler, called on every tick of the main loop.
#pragma once

#include <cstdint>
#include <functional>

void process_json(const char* path);
int get_random_number();

// The scheduler's state, kept for the life of the process.
struct json_schedule {
  int32_t bootup_check = 1;
  int32_t periodic_check = 0;
  int32_t period = 2876;
  int32_t period_retry = -1;
  int32_t rand_hr = 0;
  int32_t rand_min = 0;
  int32_t download_deferred = 0;
};

// What one tick needs from outside; process_json uses the real ones, a test its own.
struct json_schedule_deps {
  std::function<int64_t()> now;               // wall-clock seconds
  std::function<void(const char*)> download;  // download_json
  std::function<void(const char*)> read;      // read_json
  std::function<int()> random;                // get_random_number
};

// One tick of the scheduler on `state` (path must not be null).
void process_json_tick(json_schedule& state, const char* path, const json_schedule_deps& deps);
