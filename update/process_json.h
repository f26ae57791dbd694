// The update scheduler, called on every tick of the main loop.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

// The scheduler's phases: the boot-up check, made once after start; the daily wait for the drawn
// minute (2 + rand_hr):rand_min local time; then periodic checks for the rest of the process's
// life. kiv_quick_period starts the periodic phase at once from either of the others.
enum class schedule_phase { boot_up, daily_wait, periodic };

// The scheduler's state, kept for the life of the process. Ticks are counted in `period` (0 up to
// kiv_json_check_period - 1, a check falling due at 0) and a period's check is tried on up to
// three ticks in a row (`period_retry`, counted modulo 3); the records show both as they are.
struct json_schedule {
  schedule_phase phase = schedule_phase::boot_up;
  int32_t period = 2876;  // the boot-up check at the fourth counted tick of a 2880-tick period
  int32_t period_retry = -1;
  int32_t rand_hr = 0;
  int32_t rand_min = 0;
  int32_t download_deferred = 0;  // a check that a heal held back, made at the next tick
  // After a rule server shed load: no check before not_before (scheduler clock); a check that
  // fell due meanwhile, or the one the server turned away, is owed and made once it has passed.
  double not_before = 0;
  int32_t check_owed = 0;
  // kiv_boot_splay: the boot-up check waits until boot_not_before, drawn once.
  int32_t splay_drawn = 0;
  double boot_not_before = 0;
};

// The scheduler's clock: monotonic seconds, counted in the design's seconds (on the host one
// lasts KIV_TIME_SCALE real seconds, like every pause).
double scheduler_clock();

// What one tick needs from outside; process_json uses the real ones, a test or the fleet
// simulation its own.
struct json_schedule_deps {
  std::function<int64_t()> now;  // wall-clock seconds
  // download_json: the Retry-After seconds of an answer that shed load
  std::function<std::optional<int64_t>(const char*)> download;
  std::function<void(const char*)> read;                          // read_json
  std::function<int()> random;                                    // get_random_number
  std::function<int(const char*)> get_int = nvram_get_int;        // the settings store
  std::function<void(const char*, int)> set_int = nvram_set_int;  // its one write
  std::function<double()> clock = scheduler_clock;                // not_before's clock
};

// The longest kiv_boot_splay taken: 6 h, as the longest hold-back after a shed answer.
inline constexpr int64_t KIV_BOOT_SPLAY_MAX_S = 6 * 60 * 60;

// One tick of the scheduler on `state` (path must not be null). With kiv_boot_splay S (seconds,
// above 0; above KIV_BOOT_SPLAY_MAX_S as that) the boot-up check waits a random 0..S s, drawn once
// when the boot phase first passes the gates (a quick check does not wait). After a shed answer of
// Retry-After R, no check asks before R + a random 0..R s (at most 6 h) have passed; then the owed
// check is made.
void process_json_tick(json_schedule& state, const char* path, const json_schedule_deps& deps);
