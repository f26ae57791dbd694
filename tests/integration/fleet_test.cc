// A router in a fleet: the fleet report it sends. (Shed load and a stop during a check:
// tests/scenarios/fleet_*; staged sets: tests/scenarios/signed_*.)
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

// A member of an object as a number; -1 when it has none.
long long number(json_object* o, const char* name) {
  json_object* v = nullptr;
  return json_object_object_get_ex(o, name, &v) ? json_object_get_int64(v) : -1;
}

// What the reports of the server's requests said, one line a request: the router's counts and
// each rule's ("KEYWORD m f h u k"), or "-" for a request without a report.
std::vector<std::string> reports(const router& r) {
  std::vector<std::string> out;
  // A record the server is still writing is not one yet.
  std::string text = r.requests();
  text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    json_object* record = json_tokener_parse(line.c_str());
    json_object *report = nullptr, *rules = nullptr;
    std::string said = "-";
    if (json_object_object_get_ex(record, "report", &report)) {
      said = "v" + std::to_string(number(report, "v")) + " serial " +
             std::to_string(number(report, "serial")) + " reboots " +
             std::to_string(number(report, "reboots")) + " lost " +
             std::to_string(number(report, "lost"));
      if (json_object_object_get_ex(report, "rules", &rules)) {
        json_object_object_foreach(rules, keyword, c) {
          said += std::string(" | ") + keyword;
          for (const char* n : {"matches", "fires", "heals", "unconfirmed", "held"})
            said += " " + std::to_string(number(c, n));
        }
      }
      said += number(report, "walked") > 0 ? " walked" : " none walked";
    }
    out.push_back(said);
    json_object_put(record);
  }
  return out;
}

bool wait_until(const std::function<bool()>& done, double seconds) {
  for (const double end = now_s() + seconds; !done(); pause_s(0.02))
    if (now_s() > end) return false;
  return true;
}

}  // namespace

// The report goes with every request and holds what kiv did until an answer with status 200;
// where kiv keeps flash files the counts outlive the reboot kiv makes.
TEST(Fleet, ReportsCarryTheCountsUntilAnAnswerWithStatus200) {
  router r;
  r.settings("kiv_fleet_report=1;kiv_reboot_limit=5");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" +
                     rule("\"keyword\":\"wan\",\"re_pattern\":\"WAN: link down\","
                          "\"frequency\":2,\"action\":\"restart_wan\"") +
                     "," +
                     rule("\"keyword\":\"boot\",\"re_pattern\":\"reboot me\","
                          "\"frequency\":1,\"action\":\"nop;reboot\"") +
                     "]"));
  EXPECT_EQ(reports(r), std::vector<std::string>{"v1 serial 0 reboots 0 lost 0 walked"});
  ASSERT_TRUE(r.lines("WAN: link down\nWAN: link down\nWAN: link down\n"));
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", ")]===============self_healing end===============\n"));
  // Six failed tries each carry the same counts; the 200 after them carries them once more.
  r.answer(500, "");
  r.settings("kiv_quick_period=1;link_internet=2");
  ASSERT_TRUE(wait_until([&] { return reports(r).size() == 7; }, 60));
  r.answer(200, "no update\n");
  ASSERT_TRUE(wait_until([&] { return reports(r).size() == 8; }, 60));
  r.set("link_internet", "1");
  // The quick cycle may have made one more check before the link went: let it end, so that no
  // answer can settle the counts while the reboot below keeps them.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<std::string> said = reports(r);
  const size_t sent = said.size();
  for (size_t i = 1; i < 8; ++i)
    EXPECT_EQ(said[i], "v1 serial 0 reboots 0 lost 0 | wan 3 1 1 0 0 walked") << i;
  for (size_t i = 8; i < sent; ++i)
    EXPECT_EQ(said[i], "v1 serial 0 reboots 0 lost 0 walked") << i << ": reported already";
  // Reported: the next request starts from zero. A reboot kiv makes is kept in flash.
  ASSERT_TRUE(r.lines("reboot me\n"));
  ASSERT_TRUE(
      r.wait_for("tmp/kiv.log", ")]Fleet report counts kept in [/jffs/kiv/report_counts]\n"));
  EXPECT_NE(r.read("jffs/kiv/report_counts").find("\nreboots 1\nrule 1 1 1 0 0 boot\nend\n"),
            std::string::npos);
  EXPECT_TRUE(r.wait_for("tmp/service_events.log", "reboot\n"));
  EXPECT_EQ(r.stop(), 0);  // the router's reboot
  ASSERT_TRUE(r.start());
  EXPECT_EQ(r.count("tmp/kiv.log",
                    ")]Fleet report counts of the last run read from [/jffs/kiv/report_counts]\n"),
            1u);
  EXPECT_EQ(r.read("jffs/kiv/report_counts"), "");
  r.settings("kiv_quick_period=1;link_internet=2");
  ASSERT_TRUE(wait_until([&] { return reports(r).size() == sent + 1; }, 60));
  r.set("link_internet", "1");
  EXPECT_EQ(reports(r).back(), "v1 serial 0 reboots 1 lost 0 | boot 1 1 1 0 0 walked")
      << r.requests();
  EXPECT_EQ(r.stop(), 0);
}
