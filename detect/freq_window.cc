// The ring of recent match times of a profile and the trigger condition built on it.
//
// A profile's ring has `frequency` slots in `timestamp`; `front` is the slot written last (-1 in
// an empty ring), `rear` the oldest time held, and 0.0 marks a free slot. Times are seconds since
// boot in double precision: a single-precision time steps by 2 s past 2^24 s (194 days) of
// uptime, which routers reach, and two matches 1.8 s apart would then count as one instant. Every
// operation runs inside the caller's mp_mutex and takes no lock.
//
// A profile without a usable ring (frequency 0, no "frequency" in its rule, or positions that do
// not lie inside the ring) never records and is never full, so nothing outside the array is
// touched and nothing divides by zero.
#include "detect/freq_window.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/kiv_log.h"
#include "platform/platform.h"

namespace {

// Number of slots the ring can use; 0 when the profile has no ring.
int32_t ring_slots(const monitor_profile* p) {
  if (p->frequency == 0 || p->frequency > static_cast<uint32_t>(INT32_MAX)) return 0;
  if (p->timestamp.size() < p->frequency) return 0;
  return static_cast<int32_t>(p->frequency);
}

// front and rear are positions the ring operations may use as indexes.
bool ring_positions_valid(const monitor_profile* p, int32_t slots) {
  return p->front >= -1 && p->front < slots && p->rear >= 0 && p->rear < slots;
}

}  // namespace

bool ring_slot_valid(const monitor_profile* p, int32_t slot) {
  return slot >= 0 && static_cast<uint32_t>(slot) < p->frequency &&
         static_cast<size_t>(slot) < p->timestamp.size();
}

void record_timestamp(monitor_profile* profile, double now) {
  if (!profile) {
    KIV_LOG("mp is NULL!\n");
    return;
  }
  const int32_t slots = ring_slots(profile);
  if (slots == 0 || !ring_positions_valid(profile, slots)) return;
  profile->front += 1;
  if (profile->front == slots) profile->front = 0;
  size_t at = static_cast<size_t>(profile->front);
  // A time already in the slot means the ring is full and its oldest time is overwritten.
  if (profile->timestamp[at] != 0.0) {
    profile->rear += 1;
    if (profile->rear == slots) profile->rear = 0;
  }
  profile->timestamp[at] = now;
}

int is_freq_array_full(const monitor_profile* profile) {
  if (!profile) {
    KIV_LOG("mp is NULL!\n");
    return 0;
  }
  if (profile->front == -1) return 0;
  int32_t slots = ring_slots(profile);
  if (slots == 0 || !ring_positions_valid(profile, slots)) return 0;
  int32_t d = profile->front - profile->rear;
  if (d < 0) d += slots;
  return d % slots == slots - 1 ? 1 : 0;
}

int is_time_diff_match(const monitor_profile* profile) {
  if (!profile) {
    KIV_LOG("mp is NULL!\n");
    return 0;
  }
  // With a single slot there is no interval to test.
  if (profile->frequency < 2) return 1;
  int32_t slots = ring_slots(profile);
  if (slots == 0 || !ring_positions_valid(profile, slots) || profile->front < 0) return 0;
  const double newest = profile->timestamp[static_cast<size_t>(profile->front)];
  const double oldest = profile->timestamp[static_cast<size_t>(profile->rear)];
  const double diff = newest - oldest;
  // A not-a-number difference compares false and so gives 0.
  return diff <= static_cast<double>(profile->period) ? 1 : 0;
}

int is_match_condition(const monitor_profile* profile) {
  if (is_freq_array_full(profile) == 0) return 0;
  return is_time_diff_match(profile) != 0 ? 1 : 0;
}
