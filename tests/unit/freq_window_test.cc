// The ring of match times and the trigger condition, driven by the test clock below KIV_ROOT.
#include "detect/freq_window.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <string>

#include "rules/monitor_profile.h"
#include "support/sandbox.h"

namespace {

// A sandbox root with a test clock in proc/uptime.
struct clocked_root {
  kivtest::sandbox sb;
  clocked_root() {
    mkdir(sb.path("proc").c_str(), 0755);
    set("0.00 0.00\n");
  }
  void set(const std::string& text) const { sb.write("proc/uptime", text); }
  void at(double seconds) const { set(std::to_string(seconds) + " 1.00\n"); }
};

monitor_profile ring(uint32_t frequency, uint32_t period) {
  monitor_profile p;
  p.isActive = 1;
  p.frequency = frequency;
  p.period = period;
  p.timestamp.assign(frequency, 0.0f);
  return p;
}

void record_at(const clocked_root& clock, monitor_profile* p, double seconds) {
  clock.at(seconds);
  record_timestamp(p);
}

}  // namespace

TEST(ReadUptime, ReadsFirstNumberOfTheTestClockInSinglePrecision) {
  clocked_root clock;
  clock.set("12345.67 99.00\n");
  EXPECT_EQ(read_uptime(), 12345.67f);
  // Above 2^24 seconds single precision has a resolution of two seconds.
  clock.set("16777217.00 1.00\n");
  EXPECT_EQ(read_uptime(), 16777216.0f);
}

TEST(ReadUptime, UnreadableClockGivesZero) {
  clocked_root clock;
  clock.set("");
  EXPECT_EQ(read_uptime(), 0.0f);
  clock.set("up a while\n");
  EXPECT_EQ(read_uptime(), 0.0f);
}

TEST(ReadUptime, WithoutTestClockReadsTheKernelsUptime) {
  kivtest::sandbox sb;
  EXPECT_GT(read_uptime(), 0.0f);
}

TEST(FreqWindow, FirstInsertionMovesFrontOnly) {
  clocked_root clock;
  monitor_profile p = ring(3, 60);
  record_at(clock, &p, 10);
  EXPECT_EQ(p.front, 0);
  EXPECT_EQ(p.rear, 0);
  EXPECT_EQ(p.timestamp[0], 10.0f);
  EXPECT_EQ(is_freq_array_full(&p), 0);
  EXPECT_EQ(is_match_condition(&p), 0);
}

TEST(FreqWindow, WorkedExampleWindowSlidesUntilItHolds) {
  clocked_root clock;
  monitor_profile p = ring(3, 60);
  record_at(clock, &p, 10);
  record_at(clock, &p, 20);
  EXPECT_EQ(is_freq_array_full(&p), 0);
  record_at(clock, &p, 75);
  EXPECT_EQ(p.front, 2);
  EXPECT_EQ(p.rear, 0);
  EXPECT_EQ(is_freq_array_full(&p), 1);
  EXPECT_EQ(is_time_diff_match(&p), 0) << "75 - 10 = 65 is beyond a period of 60";
  EXPECT_EQ(is_match_condition(&p), 0);
  // A full ring whose test fails stays full; asking again changes nothing.
  EXPECT_EQ(is_freq_array_full(&p), 1);
  EXPECT_EQ(is_match_condition(&p), 0);
  // The fourth match overwrites 10; 80 - 20 = 60 equals the period and counts as inside.
  record_at(clock, &p, 80);
  EXPECT_EQ(p.front, 0);
  EXPECT_EQ(p.rear, 1);
  EXPECT_EQ(p.timestamp[0], 80.0f);
  EXPECT_EQ(is_freq_array_full(&p), 1) << "d = -1 + 3 = 2";
  EXPECT_EQ(is_time_diff_match(&p), 1);
  EXPECT_EQ(is_match_condition(&p), 1);
}

TEST(FreqWindow, RingKeepsTheLatestTimesAcrossManyInsertions) {
  clocked_root clock;
  monitor_profile p = ring(4, 100);
  for (int k = 1; k <= 11; ++k) {
    record_at(clock, &p, 100.0 * k);
    int32_t expect_front = (k - 1) % 4;
    int32_t expect_rear = k <= 4 ? 0 : (k - 4) % 4;
    ASSERT_EQ(p.front, expect_front) << "after " << k;
    ASSERT_EQ(p.rear, expect_rear) << "after " << k;
    EXPECT_EQ(is_freq_array_full(&p), k >= 4 ? 1 : 0) << "after " << k;
  }
  // Held: 800, 900, 1000, 1100; their spread of 300 lies outside 100.
  EXPECT_EQ(p.timestamp[static_cast<size_t>(p.rear)], 800.0f);
  EXPECT_EQ(is_match_condition(&p), 0);
}

