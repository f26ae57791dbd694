// The update scheduler, called on every tick of the main loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

void process_json(const char* path);

// The daemon's draw: the wall clock, this router's salt and the process's call count.
int get_random_number();
// One draw: srand with ((now + call_count) XOR salt) modulo 4294967295, call_count counted up,
// then rand. The salt keeps routers that draw in the same second apart; salt 0 is the seed of
// time and count alone.
int draw_random_number(int64_t now, uint32_t salt, uint32_t& call_count);
// This router's part of the seed: the first four bytes of the MD5 of label_mac (the digest the
// download request sends), XOR four bytes of the kernel's random source (/dev/urandom, below the
// root on the host) when kernel_bytes and it gives four.
uint32_t random_seed_salt(const std::string& label_mac, bool kernel_bytes);

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

// What one tick needs from outside; process_json uses the real ones, a test or the fleet
// simulation its own.
struct json_schedule_deps {
  std::function<int64_t()> now;                                   // wall-clock seconds
  std::function<void(const char*)> download;                      // download_json
  std::function<void(const char*)> read;                          // read_json
  std::function<int()> random;                                    // get_random_number
  std::function<int(const char*)> get_int = nvram_get_int;        // the settings store
  std::function<void(const char*, int)> set_int = nvram_set_int;  // its one write
};

// One tick of the scheduler on `state` (path must not be null).
void process_json_tick(json_schedule& state, const char* path, const json_schedule_deps& deps);
