// The healing executor on a hand-built rule set, with the host platform recording what it is
// asked to do: service events and reboots in tmp/service_events.log, system-log lines in
// tmp/syslog.log.
#include "heal/self_healing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <mutex>
#include <string>
#include <vector>

#include "rules/action_list.h"
#include "rules/monitor_profile.h"
#include "support/profiles.h"
#include "support/sandbox.h"

namespace {

// A rule set of n profiles installed as the globals, each with a full ring of three times.
struct full_set {
  kivtest::installed_set set;
  explicit full_set(int32_t n) : set(n) {
    for (int32_t i = 0; i < n; ++i) {
      mp[i].isActive = 1;
      mp[i].frequency = 3;
      mp[i].period = 60;
      mp[i].timestamp = {10.0f, 20.0f, 30.0f};
      mp[i].front = 2;
      mp[i].rear = 0;
    }
  }
};

using kivtest::give_actions;

// Heals profile `index` the way the trigger thread does: under the lock, marked first.
void heal(int32_t index, const check_action_row* table = checkActionList,
          int32_t rows = CHECK_ROWS) {
  std::lock_guard<std::mutex> lock(mp_mutex);
  mp[index].isHealing = 1;
  healing_index.store(index);
  self_healing_with_checks(index, table, rows);
}

void expect_empty_ring(const monitor_profile& p) {
  EXPECT_EQ(p.isHealing, 0);
  EXPECT_EQ(p.front, -1);
  EXPECT_EQ(p.rear, 0);
  EXPECT_EQ(p.timestamp, std::vector<float>({0.0f, 0.0f, 0.0f}));
}

std::string take_action_line(const std::string& action) {
  return " kiv: [self_healing]take action-[" + action + "].\n";
}

// A check table whose named rows answer with the scripted results in turn.
std::vector<int32_t> scripted;
size_t scripted_next = 0;
int32_t scripted_check(int32_t argument) {
  EXPECT_EQ(argument, 0);
  return scripted_next < scripted.size() ? scripted[scripted_next++] : 0;
}
const check_action_row kScriptedTable[CHECK_ROWS] = {
    {0, "nop", scripted_check}, {1, "restart_wan", scripted_check}, {2, nullptr, nullptr}};
void script(std::vector<int32_t> results) {
  scripted = std::move(results);
  scripted_next = 0;
}

}  // namespace

TEST(SelfHealing, RestartWanOneEventConfirmedAtOnce) {
  kivtest::sandbox sb;
  full_set set(2);
  give_actions(&mp[1], {"restart_wan"});
  heal(1);
  EXPECT_EQ(sb.read("tmp/service_events.log"), "restart_wan\n");
  EXPECT_EQ(sb.count("tmp/syslog.log", take_action_line("restart_wan")), 1u);
  EXPECT_EQ(mp[1].actionResult, std::vector<int32_t>({0}));
  EXPECT_EQ(mp[1].actionRetry, std::vector<int32_t>({1}));
  EXPECT_EQ(mp[1].actionIndex, 1);
  expect_empty_ring(mp[1]);
  EXPECT_EQ(healing_index.load(), -1);
  // The other profile is untouched.
  EXPECT_EQ(mp[0].front, 2);
  std::string log = sb.read("tmp/kiv.log");
  for (const char* text :
       {")]===============self_healing start===============\n", ")]monitor_profile index=1\n",
        ")]action_num=1\n", ")]To do action[0]=restart_wan\n", ")]monitor_profile[1] result[0]=0\n",
        ")]monitor_profile[1] retry[0]=1\n", ")]===============self_healing end===============\n"})
    EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
  // Every record of the run carries the executor's name.
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][self_healing:("), 7u) << log;
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV]"), 7u) << log;
}

TEST(SelfHealing, NopIsNeverCarriedOutAndItsCheckCycleConfirmsOnTheThird) {
  kivtest::sandbox sb;
  full_set set(1);
  give_actions(&mp[0], {"nop"});
  mkdir(sb.path("dev").c_str(), 0755);
  sb.write("dev/console", "");
  for (int run = 0; run < 2; ++run) {
    heal(0);
    EXPECT_EQ(mp[0].actionResult, std::vector<int32_t>({0})) << "run " << run;
    EXPECT_EQ(mp[0].actionRetry, std::vector<int32_t>({3})) << "run " << run;
    expect_empty_ring(mp[0]);
  }
  EXPECT_EQ(sb.read("tmp/service_events.log"), "");
  EXPECT_EQ(sb.count("tmp/syslog.log", "take action"), 0u);
  EXPECT_EQ(sb.read("dev/console"),
            "check_nop_state, 1-th\ncheck_nop_state, 2-th\ncheck_nop_state, 3-th\n"
            "check_nop_state, 1-th\ncheck_nop_state, 2-th\ncheck_nop_state, 3-th\n");
}

TEST(SelfHealing, RebootRunsOnceWithoutCheck) {
  kivtest::sandbox sb;
  full_set set(1);
  give_actions(&mp[0], {"reboot"});
  heal(0);
  EXPECT_EQ(sb.read("tmp/service_events.log"), "reboot\n");
  EXPECT_EQ(sb.count("tmp/syslog.log", take_action_line("reboot")), 1u);
  EXPECT_EQ(mp[0].actionResult, std::vector<int32_t>({-1}));
  EXPECT_EQ(mp[0].actionRetry, std::vector<int32_t>({1}));
  expect_empty_ring(mp[0]);
}

