// The daemon heals by itself: a rule set fetched from the loopback rule server, fault lines
// appended to the sandbox's system log, the test clock in proc/uptime deciding the window, and
// the heal seen in tmp/service_events.log, in the log and in the dump.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

const std::string kLog = "tmp/kiv.log";
const std::string kEvents = "tmp/service_events.log";

using kivtest::in_order;
using kivtest::kv1000_rule;
using kivtest::now_s;

// A router in a sandbox root with a rule server, a test clock and a daemon that loads the rule
// sets it is given and otherwise stays offline (so that no further check reloads the set and
// empties the rings behind a test's back).
struct router {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};
  size_t loads = 0;

  explicit router(double scale = 0.05) : box(scale) {
    kivtest::router_settings(box, server);
    clock(100);
  }

  bool start() {
    return server.port > 0 && box.start_kiv() > 0 && box.wait_for(kLog, ")]End\n", 10) &&
           box.wait_ready(10) && box.wait_for(kLog, "[KIV][_monitor_syslog:(", 10);
  }

  // Installs the JSON text as the live rule set through one forced check.
  bool load(const std::string& json) {
    bool ok = kivtest::install_rules(box, server, json, static_cast<int>(loads), 30);
    if (ok) ++loads;
    return ok;
  }

  void clock(double uptime) const { kivtest::set_uptime(box, uptime); }

  // Appends one line and waits until the daemon has walked it over the rule set: the thread
  // walks lines one after the other, so once a marker line behind it has been read, the walk of
  // the line is over.
  bool line(const std::string& text) {
    std::string marker = "-- marker " + std::to_string(++markers) + " --";
    box.append("tmp/syslog.log", text + "\n" + marker + "\n");
    return box.wait_for(kLog, ")]pBuf=[" + marker + "]\n", 10);
  }
  int markers = 0;

  // A fresh dump of the rule set, once its walk has been written behind the document.
  std::string dump() const {
    unlink(box.path("tmp/kiv_dump.txt").c_str());
    kill(box.pid, SIGUSR2);
    double deadline = now_s() + 10;
    while (now_s() < deadline) {
      std::string text = box.read("tmp/kiv_dump.txt");
      if (text.find("=====checkActionList=====") != std::string::npos) {
        return text;  // the walk goes in with one write behind the document
      }
      usleep(20000);
    }
    return std::string();
  }

  bool quiet_for(const std::string& file, const std::string& text, double seconds) const {
    return !box.wait_for(file, text, seconds);
  }
};

const std::string kWanRule = kv1000_rule(
    "\"keyword\":\"wan_down\",\"re_pattern\":\"WAN: link down\",\"frequency\":\"3\","
    "\"period\":\"60\",\"action\":\"restart_wan\"");

}  // namespace

