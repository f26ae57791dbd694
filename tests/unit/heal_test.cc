// Healing: the executor's outcomes for each kind of action list, and the command channel's
// grammar, records and keys.
#include <gtest/gtest.h>

#include <regex>

#include "commands/handle_kiv_event.h"
#include "heal/heal_budget.h"
#include "heal/self_healing.h"
#include "support/kivtest.h"

using namespace kivtest;

TEST(SelfHealing, OutcomesOfEachKindOfActionList) {
  sandbox sb;
  sb.write("dev/console", "");
  std::string log;
  for (const auto& c : cases("healing.txt")) {
    SCOPED_TRACE(c.where);
    ASSERT_TRUE(install("[{}," + rule("\"frequency\":2,\"action\":\"" + c[0] + "\"") + "]"));
    sb.write("tmp/service_events.log", "");
    sb.write("tmp/syslog.log", "");
    sb.write("tmp/kiv.log", "");
    rule_set_hold hold = hold_rule_set();
    monitor_profile& p = hold.set->profiles.at(0);
    p.timestamp = {10, 20};  // a full ring, as the trigger thread finds it
    p.front = 1;
    self_healing(hold.set, 1);
    std::string results, retries;
    for (size_t k = 0; k < p.actions.size(); ++k) {
      results += (k ? " " : "") + std::to_string(p.actions[k].actionResult);
      retries += (k ? " " : "") + std::to_string(p.actions[k].actionRetry);
    }
    EXPECT_EQ(sb.read("tmp/service_events.log") + "|" + results + "|" + retries,
              c[1] + "|" + c[2] + "|" + c[3])
        << c[0];
    // A system-log line before each service event and the reboot, stamped as a log daemon does.
    static const std::regex event("([^\n]+)\n"),
        line("[A-Z][a-z]{2} [ 1-3][0-9] [0-9:]{8} kiv: (.*)\n");
    EXPECT_EQ(std::regex_replace(sb.read("tmp/syslog.log"), line, "$1\n"),
              std::regex_replace(c[1], event, "[self_healing]take action-[$1].\n"));
    EXPECT_EQ(p.timestamp, (std::vector<double>{0, 0})) << "the ring is emptied";
    EXPECT_EQ(p.front + p.rear + p.isHealing + healing_index.load(), -2);
    EXPECT_EQ(p.actionIndex, p.action_num());
    log += normalized_log(sb.read("tmp/kiv.log"));
  }
  sb.write("tmp/kiv.log", "");
  self_healing(hold_rule_set().set, 2);  // no such profile: the healing state opened is closed
  self_healing(nullptr, 0);
  expect_golden("healing.log", log + normalized_log(sb.read("tmp/kiv.log")) + "-- console --\n" +
                                   sb.read("dev/console"));
  EXPECT_EQ(healing_index.load(), -1);
}

// The budget's decision on any clock: a rule is counted by the keyword its record keeps, so two
// keywords alike in their first 64 bytes share one budget wherever it is asked (replay too).
TEST(HealBudget, CountsARuleByItsRecordedKeyword) {
  const std::string long_a = std::string(64, 'k') + "-a", long_b = std::string(64, 'k') + "-b";
  heal_history heals;
  EXPECT_TRUE(heal_within_budget(heals, long_a.c_str(), 1000, 1));
  EXPECT_FALSE(heal_within_budget(heals, long_b.c_str(), 1001, 1)) << "one rule to the record";
  EXPECT_TRUE(heal_within_budget(heals, "other", 1002, 1));
  EXPECT_EQ(heals.size(), 2u);
  EXPECT_TRUE(heal_within_budget(heals, long_b.c_str(), 1002 + 3600, 1)) << "an hour later";
  EXPECT_TRUE(heal_within_budget(heals, "other", 1003, 0)) << "no budget";
  EXPECT_EQ(heals.size(), 1u) << "the hour-old heals dropped, nothing counted without a budget";
  heal_history ctl;
  EXPECT_TRUE(heal_within_budget(ctl, "a\nb", 5, 1));
  EXPECT_EQ(ctl.front().second, "a?b") << "one line in the record";
}

TEST(CommandChannel, EachCommandStringServedAsWritten) {
  sandbox sb;
  sb.write("dev/console", "");
  sb.set("kiv_debug_server", "https://127.0.0.1:1");  // a forced download fails at once
  std::string report;
  for (const auto& c : cases("commands.txt")) {
    SCOPED_TRACE(c.where);
    sb.write("tmp/kiv.log", "");
    sb.write("dev/console", "");
    if (c[0] != "<unset>") sb.set("kiv_service", c[0]);
    sb.set("kiv_service_pid", "42");
    handle_kiv_event();
    static const std::regex pid(R"(goto again\(\d+\))");
    report += "== [" + c[0] + "]\n" +
              std::regex_replace(normalized_log(sb.read("tmp/kiv.log")), pid, "goto again(PID)") +
              sb.read("dev/console") + "kiv_service=[" + sb.get("kiv_service") +
              "] kiv_service_pid=[" + sb.get("kiv_service_pid") + "]\n";
  }
  expect_golden("commands.log", report);
}
