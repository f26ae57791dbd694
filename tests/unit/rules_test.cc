// The rule set: the reader (records, filters, what it refuses, the swap), action lists and their
// checks, the pattern guard and the dump.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <unistd.h>

#include <sstream>

#include "core/kiv_main.h"
#include "rules/action_list.h"
#include "rules/dump_mp.h"
#include "rules/read_json.h"
#include "support/kivtest.h"
#include "support/pattern_memory.h"

using namespace kivtest;

namespace {

// The rule file announced and read as the daemon reads it.
void read_rules(const sandbox& sb, const std::string& json) {
  sb.set("kiv_is_JSON_updated", "1");
  sb.write("tmp/kivjson.json", packed(json));
  read_json(KIV_JSON_PATH);
}

template <typename T>
std::string list(const std::vector<T>& v) {
  std::ostringstream out;
  for (const auto& x : v) out << (out.tellp() ? " " : "") << x;
  return out.str();
}

// Every field of a record, on one line.
std::string describe(const monitor_profile& p) {
  std::ostringstream out;
  out << "active=" << p.isActive << " keyword=" << text_or_none(p.kiv_keyword)
      << " pattern=" << text_or_none(p.re_pattern) << " compiled=" << has_expression(p)
      << " freq=" << p.frequency << " period=" << p.period << " ring=" << list(p.timestamp)
      << " front=" << p.front << " rear=" << p.rear << " actions=" << list(p.action)
      << " rows=" << list(p.checkFuncIndex) << " results=" << list(p.actionResult)
      << " retries=" << list(p.actionRetry) << " num=" << p.action_num << " healing=" << p.isHealing
      << " index=" << p.actionIndex;
  return out.str();
}

}  // namespace

// The example rules for a KV-1000 with the firmware and MAC they name: every record the reader
// writes, every field it fills, and the dump of the result.
TEST(ReadJson, ExampleRulesRecordsStateAndDump) {
  sandbox sb;
  sb.settings("productid=KV-1000;firmver=3.0.0;buildno=4;extendno=388;label_mac=02:00:5E:10:00:02");
  read_rules(sb, slurp(source("examples/rules.json")));
  ASSERT_EQ(gArraylen, 5);
  std::string state;
  for (int i = 0; i < gArraylen; ++i) state += describe(mp[i]) + "\n";
  mp[1].actionResult[0] = 0;  // a run's results are what the dump shows
  mp[1].actionRetry[0] = 3;
  ASSERT_EQ(dump_mp(mp), 0);
  expect_golden("example_load.log", normalized_log(sb.read("tmp/kiv.log")) + state);
  expect_golden("example_load.dump", sb.read("tmp/kiv_dump.txt"));
  EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0");
  EXPECT_EQ(access(sb.path("tmp/kivjson.json").c_str(), F_OK), -1) << "read once, then removed";
  EXPECT_EQ(sb.count("tmp/syslog.log", " kiv: [read_json]Update kiv JSON file.\n"), 1u);
}

TEST(ReadJson, FiltersTellActiveOrTheFirstFailure) {
  for (const auto& c : cases("filters.txt")) {
    sandbox sb;
    sb.settings(c[0]);
    rule_load load;
    ASSERT_EQ(
        build_rule_set(("[" + c[1] + "]").c_str(), router_identity_from_settings(), nullptr, &load),
        RULES_OK);
    EXPECT_EQ(load.notes[0].active ? "active" : load.notes[0].inactive_reason, c[2])
        << c[0] << " " << c[1];
    EXPECT_EQ(load.array[0].isActive, load.notes[0].active ? 1 : 0);
    if (!load.notes[0].active) {
      EXPECT_EQ(describe(load.array[0]), describe(monitor_profile{}));
    }
    release_rule_load(&load);
  }
  sandbox sb;
  sb.settings("firmver=" + std::string(70, '9') + ";buildno=3");
  EXPECT_EQ(device_fwver(), std::string(63, '9')) << "at most 63 characters";
}