TEST(HealDaemon, FaultLinesWithinThePeriodHealAndEmptyTheRing) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" + kWanRule + "]"));
  // Three matches 65 s apart (10, 20, 75): the ring is full but the window does not hold.
  for (double at : {10.0, 20.0, 75.0}) {
    r.clock(at);
    ASSERT_TRUE(r.line("Dec  6 12:00:00 WAN: link down"));
  }
  EXPECT_TRUE(r.box.wait_for(kLog, ")]monitor_profile[0].timestamp[2]=[75.000000]\n", 5));
  EXPECT_TRUE(r.quiet_for(kEvents, "restart_wan", 1.0)) << "65 s lie outside a period of 60";
  // A line that does not match leaves the ring as it is.
  ASSERT_TRUE(r.line("Dec  6 12:00:01 WAN: link up"));
  EXPECT_TRUE(r.quiet_for(kEvents, "restart_wan", 0.5));
  // The fourth match at 80 slides the window to 20..80: exactly the period, so it heals.
  r.clock(80);
  ASSERT_TRUE(r.line("Dec  6 12:00:02 WAN: link down"));
  ASSERT_TRUE(r.box.wait_for(kEvents, "restart_wan\n", 10));
  ASSERT_TRUE(r.box.wait_for(kLog, ")]===============self_healing end===============\n", 10));
  EXPECT_EQ(r.box.read(kEvents), "restart_wan\n");
  EXPECT_EQ(r.box.count("tmp/syslog.log", " kiv: [self_healing]take action-[restart_wan].\n"), 1u);
  std::string log = r.box.read(kLog);
  EXPECT_TRUE(
      in_order(log, {")]MATCH::monitor_profile[0].kiv_keyword=[wan_down]\n",
                     ")]MATCH::monitor_profile[0].re_pattern=[WAN: link down]\n",
                     ")]monitor_profile[0].front=[0]\n", ")]monitor_profile[0].rear=[1]\n",
                     ")]front[0] = [80.000000]\n", ")]rear[0] = [20.000000]\n",
                     ")]monitor_profile index=0\n", ")]To do action[0]=restart_wan\n",
                     ")]monitor_profile[0] result[0]=0\n", ")]monitor_profile[0] retry[0]=1\n"}))
      << log;
  // The match records are the syslog monitor thread's, the run's records the executor's.
  size_t match = log.find(")]MATCH::monitor_profile[0].kiv_keyword=[wan_down]\n");
  ASSERT_NE(match, std::string::npos);
  EXPECT_EQ(log.rfind("[KIV][_monitor_syslog:(", match), log.rfind("[KIV]", match));
  size_t end = log.find(")]===============self_healing end===============\n");
  EXPECT_EQ(log.rfind("[KIV][self_healing:(", end), log.rfind("[KIV]", end));
  std::string dump = r.dump();
  EXPECT_TRUE(in_order(
      dump, {"=====monitor_profile[0]=====\n", "isActive=[1]\n", "kiv_keyword=[wan_down]\n",
             "=>action[0]=[restart_wan]\n", "=>checkFuncIndex[0]=[1](for restart_wan)\n",
             "==>actionResult[0]=[0]\n", "==>actionRetry[0]=[1]\n"}))
      << dump;
  // The ring starts from nothing: the next match is the first of a new round.
  r.clock(81);
  ASSERT_TRUE(r.line("Dec  6 12:00:03 WAN: link down"));
  EXPECT_TRUE(r.box.wait_for(kLog, ")]monitor_profile[0].front=[0]\n", 5));
  std::string log2 = r.box.read(kLog);
  EXPECT_TRUE(in_order(log2.substr(log2.rfind(")]MATCH::monitor_profile[0].kiv_keyword=")),
                       {")]monitor_profile[0].timestamp[0]=[81.000000]\n",
                        ")]monitor_profile[0].timestamp[1]=[0.000000]\n",
                        ")]monitor_profile[0].timestamp[2]=[0.000000]\n",
                        ")]monitor_profile[0].front=[0]\n", ")]monitor_profile[0].rear=[0]\n"}))
      << log2;
  EXPECT_TRUE(r.quiet_for(kEvents, "restart_wan\nrestart_wan", 1.0));
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

TEST(HealDaemon, ActionListRunsWithChecksAttemptsAndResults) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" +
                     kv1000_rule("\"keyword\":\"dns\",\"re_pattern\":\"dnsmasq.*exited\","
                                 "\"frequency\":\"1\",\"period\":\"0\","
                                 "\"action\":\"nop;restart_dnsmasq;restart_wan\"") +
                     "]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:00 dnsmasq[312]: exited"));
  ASSERT_TRUE(r.box.wait_for(kLog, ")]===============self_healing end===============\n", 15));
  // "nop" is never carried out; the unchecked event three times; restart_wan confirmed at once.
  EXPECT_EQ(r.box.read(kEvents),
            "restart_dnsmasq\nrestart_dnsmasq\nrestart_dnsmasq\nrestart_wan\n");
  EXPECT_EQ(r.box.count("tmp/syslog.log", "take action-[nop]"), 0u);
  std::string dump = r.dump();
  EXPECT_TRUE(in_order(
      dump,
      {"=>action[0]=[nop]\n", "==>actionResult[0]=[0]\n", "==>actionRetry[0]=[3]\n",
       "=>action[1]=[restart_dnsmasq]\n", "==>actionResult[1]=[-1]\n", "==>actionRetry[1]=[3]\n",
       "=>action[2]=[restart_wan]\n", "==>actionResult[2]=[0]\n", "==>actionRetry[2]=[1]\n"}))
      << dump;
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