TEST(FreqWindow, FrequencyOneFiresOnOneMatchWhateverThePeriod) {
  clocked_root clock;
  monitor_profile p = ring(1, 0);
  EXPECT_EQ(is_match_condition(&p), 0);
  record_at(clock, &p, 500);
  EXPECT_EQ(p.front, 0);
  EXPECT_EQ(is_freq_array_full(&p), 1);
  EXPECT_EQ(is_time_diff_match(&p), 1);
  EXPECT_EQ(is_match_condition(&p), 1);
  // A second match overwrites the one slot and moves rear round to 0 again.
  record_at(clock, &p, 900);
  EXPECT_EQ(p.front, 0);
  EXPECT_EQ(p.rear, 0);
  EXPECT_EQ(p.timestamp[0], 900.0f);
  EXPECT_EQ(is_match_condition(&p), 1);
}

TEST(FreqWindow, UnreadableUptimeIsStoredAsAFreeSlot) {
  clocked_root clock;
  monitor_profile p = ring(2, 60);
  clock.set("");
  record_timestamp(&p);
  EXPECT_EQ(p.front, 0);
  EXPECT_EQ(p.timestamp[0], 0.0f);
  record_at(clock, &p, 5);
  EXPECT_EQ(p.front, 1);
  EXPECT_EQ(is_freq_array_full(&p), 1);
  // Slot 0 holds 0.0, so overwriting it does not move rear: the ring counts as holding one time.
  record_at(clock, &p, 6);
  EXPECT_EQ(p.front, 0);
  EXPECT_EQ(p.rear, 0);
  EXPECT_EQ(is_freq_array_full(&p), 0);
}

TEST(FreqWindow, NotANumberNeverSatisfiesTheWindow) {
  monitor_profile p = ring(2, 60);
  p.timestamp = {std::numeric_limits<float>::quiet_NaN(), 10.0f};
  p.front = 1;
  p.rear = 0;
  EXPECT_EQ(is_freq_array_full(&p), 1);
  EXPECT_EQ(is_time_diff_match(&p), 0);
  EXPECT_EQ(is_match_condition(&p), 0);
}

TEST(FreqWindow, DifferenceIsTakenInSinglePrecision) {
  // 16777218 - 1 = 16777217 is not a single-precision value and rounds to 16777216, which is
  // within a period of 16777216; in double precision it would lie one second outside.
  monitor_profile p = ring(2, 16777216);
  p.timestamp = {1.0f, 16777218.0f};
  p.front = 1;
  p.rear = 0;
  EXPECT_EQ(is_time_diff_match(&p), 1);
  p.period = 16777217;  // becomes 16777216 as well once converted
  EXPECT_EQ(is_time_diff_match(&p), 1);
  p.period = 16777000;
  EXPECT_EQ(is_time_diff_match(&p), 0);
}

TEST(FreqWindow, ProfileWithoutRingNeverRecordsNorFires) {
  clocked_root clock;
  clock.at(42);
  // frequency 0 with a stray slot, and a frequency without its array (no "frequency" key read).
  monitor_profile zero = ring(0, 10);
  zero.timestamp = {7.0f};
  monitor_profile no_array = ring(3, 10);
  no_array.timestamp.clear();
  for (monitor_profile* p : {&zero, &no_array}) {
    for (int k = 0; k < 5; ++k) record_timestamp(p);
    EXPECT_EQ(p->front, -1);
    EXPECT_EQ(p->rear, 0);
    EXPECT_EQ(is_freq_array_full(p), 0);
    EXPECT_EQ(is_match_condition(p), 0);
  }
  EXPECT_EQ(zero.timestamp[0], 7.0f) << "nothing outside a ring is written";
  EXPECT_EQ(is_time_diff_match(&no_array), 0);
}

TEST(FreqWindow, PositionsOutsideTheRingAreNotUsed) {
  clocked_root clock;
  clock.at(42);
  monitor_profile p = ring(2, 10);
  p.front = 5;
  record_timestamp(&p);
  EXPECT_EQ(p.front, 5);
  EXPECT_EQ(p.timestamp, std::vector<float>({0.0f, 0.0f}));
  EXPECT_EQ(is_freq_array_full(&p), 0);
  EXPECT_EQ(is_time_diff_match(&p), 0);
}

TEST(FreqWindow, MissingProfileIsLoggedAndGivesZero) {
  kivtest::sandbox sb;
  record_timestamp(nullptr);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]mp is NULL!\n"), 1u);
  EXPECT_EQ(is_freq_array_full(nullptr), 0);
  EXPECT_EQ(is_time_diff_match(nullptr), 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]mp is NULL!\n"), 3u);
  // Through the condition the message comes once, from the full test.
  EXPECT_EQ(is_match_condition(nullptr), 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]mp is NULL!\n"), 4u);
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][is_freq_array_full:("), 2u);
}
