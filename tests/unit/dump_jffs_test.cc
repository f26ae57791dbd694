// The rule set dump and the storage usage report.
#include <gtest/gtest.h>
#include <regex.h>

#include <string>

#include "detect/monitor_jffs.h"
#include "rules/dump_mp.h"
#include "rules/monitor_profile.h"
#include "support/profiles.h"
#include "support/sandbox.h"

namespace {

constexpr const char* kTable =
    "\n=====checkActionList=====\n"
    "global_pause=[0]\n"
    "gArraylen=[%d]\n"
    "Action list[0]=[nop]\n"
    "Action list[1]=[restart_wan]\n";

std::string table(int arraylen) {
  char buf[256];
  snprintf(buf, sizeof buf, kTable, arraylen);
  return buf;
}

using kivtest::give_actions;
using kivtest::installed_set;

}  // namespace

TEST(DumpMp, NoRuleSetLogsAndLeavesEarlierDump) {
  kivtest::sandbox sb;
  sb.write("tmp/kiv_dump.txt", "earlier");
  dump_mp(nullptr);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), "earlier");
  EXPECT_EQ(sb.count("tmp/kiv.log", "=====mp is NULL=====\n"), 1u);
}

TEST(DumpMp, EmptySetGivesDocumentAndFixedLines) {
  kivtest::sandbox sb;
  installed_set set(0, "[]");
  dump_mp(mp);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), "[]" + table(0));
}

TEST(DumpMp, ProfilesAndActionsInOrder) {
  kivtest::sandbox sb;
  installed_set set(2, "[{\"keyword\":\"wan\"}]");
  mp[0].isActive = 1;
  mp[0].kiv_keyword = "wan";
  mp[0].re_pattern = "link (down|lost)";
  give_actions(&mp[0], {"restart_wan", "reboot"});
  mp[0].actionResult[0] = 0;
  mp[0].actionRetry[0] = 3;
  // Profile 1: inactive, no keyword, no pattern, no actions.
  dump_mp(mp);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), "[{\"keyword\":\"wan\"}]" + table(2) +
                                             "=====monitor_profile[0]=====\n"
                                             "isActive=[1]\n"
                                             "kiv_keyword=[wan]\n"
                                             "re_pattern=[link (down|lost)]\n"
                                             "action_num=[2]\n"
                                             "=>action[0]=[restart_wan]\n"
                                             "=>checkFuncIndex[0]=[1](for restart_wan)\n"
                                             "==>actionResult[0]=[0]\n"
                                             "==>actionRetry[0]=[3]\n"
                                             "=>action[1]=[reboot]\n"
                                             "=>checkFuncIndex[1]=[2](for (null))\n"
                                             "==>actionResult[1]=[-1]\n"
                                             "==>actionRetry[1]=[0]\n"
                                             "=====monitor_profile[1]=====\n"
                                             "isActive=[0]\n"
                                             "kiv_keyword=[(null)]\n"
                                             "re_pattern=[(null)]\n"
                                             "action_num=[0]\n");
}

TEST(DumpMp, EmptyTextsStayDistinctFromNone) {
  kivtest::sandbox sb;
  installed_set set(1, "[]");
  mp[0].kiv_keyword = "";
  mp[0].re_pattern = "";
  dump_mp(mp);
  std::string dump = sb.read("tmp/kiv_dump.txt");
  EXPECT_NE(dump.find("kiv_keyword=[]\n"), std::string::npos);
  EXPECT_NE(dump.find("re_pattern=[]\n"), std::string::npos);
}

TEST(DumpMp, SecondDumpReplacesTheFile) {
  kivtest::sandbox sb;
  installed_set set(1, "[]");
  dump_mp(mp);
  std::string first = sb.read("tmp/kiv_dump.txt");
  global_pause.store(1);
  dump_mp(mp);
  std::string second = sb.read("tmp/kiv_dump.txt");
  EXPECT_EQ(second.size(), first.size());
  EXPECT_NE(second.find("global_pause=[1]\n"), std::string::npos);
}

TEST(DumpMp, NeverWritesThroughALinkAtThePath) {
  kivtest::sandbox sb;
  sb.write("tmp/elsewhere", "keep");
  ASSERT_EQ(symlink(sb.path("tmp/elsewhere").c_str(), sb.path("tmp/kiv_dump.txt").c_str()), 0);
  installed_set set(0, "[]");
  dump_mp(mp);
  EXPECT_EQ(sb.read("tmp/elsewhere"), "keep");
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), "[]" + table(0));
}

TEST(MonitorJffs, ReportsUsedTotalAndRate) {
  kivtest::sandbox sb;
  char line[] = "/dev/mtdblock4 16384 4096 12288 25% /jffs\n";
  report_jffs_usage(line);
  char thirds[] = "ubi0 3 2 1 67% /jffs";
  report_jffs_usage(thirds);
  std::string log = sb.read("tmp/kiv.log");
  EXPECT_EQ(log.rfind("[KIV][monitor_jffs:(", 0), 0u) << log;
  EXPECT_EQ(sb.count("tmp/kiv.log", ")][monitor_jffs] used=[4096], total=[16384], rate=[25.00%]\n"),
            1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", "used=[2], total=[3], rate=[66.67%]\n"), 1u);
}

TEST(MonitorJffs, LineWithoutTwoNumbersIsAParseError) {
  kivtest::sandbox sb;
  char single[] = "/dev/mtdblock4 16384";
  report_jffs_usage(single);
  char words[] = "Filesystem 1K-blocks Used";
  report_jffs_usage(words);
  EXPECT_EQ(sb.count("tmp/kiv.log", "[monitor_jffs] Parse error!\n"), 2u);
  EXPECT_EQ(sb.count("tmp/kiv.log", "used=["), 0u);
}

TEST(MonitorJffs, MeasuresTheFlashDirectoryWithDf) {
  kivtest::sandbox sb;
  monitor_jffs();
  std::string log = sb.read("tmp/kiv.log");
  regex_t re;
  ASSERT_EQ(
      regcomp(&re,
              "^\\[KIV\\]\\[monitor_jffs:\\([0-9]+\\)\\]\\[monitor_jffs\\] used=\\[[0-9]+\\], "
              "total=\\[[0-9]+\\], rate=\\[[0-9]+\\.[0-9][0-9]%\\]\n$",
              REG_EXTENDED),
      0);
  EXPECT_EQ(regexec(&re, log.c_str(), 0, nullptr, 0), 0) << log;
  regfree(&re);
}

TEST(MonitorJffs, SilentWhilePaused) {
  kivtest::sandbox sb;
  global_pause.store(1);
  monitor_jffs();
  global_pause.store(0);
  EXPECT_EQ(sb.read("tmp/kiv.log"), "");
}
