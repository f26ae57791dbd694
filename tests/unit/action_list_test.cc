// Action lists: the grammar of the "action" text, the per-action state parse_action sets up, the
// check table and the check functions.
#include "rules/action_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/sandbox.h"

namespace {

// The action text parsed as the reader parses it: counted, then stored.
struct parsed {
  int32_t count = -1;
  int32_t stored = -1;
  monitor_profile p;
};

parsed parse(const std::string& text) {
  parsed r;
  const int32_t size = static_cast<int32_t>(text.size() + 1);
  r.count = get_num_of_action(text.c_str(), size);
  r.p.action_num = r.count;
  r.stored = parse_action(&r.p, text.c_str(), size);
  return r;
}

using names = std::vector<std::string>;
using ints = std::vector<int32_t>;

}  // namespace

TEST(ActionList, ItemsAreSplitAtSemicolonsAndBoundToTheirChecks) {
  kivtest::sandbox sb;
  parsed r = parse("restart_wan;reboot");
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.stored, 2);
  EXPECT_EQ(r.p.action, names({"restart_wan", "reboot"}));
  EXPECT_EQ(r.p.checkFuncIndex, ints({1, 2}));
  EXPECT_EQ(r.p.actionResult, ints({-1, -1}));
  EXPECT_EQ(r.p.actionRetry, ints({0, 0}));

  r = parse("nop");
  EXPECT_EQ(r.p.action, names({"nop"}));
  EXPECT_EQ(r.p.checkFuncIndex, ints({0}));
}

TEST(ActionList, OuterSpacesAndEmptyItemsAreDropped) {
  kivtest::sandbox sb;
  parsed r = parse("  nop;;restart_wan;  ");
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.p.action, names({"nop", "restart_wan"}));
  EXPECT_EQ(r.p.checkFuncIndex, ints({0, 1}));

  r = parse(";;nop;");
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.p.action, names({"nop"}));
}

TEST(ActionList, ListsWithoutItemsLeaveEveryArrayNone) {
  kivtest::sandbox sb;
  for (const char* text : {"", ";;;", "   ", " ;; "}) {
    parsed r = parse(text);
    EXPECT_EQ(r.count, 0) << "[" << text << "]";
    EXPECT_EQ(r.stored, 0) << "[" << text << "]";
    EXPECT_TRUE(r.p.action.empty());
    EXPECT_TRUE(r.p.checkFuncIndex.empty());
    EXPECT_TRUE(r.p.actionResult.empty());
    EXPECT_TRUE(r.p.actionRetry.empty());
  }
}

TEST(ActionList, InnerSpacesAndTabsStayInTheirItems) {
  kivtest::sandbox sb;
  // A space alone between two separators is an item.
  parsed r = parse("; ;");
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.p.action, names({" "}));
  EXPECT_EQ(r.p.checkFuncIndex, ints({2}));

  // Items are not trimmed one by one, so neither matches its row.
  r = parse("restart_wan ; nop");
  EXPECT_EQ(r.p.action, names({"restart_wan ", " nop"}));
  EXPECT_EQ(r.p.checkFuncIndex, ints({2, 2}));
  r = parse("restart_wan; reboot");
  EXPECT_EQ(r.p.action, names({"restart_wan", " reboot"}));

  // Only the space counts as outer blank: a tab or a line end stays.
  r = parse("\tnop\n");
  EXPECT_EQ(r.p.action, names({"\tnop\n"}));
  EXPECT_EQ(r.p.checkFuncIndex, ints({2}));
}

TEST(ActionList, NamesAreComparedByteForByteWithCase) {
  kivtest::sandbox sb;
  parsed r = parse("NOP;Restart_wan;nop;restart_wan;nopx;restart_wan2");
  EXPECT_EQ(r.p.checkFuncIndex, ints({2, 2, 0, 1, 2, 2}));
}

TEST(ActionList, ManyAndLongItemsAreStoredWhole) {
  kivtest::sandbox sb;
  std::string text;
  const std::string long_name(5000, 'x');
  for (int i = 0; i < 1000; ++i) text += (i % 2 ? "nop;" : long_name + ";");
  parsed r = parse(text);
  ASSERT_EQ(r.count, 1000);
  ASSERT_EQ(r.stored, 1000);
  EXPECT_EQ(r.p.action[0], long_name);
  EXPECT_EQ(r.p.action[999], "nop");
  EXPECT_EQ(r.p.checkFuncIndex[998], 2);
  EXPECT_EQ(r.p.checkFuncIndex[999], 0);
}

