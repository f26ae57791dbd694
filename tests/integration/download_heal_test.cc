// From the rule author to the heal on the real daemon: a rule file packed by kivrule, served by
// the loopback HTTPS rule server, fetched by the scheduler's own check, read, and fired by lines
// appended to the sandbox's system log; a later rule set replaces it with fresh rings and counters;
// a check that falls into a heal waits for its end.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

using kivtest::kv1000_rule;
using kivtest::now_s;

const std::string kLog = "tmp/kiv.log";
const std::string kEvents = "tmp/service_events.log";
const std::string kHealStart = ")]===============self_healing start===============\n";
const std::string kHealEnd = ")]===============self_healing end===============\n";

// A KV-1000 in a sandbox root, online with a synchronised clock, a rule server that serves
// nothing until told, and a test clock in proc/uptime.
struct router {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};
  int markers = 0;

  router() {
    kivtest::router_settings(box, server);
    box.set("link_internet", "2");
    clock(100);
  }

  bool start() {
    return server.port > 0 && box.start_kiv() > 0 && box.wait_ready(10) &&
           box.wait_for(kLog, "[KIV][_monitor_syslog:(", 10);
  }

  void clock(double uptime) const { kivtest::set_uptime(box, uptime); }

  // Appends a line, then a marker; once the marker has been read the walk of the line is over
  // (lines are walked one after the other), so the test clock may move on.
  bool line(const std::string& text) {
    std::string marker = "-- marker " + std::to_string(++markers) + " --";
    box.append("tmp/syslog.log", text + "\n" + marker + "\n");
    return box.wait_for(kLog, ")]pBuf=[" + marker + "]\n", 10);
  }

  // A fresh dump, once the whole walk is in the file.
  std::string dump() const {
    unlink(box.path("tmp/kiv_dump.txt").c_str());
    kill(box.pid, SIGUSR2);
    for (double deadline = now_s() + 10; now_s() < deadline; usleep(20000)) {
      std::string text = box.read("tmp/kiv_dump.txt");
      if (text.find("=====checkActionList=====") != std::string::npos) return text;
    }
    return std::string();
  }
};

// The section of one profile in a dump: from its heading to the next heading.
std::string profile_of(const std::string& dump, int index) {
  std::string head = "=====monitor_profile[" + std::to_string(index) + "]=====\n";
  size_t from = dump.find(head);
  if (from == std::string::npos) return std::string();
  size_t to = dump.find("=====", from + head.size());
  return dump.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// Occurrences of part that begin in [from, to).
size_t occurrences(const std::string& text, const std::string& part, size_t from = 0,
                   size_t to = std::string::npos) {
  size_t n = 0;
  for (size_t at = text.find(part, from); at != std::string::npos && at < to;
       at = text.find(part, at + 1))
    ++n;
  return n;
}

// The number in the record "period = N, ..." that starts at `at`.
int period_in(const std::string& log, size_t at) {
  return std::atoi(log.c_str() + at + std::string(")]period = ").size());
}

}  // namespace