TEST(HealDaemon, InactiveRuleIsSkippedAndOneLineCanFeedTwoRings) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(
      r.load("[{\"model\":\"OTHER-1\",\"re_pattern\":\"kernel\",\"frequency\":\"1\","
             "\"action\":\"reboot\"}," +
             kv1000_rule("\"keyword\":\"a\",\"re_pattern\":\"kernel: oom\",\"frequency\":\"2\","
                         "\"period\":\"5\",\"action\":\"restart_wan\"") +
             "," +
             kv1000_rule("\"keyword\":\"b\",\"re_pattern\":\"oom\",\"frequency\":\"2\","
                         "\"period\":\"5\",\"action\":\"restart_wan\"") +
             "]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:00 kernel: oom-killer"));
  // The walk of that line: one match record for each active profile, in index order, and no
  // record at all for the inactive one.
  std::string log = r.box.read(kLog);
  size_t from = log.find(")]pBuf=[Dec  6 12:00:00 kernel: oom-killer]\n");
  size_t to = log.find(")]pBuf=[-- marker", from);
  ASSERT_NE(to, std::string::npos) << log;
  std::string walk = log.substr(from, to - from);
  EXPECT_TRUE(
      in_order(walk, {"[KIV][match_func:(", ")][Match]::[Dec  6 12:00:00 kernel: oom-killer]\n",
                      ")]MATCH::monitor_profile[1].kiv_keyword=[a]\n", "[KIV][match_func:(",
                      ")][Match]::[Dec  6 12:00:00 kernel: oom-killer]\n",
                      ")]MATCH::monitor_profile[2].kiv_keyword=[b]\n"}))
      << walk;
  size_t asked = 0;
  for (size_t at = walk.find("[KIV][match_func:("); at != std::string::npos;
       at = walk.find("[KIV][match_func:(", at + 1))
    ++asked;
  EXPECT_EQ(asked, 2u) << walk;
  EXPECT_EQ(log.find("MATCH::monitor_profile[0]"), std::string::npos);
  EXPECT_TRUE(r.quiet_for(kEvents, "reboot", 0.5));
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

TEST(HealDaemon, GlobalPauseDropsLinesUntilItEnds) {
  router r;
  ASSERT_TRUE(r.start());
  std::string paused = kv1000_rule(
      "\"re_pattern\":\"WAN: link down\",\"frequency\":\"1\",\"period\":\"9\","
      "\"action\":\"restart_wan\",\"Global_Pause\":\"1\"");
  ASSERT_TRUE(r.load("[" + paused + "]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:00 WAN: link down"));
  ASSERT_TRUE(r.line("Dec  6 12:00:01 WAN: link down"));
  EXPECT_EQ(r.box.count(kLog, ")]global_pause=[1]\n"), 1u) << "logged once per pause";
  EXPECT_EQ(r.box.count(kLog, "[Match]::"), 0u);
  EXPECT_TRUE(r.quiet_for(kEvents, "restart_wan", 0.5));
  std::string resumed = kv1000_rule(
      "\"re_pattern\":\"WAN: link down\",\"frequency\":\"1\",\"period\":\"9\","
      "\"action\":\"restart_wan\",\"Global_Pause\":\"0\"");
  ASSERT_TRUE(r.load("[" + resumed + "]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:02 WAN: link down"));
  EXPECT_EQ(r.box.count(kLog, ")]global_pause=[0]\n"), 1u);
  EXPECT_TRUE(r.box.wait_for(kEvents, "restart_wan\n", 10));
  ASSERT_TRUE(r.line("Dec  6 12:00:03 WAN: link down"));
  EXPECT_EQ(r.box.count(kLog, ")]global_pause=[0]\n"), 1u);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

TEST(HealDaemon, TerminateDuringHealingLetsTheRunFinish) {
  router r;
  // The service controller takes a while with each event.
  kivtest::service_hook(r.box, "#!/bin/sh\nsleep 0.5\n");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" +
                     kv1000_rule("\"re_pattern\":\"ppp: timeout\",\"frequency\":\"1\","
                                 "\"action\":\"restart_wan;restart_ppp\"") +
                     "]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:00 ppp: timeout"));
  ASSERT_TRUE(r.box.wait_for(kEvents, "restart_wan\n", 10));
  double before = now_s();
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 30), 0);
  EXPECT_LT(now_s() - before, 10.0);
  EXPECT_EQ(r.box.read(kEvents), "restart_wan\nrestart_ppp\nrestart_ppp\nrestart_ppp\n");
  std::string log = r.box.read(kLog);
  EXPECT_TRUE(in_order(
      log, {")]===============self_healing end===============\n", "[KIV][monitor_Statistics:(",
            ")]Get terminate signal\n", ")][End of monitor_Statistics thread]\n"}))
      << log;
}