TEST(ActionList, TheGivenSizeBoundsTheText) {
  kivtest::sandbox sb;
  // Size 8 keeps the first 7 characters: "restart".
  EXPECT_EQ(get_num_of_action("restart_wan;nop", 8), 1);
  monitor_profile p;
  p.action_num = 1;
  EXPECT_EQ(parse_action(&p, "restart_wan;nop", 8), 1);
  EXPECT_EQ(p.action, names({"restart"}));
}

TEST(ActionList, ParseStoresAtMostTheGivenCount) {
  kivtest::sandbox sb;
  monitor_profile p;
  p.action_num = 2;
  const std::string text = "nop;restart_wan;reboot";
  EXPECT_EQ(parse_action(&p, text.c_str(), static_cast<int32_t>(text.size() + 1)), 2);
  EXPECT_EQ(p.action, names({"nop", "restart_wan"}));
  EXPECT_EQ(p.checkFuncIndex.size(), 2u);
  EXPECT_EQ(p.actionResult.size(), 2u);
  EXPECT_EQ(p.actionRetry.size(), 2u);
}

TEST(ActionList, ReparsingReplacesTheEarlierArrays) {
  kivtest::sandbox sb;
  parsed r = parse("nop;restart_wan");
  r.p.actionResult[0] = 0;
  r.p.actionRetry[0] = 3;
  r.p.action_num = 1;
  EXPECT_EQ(parse_action(&r.p, "reboot", 7), 1);
  EXPECT_EQ(r.p.action, names({"reboot"}));
  EXPECT_EQ(r.p.checkFuncIndex, ints({2}));
  EXPECT_EQ(r.p.actionResult, ints({-1}));
  EXPECT_EQ(r.p.actionRetry, ints({0}));
}

TEST(SearchIndex, StoresTheRowAtThePosition) {
  kivtest::sandbox sb;
  monitor_profile p;
  p.checkFuncIndex = {7, 7, 7};
  EXPECT_EQ(search_index(&p, "restart_wan", 2), 1);
  EXPECT_EQ(search_index(&p, "nop", 0), 0);
  EXPECT_EQ(search_index(&p, "reboot", 1), 2);
  EXPECT_EQ(p.checkFuncIndex, ints({0, 2, 1}));
}

TEST(SearchIndex, MissingProfileOrNameIsTheRowWithoutCheck) {
  kivtest::sandbox sb;
  monitor_profile p;
  p.checkFuncIndex = {7};
  EXPECT_EQ(search_index(nullptr, "nop", 0), 2);
  EXPECT_EQ(search_index(&p, nullptr, 0), 2);
  EXPECT_EQ(p.checkFuncIndex, ints({7})) << "nothing stored";
  EXPECT_EQ(sb.count("tmp/kiv.log", ")][search_index]mp is NULL!!\n"), 2u);
}

TEST(CheckActionList, TwoNamedRowsAndTheRowWithoutCheck) {
  ASSERT_EQ(CHECK_ROWS, 3);
  for (int32_t row = 0; row < CHECK_ROWS; ++row) EXPECT_EQ(checkActionList[row].number, row);
  EXPECT_STREQ(checkActionList[0].name, "nop");
  EXPECT_EQ(checkActionList[0].check, &check_nop_state);
  EXPECT_STREQ(checkActionList[1].name, "restart_wan");
  EXPECT_EQ(checkActionList[1].check, &check_restart_wan);
  EXPECT_EQ(checkActionList[2].name, nullptr);
  EXPECT_EQ(checkActionList[2].check, nullptr);
}

// The only caller of check_nop_state in this program, so it starts from the initial state.
TEST(CheckFunctions, NopFailsTwiceThenSucceedsAndRestartWanAtOnce) {
  kivtest::sandbox sb;
  mkdir(sb.path("dev").c_str(), 0755);
  sb.write("dev/console", "");
  std::vector<int32_t> results;
  for (int i = 0; i < 6; ++i) results.push_back(check_nop_state(0));
  EXPECT_EQ(results, ints({-1, -1, 0, -1, -1, 0}));
  EXPECT_EQ(sb.read("dev/console"),
            "check_nop_state, 1-th\ncheck_nop_state, 2-th\ncheck_nop_state, 3-th\n"
            "check_nop_state, 1-th\ncheck_nop_state, 2-th\ncheck_nop_state, 3-th\n");
  // The argument is ignored, and nothing else resets the cycle.
  EXPECT_EQ(check_nop_state(12345), -1);
  EXPECT_EQ(check_restart_wan(0), 0);
  EXPECT_EQ(check_restart_wan(-7), 0);
  EXPECT_EQ(check_nop_state(0), -1);
  EXPECT_EQ(check_nop_state(0), 0);
  EXPECT_EQ(sb.count("dev/console", "check_nop_state"), 9u) << "check_restart_wan prints nothing";
}