// Each way a file can fail leaves the set in force and is read once; good files replace it.
TEST(ReadJson, FailedFilesKeepTheSetAndGoodOnesReplaceIt) {
  for (const auto& c : cases("loads.txt")) {
    sandbox sb;
    sb.set("productid", "KV-1000");
    read_rules(sb, "[{\"model\":\"KV-1000\",\"keyword\":\"kept\",\"frequency\":2},{}]");
    monitor_profile* before = mp;
    mp[0].timestamp[0] = 5;  // runtime state that a new set must not carry over
    mp[0].front = 0;
    if (c[0] == "plain") sb.write("tmp/kivjson.json", c[1]);
    if (c[0] == "header") sb.write("tmp/kivjson.json", packed(c[1]).substr(0, 40));
    if (c[0] == "packed" || c[0] == "unannounced") sb.write("tmp/kivjson.json", packed(c[1]));
    if (c[0] != "unannounced") sb.set("kiv_is_JSON_updated", "1");
    read_json(KIV_JSON_PATH);
    EXPECT_EQ(sb.count("tmp/kiv.log", ")]" + c[2] + "\n"), 1u) << c[1];
    EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0");
    const bool kept_file = c[0] == "unannounced" || c[0] == "header";
    EXPECT_EQ(access(sb.path("tmp/kivjson.json").c_str(), F_OK) == 0, kept_file) << c[1];
    if (c[3] == "kept") {
      EXPECT_EQ(mp, before) << c[1];
      EXPECT_EQ(mp[0].front, 0);
    } else {
      ASSERT_EQ(gArraylen, std::stoi(c[3])) << c[1];
      for (int i = 0; i < gArraylen; ++i) EXPECT_EQ(mp[i].front, -1);
    }
  }
}

TEST(ReadJson, GlobalPauseIsTakenFromActiveRulesInOrderAndStays) {
  sandbox sb;
  sb.set("productid", "KV-1000");
  read_rules(sb, "[" + rule("\"Global_Pause\":\"1\"") + "," + rule("\"Global_Pause\":0") +
                     ",{\"model\":\"KV-2000\",\"Global_Pause\":\"1\"}]");
  EXPECT_EQ(global_pause.load(), 0);
  // Taken while the file is read, even when a later rule makes the load fail.
  read_rules(sb, "[" + rule("\"Global_Pause\":1") + "," + rule("\"re_pattern\":\"[\"") + "]");
  EXPECT_EQ(global_pause.load(), 1);
  read_rules(sb, "[" + rule("\"keyword\":\"x\"") + "]");
  EXPECT_EQ(global_pause.load(), 1) << "a file without the key leaves it";
  EXPECT_TRUE(
      in_order(sb.read("tmp/kiv.log"),
               {")]Global_Pause[0]=[1]\n", ")]Global_Pause[1]=[0]\n", ")]Global_Pause[0]=[1]\n"}));
}

TEST(ReadJson, DebugFlagKeepsTheFileAndWritesCopiesNeverThroughALink) {
  sandbox sb;
  sb.set("productid", "KV-1000");
  sb.set("kiv_debug_flag", "1");
  sb.write("dev/console", "");
  const std::string json = "[ " + rule("\"keyword\" : \"wan\"") + " ]";
  read_rules(sb, json);
  EXPECT_EQ(sb.read("tmp/kivjson.json"), packed(json));
  EXPECT_EQ(sb.read("tmp/decjsonobj.txt"), "[" + rule("\"keyword\":\"wan\"") + "]");
  EXPECT_EQ(sb.read("tmp/decjsonfile.txt"), json);
  sb.write("elsewhere", "keep");
  unlink(sb.path("tmp/decjsonobj.txt").c_str());
  symlink(sb.path("elsewhere").c_str(), sb.path("tmp/decjsonobj.txt").c_str());
  read_rules(sb, "[" + rule("") + "," + rule("") + "]");
  EXPECT_EQ(gArraylen, 2) << "a copy that cannot be written does not stop the load";
  EXPECT_EQ(sb.read("elsewhere"), "keep");
}

TEST(ActionList, GrammarAndCheckRows) {
  sandbox sb;
  for (const auto& c : cases("actions.txt")) {
    const int32_t size = static_cast<int32_t>(c[0].size() + 1);
    monitor_profile p;
    p.action_num = get_num_of_action(c[0].c_str(), size);
    EXPECT_EQ(parse_action(&p, c[0].c_str(), size), p.action_num);
    std::string items;
    for (const auto& a : p.action) items += "[" + a + "]";
    EXPECT_EQ(items, c[1]) << c[0];
    EXPECT_EQ(list(p.checkFuncIndex), c[2]) << c[0];
    EXPECT_EQ(p.actionResult, std::vector<int32_t>(p.action.size(), -1));
    EXPECT_EQ(p.actionRetry, std::vector<int32_t>(p.action.size(), 0));
  }
  // The bounded copy: only size - 1 characters of the text count; at most action_num are kept.
  monitor_profile p;
  EXPECT_EQ(get_num_of_action("nop;reboot", 4), 1);
  p.action_num = 1;
  EXPECT_EQ(parse_action(&p, "nop;reboot", 11), 1);
  EXPECT_EQ(p.action, std::vector<std::string>{"nop"});
  EXPECT_EQ(get_num_of_action(nullptr, 1), -1);
  EXPECT_EQ(parse_action(nullptr, "nop", 4), -1);
  EXPECT_EQ(search_index(nullptr, "nop", 0), 2);
  EXPECT_TRUE(in_order(sb.read("tmp/kiv.log"),
                       {")][get_num_of_action]action is NULL!!\n", ")]mp or action is NULL!!\n",
                        ")][search_index]mp is NULL!!\n"}));
}

