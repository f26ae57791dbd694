// The trigger thread in this process, on hand-built rule sets swapped in under the lock as a
// reload does. Service events land in the sandbox's tmp/service_events.log.
#include "detect/monitor_statistics.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "core/kiv_main.h"
#include "rules/monitor_profile.h"
#include "support/sandbox.h"

namespace {

using kivtest::now_s;

// A profile whose ring is full within its window when `ready`, with one unchecked action
// named after it, so that the service events show which profile was healed.
void make_profile(monitor_profile* p, const std::string& event, bool ready) {
  p->isActive = 1;
  p->kiv_keyword = event;
  p->frequency = 2;
  p->period = 60;
  p->timestamp = {ready ? 10.0f : 0.0f, ready ? 20.0f : 0.0f};
  p->front = ready ? 1 : -1;
  p->rear = 0;
  p->action = {event};
  p->checkFuncIndex = {1};  // the restart_wan row: confirmed at the first attempt
  p->actionResult = {-1};
  p->actionRetry = {0};
  p->action_num = 1;
}

// Swaps a new set in under the lock, as the rule file reader does.
void install(monitor_profile* set, int32_t n) {
  std::lock_guard<std::mutex> lock(mp_mutex);
  free_monitor_profile(&mp, gArraylen);
  mp = set;
  gArraylen = n;
}

monitor_profile* new_set(int32_t n, int32_t ready_index, const char* prefix) {
  monitor_profile* set = alloc_monitor_profile(n);
  for (int32_t i = 0; i < n; ++i)
    make_profile(&set[i], std::string(prefix) + std::to_string(i), i == ready_index);
  return set;
}

// The thread, started and stopped by the test.
struct trigger_thread {
  pthread_t thread{};
  void* exit_value = nullptr;
  bool running = false;
  trigger_thread() {
    terminate_flag.store(0);
    running = pthread_create(&thread, nullptr, monitor_Statistics, nullptr) == 0;
  }
  void stop() {
    if (!running) return;
    terminate_flag.store(1);
    pthread_join(thread, &exit_value);
    running = false;
  }
  ~trigger_thread() {
    stop();
    install(nullptr, 0);
    terminate_flag.store(0);
    global_pause.store(0);
    healing_index.store(-1);
  }
};

bool wait_until(const std::function<bool()>& done, double timeout_s) {
  double deadline = now_s() + timeout_s;
  while (!done()) {
    if (now_s() >= deadline) return false;
    usleep(10000);
  }
  return true;
}

}  // namespace

TEST(MonitorStatistics, HealsAReadyProfileAndEmptiesItsRing) {
  kivtest::sandbox sb;
  install(new_set(3, 2, "restart_p"), 3);
  trigger_thread t;
  ASSERT_TRUE(t.running);
  ASSERT_TRUE(sb.wait_for("tmp/service_events.log", "restart_p2\n", 10));
  ASSERT_TRUE(wait_until([] { return healing_index.load() == -1; }, 5));
  {
    std::lock_guard<std::mutex> lock(mp_mutex);
    EXPECT_EQ(mp[2].front, -1);
    EXPECT_EQ(mp[2].isHealing, 0);
    EXPECT_EQ(mp[2].actionResult[0], 0);
    EXPECT_EQ(mp[2].actionRetry[0], 1);
  }
  // Healed once: the emptied ring does not fire again.
  usleep(static_cast<useconds_t>(3 * 3 * 2 * 0.05 * 1e6));
  EXPECT_EQ(sb.read("tmp/service_events.log"), "restart_p2\n");
  t.stop();
  ASSERT_NE(t.exit_value, nullptr);
  EXPECT_STREQ(static_cast<const char*>(t.exit_value), "End of monitor_Statistics thread");
  std::string log = sb.read("tmp/kiv.log");
  EXPECT_NE(log.find("[KIV][monitor_Statistics:("), std::string::npos);
  EXPECT_NE(log.find(")]START\n"), std::string::npos);
  EXPECT_NE(log.find(")]Get terminate signal\n"), std::string::npos);
}

TEST(MonitorStatistics, DebugPrintWhenAProfileFires) {
  kivtest::sandbox sb;
  sb.write("dev/console", "");
  sb.set("kiv_debug_flag", "1");
  install(new_set(1, 0, "restart_q"), 1);
  trigger_thread t;
  ASSERT_TRUE(sb.wait_for("tmp/service_events.log", "restart_q0\n", 10));
  t.stop();
  std::string console = sb.read("dev/console");
  EXPECT_NE(
      console.find("=== match condition ===\nkeyword[0]=[restart_q0]\nre_pattern[0]=[(null)]\n"
                   "freq[0]=[2]\ndiff[0] === [10.000000]\nperiod[0]=[60]\n"
                   "action[0]=[restart_q0]\n"),
      std::string::npos)
      << console;
}

TEST(MonitorStatistics, ShrunkOrEmptiedSetIsNeverReadOutsideItsBounds) {
  kivtest::sandbox sb;
  install(new_set(8, -1, "restart_big"), 8);
  trigger_thread t;
  // Let the cursor walk well into the large set, then put a set of one ready profile in.
  usleep(static_cast<useconds_t>(6 * 2 * 0.05 * 1e6));
  install(new_set(1, 0, "restart_small"), 1);
  EXPECT_TRUE(sb.wait_for("tmp/service_events.log", "restart_small0\n", 10));
  // An empty set while an array is present: nothing is examined and nothing divides by zero.
  {
    std::lock_guard<std::mutex> lock(mp_mutex);
    free_monitor_profile(&mp, gArraylen);
    mp = alloc_monitor_profile(0);
    gArraylen = 0;
  }
  usleep(static_cast<useconds_t>(3 * 5 * 0.05 * 1e6));
  install(new_set(2, 1, "restart_again"), 2);
  EXPECT_TRUE(sb.wait_for("tmp/service_events.log", "restart_again1\n", 10));
  t.stop();
  EXPECT_EQ(sb.count("tmp/service_events.log", "restart_big"), 0u);
}

TEST(MonitorStatistics, PausedSetIsNotExaminedUntilThePauseEnds) {
  kivtest::sandbox sb;
  global_pause.store(1);
  install(new_set(1, 0, "restart_paused"), 1);
  trigger_thread t;
  EXPECT_FALSE(sb.wait_for("tmp/service_events.log", "restart_paused0", 1.5));
  global_pause.store(0);
  EXPECT_TRUE(sb.wait_for("tmp/service_events.log", "restart_paused0\n", 10));
}

TEST(MonitorStatistics, ProfileIsPassedOverWhileAnotherHealingIsOpen) {
  kivtest::sandbox sb;
  healing_index.store(5);
  install(new_set(2, 0, "restart_busy"), 2);
  trigger_thread t;
  EXPECT_FALSE(sb.wait_for("tmp/service_events.log", "restart_busy", 1.0));
  healing_index.store(-1);
  EXPECT_TRUE(sb.wait_for("tmp/service_events.log", "restart_busy0\n", 10));
}

TEST(MonitorStatistics, StopRequestEndsEvenTheLongPausePromptly) {
  kivtest::sandbox sb(1.0);  // unscaled: a 10-s pause while paused
  global_pause.store(1);
  trigger_thread t;
  usleep(200000);
  double before = now_s();
  t.stop();
  EXPECT_LT(now_s() - before, 1.5);
}