// The example rule set as an author packs it: the boot-up check on the fourth tick fetches it,
// the reader applies every filter, and each active rule heals with its own action list.
TEST(DownloadHeal, AuthoredRuleSetArrivesAtTheBootupCheckAndEachActiveRuleHeals) {
  router r;
  const std::string packed = r.box.path("rules.kiv");
  ASSERT_EQ(kivtest::run_program(r.box, {kivtest::bin("kivrule"), "pack",
                                         std::string(KIV_SOURCE_DIR) + "/examples/rules.json",
                                         packed, "--ran", "4242"})
                .status,
            0);
  const std::string container = r.box.read("rules.kiv");
  ASSERT_GT(container.size(), 40u);
  r.server.answer(200, container);
  // The identity that makes the firmware and label MAC rules apply to this router too.
  r.box.set("firmver", "3.0.0");
  r.box.set("buildno", "4");
  r.box.set("extendno", "388");
  r.box.set("label_mac", "02:00:5E:10:00:02");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.box.wait_for(kLog, ")]New arraylen=5\n", 30));
  r.server.answer(200, "");  // nothing newer: a later check keeps the set and its rings

  std::string log = r.box.read(kLog);
  size_t first_url = log.find(")]target_url=[");
  ASSERT_NE(first_url, std::string::npos);
  // Three ticks count the boot-up phase up, the fourth checks.
  EXPECT_EQ(occurrences(log.substr(0, first_url), ")]period = "), 4u) << log;
  EXPECT_TRUE(kivtest::in_order(
      log, {")]period = 0, period_retry = -1, bootup_check = 1\n", ")]period_retry = 0\n",
            ")]target_url=[" + r.server.url() + "/dljson.php]\n",
            ")]flen=[" + std::to_string(container.size()) + "]\n", ")]Update kiv JSON file.\n",
            ")]start of read_json\n", ")]New arraylen=5\n", ")]end of read_json\n"}))
      << log;
  EXPECT_EQ(r.box.get("kiv_is_JSON_updated"), "0") << "the reader took the file up";
  struct stat st;
  EXPECT_NE(lstat(r.box.path("tmp/kivjson.json").c_str(), &st), 0) << "consumed without debug";
  EXPECT_TRUE(r.box.wait_for("tmp/syslog.log", " kiv: [read_json]Update kiv JSON file.\n", 5));
  EXPECT_EQ(occurrences(r.server.requests(), "\"method\": \"POST\""), 1u);

  // The last rule is for another model: inactive, although its pattern matches WAN lines.
  std::string before = r.dump();
  EXPECT_NE(profile_of(before, 4).find("isActive=[0]\n"), std::string::npos) << before;
  for (int i = 0; i < 4; ++i)
    EXPECT_NE(profile_of(before, i).find("isActive=[1]\n"), std::string::npos) << i << before;

  // wan_down: three matches within 60 s, the pattern's optional unit number included.
  for (double at : {100.0, 130.0, 160.0}) {
    r.clock(at);
    ASSERT_TRUE(r.line(at == 130.0 ? "Dec  7 06:00:00 WAN(1): link down"
                                   : "Dec  7 06:00:00 WAN: link down"));
  }
  ASSERT_TRUE(r.box.wait_for_count(kLog, kHealEnd, 1, 15));
  EXPECT_EQ(r.box.read(kEvents), "restart_wan\n");
  // dns_crash: two crashes within 120 s; no check confirms restart_dnsmasq, so three attempts.
  for (double at : {300.0, 350.0}) {
    r.clock(at);
    ASSERT_TRUE(r.line("Dec  7 06:01:00 dnsmasq[312]: segfault at 0 ip 0"));
  }
  ASSERT_TRUE(r.box.wait_for_count(kLog, kHealEnd, 2, 15));
  // oom: one line is enough; the reboot is carried out once, through the platform.
  r.clock(400);
  ASSERT_TRUE(r.line("Dec  7 06:02:00 kernel: Out of memory: Killed process 811 (httpd)"));
  ASSERT_TRUE(r.box.wait_for_count(kLog, kHealEnd, 3, 15));
  EXPECT_EQ(r.box.read(kEvents),
            "restart_wan\nrestart_dnsmasq\nrestart_dnsmasq\nrestart_dnsmasq\nreboot\n");
  EXPECT_EQ(r.box.count("tmp/syslog.log", " kiv: [self_healing]take action-[restart_dnsmasq].\n"),
            3u);
  EXPECT_EQ(r.box.count("tmp/syslog.log", " kiv: [self_healing]take action-[reboot].\n"), 1u);

  std::string dump = r.dump();
  EXPECT_TRUE(kivtest::in_order(profile_of(dump, 0),
                                {"kiv_keyword=[wan_down]\n", "=>action[0]=[restart_wan]\n",
                                 "==>actionResult[0]=[0]\n", "==>actionRetry[0]=[1]\n"}))
      << dump;
  // The untouched wifi rule keeps its initial results.
  EXPECT_TRUE(kivtest::in_order(
      profile_of(dump, 1),
      {"kiv_keyword=[wifi_stuck]\n", "=>action[0]=[nop]\n", "==>actionResult[0]=[-1]\n",
       "==>actionRetry[0]=[0]\n", "=>action[1]=[restart_wireless]\n", "==>actionResult[1]=[-1]\n",
       "==>actionRetry[1]=[0]\n"}))
      << dump;
  EXPECT_TRUE(kivtest::in_order(profile_of(dump, 2),
                                {"kiv_keyword=[dns_crash]\n", "=>action[0]=[restart_dnsmasq]\n",
                                 "==>actionResult[0]=[-1]\n", "==>actionRetry[0]=[3]\n"}))
      << dump;
  EXPECT_TRUE(kivtest::in_order(profile_of(dump, 3),
                                {"kiv_keyword=[oom]\n", "=>action[0]=[reboot]\n",
                                 "==>actionResult[0]=[-1]\n", "==>actionRetry[0]=[1]\n"}))
      << dump;
  EXPECT_EQ(r.box.count(kLog, ")]New arraylen="), 1u) << "no reload behind the test's back";
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

