// Line matching: the compiled expression of an active profile decides, and every call on an
// active profile leaves its records in the log.
#include "detect/match_func.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <string>

#include "support/sandbox.h"

namespace {

// An active profile with its expression compiled as the rule file reader compiles it.
struct compiled_profile {
  monitor_profile p;
  explicit compiled_profile(const char* pattern, int32_t active = 1) {
    p.isActive = active;
    p.re_pattern = pattern;
    EXPECT_EQ(regcomp(&p.regex, pattern, REG_EXTENDED), 0) << pattern;
    p.regex_compiled = true;
  }
  ~compiled_profile() { regfree(&p.regex); }
};

std::string engine_text(const regex_t* re, int code) {
  char text[128] = {0};
  regerror(code, re, text, sizeof text);
  return text;
}

}  // namespace

TEST(MatchFunc, MatchWritesOneRecordWithTheLine) {
  kivtest::sandbox sb;
  compiled_profile c("link (down|lost)");
  EXPECT_EQ(match_func(&c.p, "Dec  6 12:00:00 WAN: link down now"), 1);
  std::string log = sb.read("tmp/kiv.log");
  EXPECT_NE(log.find("[KIV][match_func:("), std::string::npos) << log;
  EXPECT_NE(log.find(")][Match]::[Dec  6 12:00:00 WAN: link down now]\n"), std::string::npos)
      << log;
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV]"), 1u);
}

TEST(MatchFunc, NonMatchGivesEngineDescriptionThenPattern) {
  kivtest::sandbox sb;
  compiled_profile c("link down");
  EXPECT_EQ(match_func(&c.p, "WAN: link up"), 0);
  std::string log = sb.read("tmp/kiv.log");
  std::string first = "[" + engine_text(&c.p.regex, REG_NOMATCH) + "]::[WAN: link up]\n";
  size_t at_first = log.find(first);
  size_t at_second = log.find(")][re_pattern]::[link down]\n");
  ASSERT_NE(at_first, std::string::npos) << log;
  ASSERT_NE(at_second, std::string::npos) << log;
  EXPECT_LT(at_first, at_second);
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][match_func:("), 2u);
}

TEST(MatchFunc, AnchorsBindToLineStartAndEnd) {
  kivtest::sandbox sb;
  compiled_profile anywhere("kernel");
  compiled_profile start("^kernel");
  compiled_profile end("panic$");
  EXPECT_EQ(match_func(&anywhere.p, "Dec  6 kernel: oops"), 1);
  EXPECT_EQ(match_func(&start.p, "Dec  6 kernel: oops"), 0);
  EXPECT_EQ(match_func(&start.p, "kernel: oops"), 1);
  EXPECT_EQ(match_func(&end.p, "kernel panic"), 1);
  EXPECT_EQ(match_func(&end.p, "kernel panic!"), 0);
}

TEST(MatchFunc, SearchIsCaseSensitive) {
  kivtest::sandbox sb;
  compiled_profile c("dhcp timeout");
  EXPECT_EQ(match_func(&c.p, "DHCP TIMEOUT"), 0);
  EXPECT_EQ(match_func(&c.p, "Dhcp timeout"), 0);
  EXPECT_EQ(match_func(&c.p, "dhcp timeout"), 1);
}

TEST(MatchFunc, EmptyLineIsSearchedLikeAnyOther) {
  kivtest::sandbox sb;
  compiled_profile empty("^$");
  compiled_profile needs_one(".");
  EXPECT_EQ(match_func(&empty.p, ""), 1);
  EXPECT_EQ(match_func(&needs_one.p, ""), 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")][Match]::[]\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")][re_pattern]::[.]\n"), 1u);
}

TEST(MatchFunc, InactiveProfileNeverMatchesAndWritesNothing) {
  kivtest::sandbox sb;
  compiled_profile c(".*", 0);
  EXPECT_EQ(match_func(&c.p, "anything"), 0);
  EXPECT_EQ(match_func(&c.p, ""), 0);
  EXPECT_EQ(sb.read("tmp/kiv.log"), "");
}

TEST(MatchFunc, MissingArgumentsOrExpressionGiveZeroSilently) {
  kivtest::sandbox sb;
  compiled_profile c(".*");
  EXPECT_EQ(match_func(nullptr, "line"), 0);
  EXPECT_EQ(match_func(&c.p, nullptr), 0);
  // An active profile whose rule had no "re_pattern": nothing compiled, nothing to match.
  monitor_profile bare;
  bare.isActive = 1;
  EXPECT_EQ(match_func(&bare, "line"), 0);
  EXPECT_EQ(sb.read("tmp/kiv.log"), "");
}

TEST(MatchFunc, LeavesProfileAndLineUnchanged) {
  kivtest::sandbox sb;
  compiled_profile c("x+");
  c.p.front = 1;
  c.p.timestamp = {1.0f, 2.0f};
  const char line[] = "xxx";
  EXPECT_EQ(match_func(&c.p, line), 1);
  EXPECT_EQ(match_func(&c.p, line), 1);
  EXPECT_STREQ(line, "xxx");
  EXPECT_EQ(c.p.front, 1);
  EXPECT_EQ(c.p.timestamp, std::vector<float>({1.0f, 2.0f}));
}