TEST(SelfHealing, ActionWithoutCheckIsCarriedOutThreeTimes) {
  kivtest::sandbox sb;
  full_set set(1);
  give_actions(&mp[0], {"restart_dnsmasq", " reboot"});
  heal(0);
  // " reboot" (with its space) is no reboot: an ordinary service event of three attempts.
  EXPECT_EQ(sb.read("tmp/service_events.log"),
            "restart_dnsmasq\nrestart_dnsmasq\nrestart_dnsmasq\n reboot\n reboot\n reboot\n");
  EXPECT_EQ(sb.count("tmp/syslog.log", take_action_line("restart_dnsmasq")), 3u);
  EXPECT_EQ(mp[0].actionResult, std::vector<int32_t>({-1, -1}));
  EXPECT_EQ(mp[0].actionRetry, std::vector<int32_t>({3, 3}));
  EXPECT_EQ(mp[0].actionIndex, 2);
}

TEST(SelfHealing, ServiceEventIsFollowedByAPause) {
  // 1 s scaled by 0.2: three events of an unchecked action take at least 0.6 s.
  kivtest::sandbox sb(0.2);
  full_set set(1);
  give_actions(&mp[0], {"restart_httpd"});
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  heal(0);
  clock_gettime(CLOCK_MONOTONIC, &b);
  double elapsed = static_cast<double>(b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
  EXPECT_GE(elapsed, 0.57);
  EXPECT_EQ(sb.count("tmp/service_events.log", "restart_httpd\n"), 3u);
}

TEST(SelfHealing, SystemLogLineComesBeforeEachEvent) {
  kivtest::sandbox sb;
  full_set set(1);
  give_actions(&mp[0], {"restart_wan"});
  // The service controller hook sees the system log as it stands when the event is handed over.
  kivtest::service_hook(sb, "#!/bin/sh\ncp \"$KIV_ROOT/tmp/syslog.log\" \"$KIV_ROOT/seen\"\n");
  heal(0);
  EXPECT_NE(sb.read("seen").find(take_action_line("restart_wan")), std::string::npos);
}

TEST(SelfHealing, CheckResultOneEndsTheList) {
  kivtest::sandbox sb;
  full_set set(1);
  give_actions(&mp[0], {"restart_wan", "nop", "restart_wan"});
  mp[0].actionResult[2] = 7;  // values of an earlier run
  mp[0].actionRetry[2] = 2;
  // A 1 is an unconfirmed attempt like any other; the list ends when it is the last result.
  script({-5, 0, 1, 1, 1});
  heal(0, kScriptedTable, CHECK_ROWS);
  EXPECT_EQ(sb.read("tmp/service_events.log"), "restart_wan\nrestart_wan\n");
  EXPECT_EQ(mp[0].actionResult, std::vector<int32_t>({0, 1, 7}));
  EXPECT_EQ(mp[0].actionRetry, std::vector<int32_t>({2, 3, 2}));
  EXPECT_EQ(mp[0].actionIndex, 1) << "left at the stopping action";
  expect_empty_ring(mp[0]);
  EXPECT_EQ(healing_index.load(), -1);
}

TEST(SelfHealing, OneFollowedByAConfirmationGoesOn) {
  kivtest::sandbox sb;
  full_set set(1);
  give_actions(&mp[0], {"restart_wan", "restart_wan"});
  script({1, 0, 0});
  heal(0, kScriptedTable, CHECK_ROWS);
  EXPECT_EQ(mp[0].actionResult, std::vector<int32_t>({0, 0}));
  EXPECT_EQ(mp[0].actionRetry, std::vector<int32_t>({2, 1}));
  EXPECT_EQ(sb.count("tmp/service_events.log", "restart_wan\n"), 3u);
}

TEST(SelfHealing, ThreeFailedChecksKeepTheLastValue) {
  kivtest::sandbox sb;
  full_set set(1);
  give_actions(&mp[0], {"restart_wan"});
  script({-1, 5, 9});
  heal(0, kScriptedTable, CHECK_ROWS);
  EXPECT_EQ(sb.count("tmp/service_events.log", "restart_wan\n"), 3u);
  EXPECT_EQ(mp[0].actionResult, std::vector<int32_t>({9}));
  EXPECT_EQ(mp[0].actionRetry, std::vector<int32_t>({3}));
}

TEST(SelfHealing, EmptyListStillEmptiesTheRing) {
  kivtest::sandbox sb;
  full_set set(1);
  heal(0);
  EXPECT_EQ(sb.read("tmp/service_events.log"), "");
  EXPECT_EQ(sb.read("tmp/syslog.log"), "");
  expect_empty_ring(mp[0]);
  EXPECT_EQ(healing_index.load(), -1);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]action_num=0\n"), 1u);
}

TEST(SelfHealing, NoRuleSetIsLoggedAndNothingRuns) {
  kivtest::sandbox sb;
  ASSERT_EQ(mp, nullptr);
  healing_index.store(0);
  self_healing(0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]monitor_profile is NULL!\n"), 1u);
  EXPECT_EQ(healing_index.load(), 0) << "nothing is reset";
  healing_index.store(-1);
}

TEST(SelfHealing, ResultLinesNameTheProfileFirst) {
  kivtest::sandbox sb;
  full_set set(3);
  give_actions(&mp[2], {"reboot", "restart_wan"});
  heal(2);
  std::string log = sb.read("tmp/kiv.log");
  for (const char* text :
       {")]monitor_profile[2] result[0]=-1\n", ")]monitor_profile[2] retry[0]=1\n",
        ")]monitor_profile[2] result[1]=0\n", ")]monitor_profile[2] retry[1]=1\n"})
    EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
  EXPECT_EQ(sb.read("tmp/service_events.log"), "reboot\nrestart_wan\n");
}