TEST(ActionList, NopCheckFailsTwiceThenConfirmsAndRestartWanAtOnce) {
  sandbox sb;
  sb.write("dev/console", "");
  std::vector<int32_t> results;
  for (int i = 0; i < 6; ++i) results.push_back(check_nop_state(0));
  EXPECT_EQ(results, (std::vector<int32_t>{-1, -1, 0, -1, -1, 0}));
  EXPECT_EQ(check_restart_wan(0), 0);
  EXPECT_EQ(sb.read("dev/console"),
            "check_nop_state, 1-th\ncheck_nop_state, 2-th\ncheck_nop_state, 3-th\n"
            "check_nop_state, 1-th\ncheck_nop_state, 2-th\ncheck_nop_state, 3-th\n");
  EXPECT_EQ(checkActionList[2].name, nullptr) << "the rows end (their names: DumpMp's test)";
}

TEST(PatternGuard, CostlyPatternsAreRefusedWithTheReasonOthersCompile) {
  router_identity id;
  id.productid = "KV-1000";
  for (const auto& c : cases("patterns.txt")) {
    json_object* text = json_object_new_string(c[0].c_str());
    const std::string json = std::string("[{\"model\":\"KV-1000\",\"re_pattern\":") +
                             json_object_to_json_string(text) + "}]";
    json_object_put(text);
    rule_load load;
    const int rc = build_rule_set(json.c_str(), id, nullptr, &load);
    if (c[1] == "-") {
      EXPECT_EQ(rc, RULES_OK) << c[0].substr(0, 60);
    } else {
      EXPECT_EQ(rc, RULES_BAD_REGEX) << c[0].substr(0, 60);
      EXPECT_NE(load.notes.back().regex_error.find(c[1]), std::string::npos)
          << c[0].substr(0, 60) << ": " << load.notes.back().regex_error;
    }
    release_rule_load(&load);
  }
}

// Whatever pattern the reader accepts, matching hostile lines grows the process by less than
// 8 MiB; the same lines grow regexec on the pattern by far more.
TEST(PatternGuard, NoAcceptedPatternGrowsTheMatcherBy8MiB) {
  std::vector<std::string> patterns = hostile_patterns(21, 24);
  patterns.push_back("x: \\w*a\\w{16}b");
  const std::vector<std::string> lines = hostile_lines(21, 2000);
  int accepted = 0;
  for (const std::string& p : patterns) {
    const matching_cost cost = cost_of_matching(p, lines);
    ASSERT_GE(cost.growth_kib, 0) << p;
    accepted += !cost.refused;
    EXPECT_TRUE(cost.refused || cost.growth_kib < 8192) << p << ": " << cost.growth_kib << " KiB";
  }
  EXPECT_GT(accepted, 20);
  EXPECT_GT(cost_of_matching(patterns.back(), lines, true).growth_kib, 8192);
}

TEST(DumpMp, NoSetLeavesTheFileAndADumpNeverFollowsALink) {
  sandbox sb;
  sb.write("tmp/kiv_dump.txt", "earlier");
  EXPECT_EQ(dump_mp(nullptr), -1);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), "earlier");
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]=====mp is NULL=====\n"), 1u);
  sb.set("productid", "KV-1000");
  read_rules(sb, "[ ]");
  unlink(sb.path("tmp/kiv_dump.txt").c_str());
  symlink(sb.path("elsewhere").c_str(), sb.path("tmp/kiv_dump.txt").c_str());
  EXPECT_EQ(dump_mp(mp), 0);
  EXPECT_EQ(access(sb.path("elsewhere").c_str(), F_OK), -1);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"),
            "[]\n=====checkActionList=====\nglobal_pause=[0]\ngArraylen=[0]\n"
            "Action list[0]=[nop]\nAction list[1]=[restart_wan]\n");
}
