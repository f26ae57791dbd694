// The daemon heals by itself: rule sets fetched from the loopback rule server, fault lines in
// the system log on the test clock, and the heals seen in the service events, the log and the
// dump; a paused set, sets that shrink under the trigger's cursor, and a stop during a heal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

const std::string kHealEnd = ")]===============self_healing end===============\n";

std::string fault_rule(const std::string& keyword, const std::string& pattern,
                       const std::string& rest) {
  return rule("\"keyword\":\"" + keyword + "\",\"re_pattern\":\"" + pattern + "\"," + rest);
}

}  // namespace

TEST(Healing, FaultLinesWithinThePeriodHealAndEveryRecordTellsIt) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load(
      "[{\"model\":\"OTHER\",\"re_pattern\":\"link\",\"frequency\":1,\"action\":\"reboot\"}," +
      fault_rule("wan_down", "WAN: link down",
                 "\"frequency\":\"3\",\"period\":\"60\",\"action\":\"restart_wan\"") +
      "," +
      fault_rule("dns", "dnsmasq.*exited",
                 "\"frequency\":1,\"action\":\"nop;restart_dnsmasq;restart_wan\"") +
      "," + fault_rule("never", "WAN", "\"action\":\"reboot\"") + "]"));
  // Matches at 10, 20 and 75 fill the ring, 65 s apart: no heal. At 80 the window is 20..80.
  for (double at : {10.0, 20.0, 75.0, 80.0}) {
    EXPECT_EQ(r.read("tmp/service_events.log"), "") << "before " << at;
    r.clock(at);
    ASSERT_TRUE(r.lines("Dec  6 12:00:00 WAN: link down\n"));
    if (at == 75.0) pause_s(0.02 * 2 * 5);  // a round of the trigger over the full ring
  }
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", kHealEnd));
  ASSERT_TRUE(r.lines("Dec  6 12:00:01 dnsmasq[312]: exited\n"));
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", kHealEnd, 2));
  EXPECT_EQ(r.read("tmp/service_events.log"),
            "restart_wan\nrestart_dnsmasq\nrestart_dnsmasq\nrestart_dnsmasq\nrestart_wan\n");
  r.clock(81);
  ASSERT_TRUE(r.lines("Dec  6 12:00:02 WAN: link down\n"));  // the first of a new round
  expect_golden("heal.dump", r.dump());
  // The records of the walk and of the run, each under the name of the function that writes it.
  EXPECT_TRUE(
      in_order(normalized_log(r.read("tmp/kiv.log")),
               {"[KIV][_monitor_syslog:(N)]monitor_profile[1].timestamp[2]=[75.000000]\n",
                "[KIV][_monitor_syslog:(N)]MATCH::monitor_profile[1].kiv_keyword=[wan_down]\n",
                "[KIV][_monitor_syslog:(N)]front[1] = [80.000000]\n",
                "[KIV][_monitor_syslog:(N)]rear[1] = [20.000000]\n",
                "[KIV][self_healing:(N)]monitor_profile index=1\n",
                "[KIV][self_healing:(N)]To do action[0]=restart_wan\n",
                "[KIV][self_healing:(N)]monitor_profile[1] retry[0]=1\n",
                "[KIV][self_healing:(N)]monitor_profile index=2\n"}));
  EXPECT_EQ(r.count("tmp/kiv.log", "MATCH::monitor_profile[0]"), 0u)
      << "the inactive rule is never matched";
  EXPECT_EQ(r.count("tmp/syslog.log", "kiv: [self_healing]take action-[restart_dnsmasq].\n"), 3u);
  EXPECT_EQ(r.stop(), 0);
}