// A new rule set from the server replaces the one in force: the same rule starts again with an
// empty ring and with no results, and the added rule works at once.
TEST(DownloadHeal, ReplacedRuleSetStartsWithFreshRingsAndCounters) {
  router r;
  const std::string wan = kv1000_rule(
      "\"keyword\":\"wan\",\"re_pattern\":\"WAN: link down\",\"frequency\":\"2\","
      "\"period\":\"100\",\"action\":\"restart_wan\"");
  r.server.answer(200, kivtest::pack_rules("[" + wan + "]"));
  r.box.set("kiv_quick_period", "1");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.box.wait_for(kLog, ")]New arraylen=1\n", 30));
  r.server.answer(200, "");
  // The cycle's next check finds nothing newer; from then on the set stays.
  ASSERT_TRUE(r.box.wait_for(kLog, ")]No update for kiv JSON file.\n", 30));

  ASSERT_TRUE(r.line("Dec  7 06:00:00 WAN: link down"));
  r.clock(110);
  ASSERT_TRUE(r.line("Dec  7 06:00:10 WAN: link down"));
  ASSERT_TRUE(r.box.wait_for(kLog, kHealEnd, 15));
  EXPECT_NE(profile_of(r.dump(), 0).find("==>actionRetry[0]=[1]\n"), std::string::npos);
  // One match towards the next heal, then the new set arrives.
  r.clock(120);
  ASSERT_TRUE(r.line("Dec  7 06:00:20 WAN: link down"));
  EXPECT_TRUE(r.box.wait_for(kLog, ")]monitor_profile[0].timestamp[0]=[120.000000]\n", 5));
  const std::string dns = kv1000_rule(
      "\"keyword\":\"dns\",\"re_pattern\":\"dnsmasq.*exited\",\"frequency\":\"1\","
      "\"action\":\"restart_dnsmasq\"");
  // Served once: the answer changes back to nothing as soon as the set is in, long before the
  // next tick could ask again.
  r.server.answer(200, kivtest::pack_rules("[" + wan + "," + dns + "]"));
  r.box.set("kiv_quick_period", "1");
  ASSERT_TRUE(r.box.wait_for(kLog, ")]New arraylen=2\n", 30));
  r.server.answer(200, "");
  EXPECT_EQ(r.box.get("kiv_quick_period"), "0");
  std::string fresh = r.dump();
  EXPECT_TRUE(kivtest::in_order(
      profile_of(fresh, 0),
      {"kiv_keyword=[wan]\n", "==>actionResult[0]=[-1]\n", "==>actionRetry[0]=[0]\n"}))
      << fresh;
  // The match before the reload is gone: one more line is the first of a new ring.
  r.clock(125);
  ASSERT_TRUE(r.line("Dec  7 06:00:25 WAN: link down"));
  usleep(800000);  // several examinations of both profiles
  EXPECT_EQ(r.box.count(kEvents, "restart_wan\n"), 1u);
  r.clock(130);
  ASSERT_TRUE(r.line("Dec  7 06:00:30 WAN: link down"));
  ASSERT_TRUE(r.box.wait_for_count(kLog, kHealEnd, 2, 15));
  EXPECT_EQ(r.box.count(kEvents, "restart_wan\n"), 2u);
  ASSERT_TRUE(r.line("Dec  7 06:00:31 dnsmasq[99]: exited"));
  ASSERT_TRUE(r.box.wait_for_count(kLog, kHealEnd, 3, 15));
  EXPECT_EQ(r.box.read(kEvents),
            "restart_wan\nrestart_wan\nrestart_dnsmasq\nrestart_dnsmasq\nrestart_dnsmasq\n");
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}