TEST(HealDaemon, ReloadThatShrinksTheSetWhileTheCursorIsHigh) {
  router r;
  ASSERT_TRUE(r.start());
  std::string big = "[";
  for (int i = 0; i < 7; ++i)
    big += (i ? "," : "") + kv1000_rule("\"re_pattern\":\"never-" + std::to_string(i) +
                                        "\",\"frequency\":\"1\",\"action\":\"restart_big\"");
  ASSERT_TRUE(r.load(big + "]"));
  usleep(700000);  // the cursor walks several profiles into the set
  ASSERT_TRUE(r.load("[" +
                     kv1000_rule("\"re_pattern\":\"usb: reset\",\"frequency\":\"1\","
                                 "\"action\":\"restart_usb\"") +
                     "]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:00 usb: reset"));
  ASSERT_TRUE(r.box.wait_for(kLog, ")]===============self_healing end===============\n", 10));
  EXPECT_EQ(r.box.count(kEvents, "restart_usb\n"), 3u);
  // Then an empty set: nothing to examine, nothing to divide by.
  ASSERT_TRUE(r.load("[]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:01 usb: reset"));
  usleep(500000);
  EXPECT_EQ(r.box.count(kEvents, "restart_usb\n"), 3u);
  EXPECT_EQ(r.box.count(kEvents, "restart_big"), 0u);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

TEST(HealDaemon, DetectionGoesOnAfterTheFollowerIsKilled) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" +
                     kv1000_rule("\"re_pattern\":\"radio: stuck\",\"frequency\":\"1\","
                                 "\"action\":\"restart_wireless\"") +
                     "]"));
  std::istringstream ids(r.box.read("var/run/kiv.pid"));
  long daemon = 0, follower = 0;
  ids >> daemon >> follower;
  ASSERT_GT(follower, 0);
  ASSERT_EQ(kill(static_cast<pid_t>(follower), SIGKILL), 0);
  ASSERT_TRUE(r.box.wait_for(kLog, ")]Log follower restarted, pid=[", 10));
  // The new follower may still be on its way to the end of the file: repeat the line.
  bool healed = false;
  for (int i = 0; i < 20 && !healed; ++i) {
    r.box.append("tmp/syslog.log", "Dec  6 12:00:00 radio: stuck\n");
    healed = r.box.wait_for(kEvents, "restart_wireless\n", 0.5);
  }
  EXPECT_TRUE(healed);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

TEST(HealDaemon, RuleWithoutFrequencyNeverFires) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" +
                     kv1000_rule("\"keyword\":\"nofreq\",\"re_pattern\":\"fan: fail\","
                                 "\"action\":\"reboot\"") +
                     "," +
                     kv1000_rule("\"keyword\":\"zero\",\"re_pattern\":\"fan: fail\","
                                 "\"frequency\":\"0\",\"action\":\"reboot\"") +
                     "]"));
  ASSERT_TRUE(r.line("Dec  6 12:00:00 fan: fail"));
  ASSERT_TRUE(r.line("Dec  6 12:00:01 fan: fail"));
  EXPECT_TRUE(r.box.wait_for(kLog, ")]MATCH::monitor_profile[1].kiv_keyword=[zero]\n", 5));
  EXPECT_EQ(r.box.count(kLog, ")]monitor_profile[0].front=[-1]\n"), 2u);
  EXPECT_EQ(r.box.count(kLog, ")]monitor_profile[1].front=[-1]\n"), 2u);
  EXPECT_TRUE(r.quiet_for(kEvents, "reboot", 1.0));
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}