TEST(Healing, APausedSetAShrinkingSetAndAStopDuringAHeal) {
  router r;
  r.service_hook("#!/bin/sh\nsleep 0.3\n");
  ASSERT_TRUE(r.start());
  const std::string wan =
      "\"re_pattern\":\"WAN: link down\",\"frequency\":1,\"action\":\"restart_wan\"";
  ASSERT_TRUE(r.load("[" + rule(wan + ",\"Global_Pause\":\"1\"") + "]"));
  ASSERT_TRUE(r.lines("WAN: link down\nWAN: link down\n"));
  EXPECT_EQ(r.count("tmp/kiv.log", ")]global_pause=[1]\n"), 1u)
      << "logged once while the pause lasts";
  EXPECT_EQ(r.count("tmp/kiv.log", "[Match]"), 0u);
  std::string seven = "[";
  for (int i = 0; i < 7; ++i)
    seven +=
        (i ? "," : "") +
        rule(
            "\"re_pattern\":\"never\",\"frequency\":1,\"action\":\"restart_x\",\"Global_Pause\":0");
  ASSERT_TRUE(r.load(seven + "]"));
  pause_s(0.5);  // the trigger's cursor walks into the set
  ASSERT_TRUE(r.load("[" + rule(wan) + "]"));
  ASSERT_TRUE(r.lines("WAN: link down\n"));
  EXPECT_EQ(r.count("tmp/kiv.log", ")]global_pause=[0]\n"), 1u);
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", kHealEnd));
  ASSERT_TRUE(r.load("[]"));
  ASSERT_TRUE(r.load(
      "[" + rule("\"re_pattern\":\"ppp\",\"frequency\":1,\"action\":\"restart_ppp;restart_vpn\"") +
      "]"));
  r.syslog("ppp: timeout\n");
  ASSERT_TRUE(r.wait_for("tmp/service_events.log", "restart_ppp\n"));
  EXPECT_EQ(r.stop(), 0) << "the run ends first";
  EXPECT_EQ(r.read("tmp/service_events.log"),
            "restart_wan\nrestart_ppp\nrestart_ppp\nrestart_ppp\nrestart_vpn\nrestart_vpn\nrestart_"
            "vpn\n");
  EXPECT_TRUE(in_order(r.read("tmp/kiv.log"), {kHealEnd, ")]Get terminate signal\n",
                                               ")][End of monitor_Statistics thread]\n"}));
}

TEST(Healing, TheRebootBudgetEndsARebootLoop) {
  router r;
  r.set("kiv_rule_cache", "1");
  r.set("kiv_reboot_limit", "2");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" +
                     fault_rule("boot", "Start syslog process",
                                "\"frequency\":1,\"action\":\"reboot;restart_x\"") +
                     "]"));
  EXPECT_EQ(r.stop(), 0);
  // Every start heals on kiv's start line, the last line when the follower starts.
  auto boot = [&r](size_t n) {
    r.sandbox::start(0.02);
    const bool healed = r.wait_for("tmp/kiv.log", kHealEnd, n);
    return r.stop() == 0 && healed;
  };
  for (size_t n = 1; n <= 3; ++n) ASSERT_TRUE(boot(n)) << "start " << n;
  EXPECT_EQ(r.count("tmp/service_events.log", "reboot\n"), 2u);
  EXPECT_EQ(r.count("tmp/service_events.log", "restart_x\n"), 9u) << "the list goes on";
  EXPECT_EQ(
      r.count("tmp/syslog.log", "kiv: [self_healing]Reboot budget spent, no reboot for [boot]."),
      1u);
  EXPECT_TRUE(
      in_order(r.read("tmp/kiv.log"),
               {")]Reboot 2 of 2 recorded for [boot]\n",
                ")]Reboot budget spent: 2 reboots within 24 hours, kiv_reboot_limit=2; no "
                "reboot for [boot]\n",
                ")]monitor_profile[0] result[0]=-2\n", ")]monitor_profile[0] retry[0]=0\n"}));
  const std::string reboots = r.read("jffs/kiv/reboots");
  EXPECT_EQ(occurrences(reboots, " boot\n"), 2u) << reboots;
  EXPECT_EQ(occurrences(reboots, "synced "), 1u) << reboots;
  // Without a set clock every reboot recorded counts, however old its time stamp; with it, only
  // those of the last 24 hours.
  const long long now = time(nullptr);
  r.write("jffs/kiv/reboots", "synced " + std::to_string(now - 3 * 86400) + "\n" +
                                  std::to_string(now - 2 * 86400) + " a\n" +
                                  std::to_string(now - 2 * 86400) + " b\n" +
                                  std::to_string(now - 86400 - 600) + " c\n");
  r.set("ntp_ready", "0");
  ASSERT_TRUE(boot(4));
  EXPECT_EQ(r.count("tmp/kiv.log", "3 reboots recorded while the clock is not synchronised"), 1u);
  r.set("ntp_ready", "1");
  ASSERT_TRUE(boot(5));
  EXPECT_EQ(r.count("tmp/service_events.log", "reboot\n"), 3u);
  EXPECT_EQ(occurrences(r.read("jffs/kiv/reboots"), " a\n") +
                occurrences(r.read("jffs/kiv/reboots"), " c\n"),
            0u)
      << "older than 24 hours";
  // A record that cannot be read is set aside, and the reboot it could not count not made.
  unlink(r.path("jffs/kiv/reboots").c_str());
  mkdir(r.path("jffs/kiv/reboots").c_str(), 0755);
  ASSERT_TRUE(boot(6));
  EXPECT_EQ(r.count("tmp/service_events.log", "reboot\n"), 3u);
  EXPECT_EQ(access(r.path("jffs/kiv/reboots.bad").c_str(), F_OK), 0);
}