// While a heal runs, the scheduler's ticks are put off with their own record; the first tick
// after it checks at once, and the schedule goes on where it stood.
TEST(DownloadHeal, CheckDuringHealingIsPutOffUntilTheHealEnds) {
  router r;
  // Every service event takes 0.7 s and no check confirms these actions, so each is tried
  // three times and the heal spans several ticks.
  kivtest::service_hook(r.box, "#!/bin/sh\nsleep 0.7\n");
  const std::string slow = kv1000_rule(
      "\"keyword\":\"vpn\",\"re_pattern\":\"vpn: tunnel lost\","
      "\"frequency\":\"1\",\"action\":\"restart_vpnd;restart_vpnc\"");
  r.server.answer(200, kivtest::pack_rules("[" + slow + "]"));
  r.box.set("kiv_quick_period", "1");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.box.wait_for(kLog, ")]New arraylen=1\n", 30));
  r.server.answer(200, "");  // the cycle's two further checks find nothing newer
  ASSERT_TRUE(r.box.wait_for(kLog, ")]period = 3, period_retry = 2, bootup_check = 0\n", 30));
  EXPECT_EQ(r.box.count(kLog, ")]No update for kiv JSON file.\n"), 2u);
  // The cycle is over: no check is due by the schedule. What the server has now arrives only
  // through the tick that was put off.
  const std::string other =
      kv1000_rule("\"re_pattern\":\"never seen\",\"frequency\":\"1\",\"action\":\"nop\"");
  r.server.answer(200, kivtest::pack_rules("[" + slow + "," + other + "]"));
  r.box.append("tmp/syslog.log", "Dec  7 06:00:00 vpn: tunnel lost\n");
  ASSERT_TRUE(r.box.wait_for(kLog, kHealEnd, 30));
  ASSERT_TRUE(r.box.wait_for(kLog, ")]New arraylen=2\n", 15));
  // Two ticks after the check: the schedule itself asks for nothing more.
  const size_t periods = r.box.count(kLog, ")]period = ");
  ASSERT_TRUE(r.box.wait_for_count(kLog, ")]period = ", static_cast<int>(periods + 2), 15));
  EXPECT_EQ(r.box.read(kEvents),
            "restart_vpnd\nrestart_vpnd\nrestart_vpnd\nrestart_vpnc\nrestart_vpnc\nrestart_vpnc\n");

  std::string log = r.box.read(kLog);
  const size_t start = log.find(kHealStart);
  // The last record of the run while healing_index still names the profile.
  const size_t last = log.find(")]monitor_profile[0] retry[1]=3\n", start);
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(last, std::string::npos);
  const std::string skip = ")][process_json]In healing state, skip downloading JSON file!\n";
  EXPECT_GE(occurrences(log, skip, start, last), 2u) << log.substr(start, last - start);
  EXPECT_EQ(occurrences(log, ")]target_url=[", start, last), 0u);
  EXPECT_EQ(occurrences(log, ")]A=>bootup_check = ", start, last), 0u);
  // After the run: the download and the reader at once, before any scheduled tick.
  const size_t loaded = log.find(")]New arraylen=2\n", last);
  ASSERT_NE(loaded, std::string::npos);
  EXPECT_EQ(occurrences(log, ")]A=>bootup_check = ", last, loaded), 0u) << log.substr(last);
  EXPECT_EQ(occurrences(log, ")]target_url=[", last, loaded), 1u);
  EXPECT_EQ(occurrences(log, ")]Update kiv JSON file.\n", last, loaded), 1u);
  // The tick put off moves neither period nor period_retry.
  const size_t before = log.rfind(")]period = ", start);
  const size_t after = log.find(")]period = ", loaded);
  ASSERT_NE(before, std::string::npos);
  ASSERT_NE(after, std::string::npos);
  EXPECT_EQ(period_in(log, after), period_in(log, before) + 1) << log.substr(before);
  EXPECT_NE(log.find(", period_retry = 2, bootup_check = 0\n", after), std::string::npos);
  EXPECT_EQ(occurrences(log, ")]target_url=[", loaded, std::string::npos), 0u);
  // One request for each check: three in the cycle, one after the heal.
  EXPECT_EQ(occurrences(r.server.requests(), "\"method\": \"POST\""), 4u);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0);
}
