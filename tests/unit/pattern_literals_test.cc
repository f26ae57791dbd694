// The literal prefilter: which literals a pattern gives, and that a line it turns away is one
// regexec does not match, with the very records regexec's answer would have written.
#include "rules/pattern_literals.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <string>
#include <vector>

#include "detect/match_func.h"
#include "rules/monitor_profile.h"
#include "support/sandbox.h"

namespace {

struct literals_case {
  const char* pattern;
  std::vector<std::string> literals;  // longest first, then in byte order
};

const literals_case kCases[] = {
    {"WAN(\\([0-9]+\\))?: link down", {": link down", "WAN"}},
    {"dnsmasq\\[[0-9]+\\]: (segfault|failed) at slot 7$", {" at slot 7", "dnsmasq[", "]: "}},
    {"^kernel: Out of memory", {"kernel: Out of memory"}},
    {"a.b", {"a", "b"}},
    {"ab?c", {"a", "c"}},
    {"ab*c", {"a", "c"}},
    {"ab{0,2}c", {"a", "c"}},
    {"ab{,2}c", {"a", "c"}},
    {"ab{0}c", {"a", "c"}},
    {"ab+c", {"ab", "c"}},
    {"ab{2}c", {"ab", "c"}},
    {"ab{1,}c", {"ab", "c"}},
    {"ab+?c", {"a", "c"}},
    {"x(yz)+w", {"yz", "w", "x"}},
    {"x(yz)*w", {"w", "x"}},
    {"x(yz)?w", {"w", "x"}},
    {"((a|b)cd)e", {"cd", "e"}},
    {"(a|b)c", {"c"}},
    {"()ab", {"ab"}},
    {"a\\.b\\(c\\)\\[d\\]\\{e\\}\\|\\*\\+\\?\\^\\$\\\\", {"a.b(c)[d]{e}|*+?^$\\"}},
    {"a\\<b\\>c", {"a", "b", "c"}},
    {"a\\bc\\Bd", {"a", "c", "d"}},
    {"a\\wb\\Wc\\sd\\Se", {"a", "b", "c", "d"}},
    {"a\\/b", {"a", "b"}},
    {"[abc]def", {"def"}},
    {"[]x]yz", {"yz"}},
    {"[^]x]yz", {"yz"}},
    {"[[:digit:]]+ms", {"ms"}},
    {"[[.-.]]x[[=a=]]y", {"x", "y"}},
    {"a\tb c", {"a\tb c"}},
    {"a.b.c.d.e.f", {"a", "b", "c", "d"}},
    {"ab.ab", {"ab"}},
    // Nothing: an alternation at the top, nothing literal, or not understood.
    {"a|b", {}},
    {"WAN: link down|WAN: link up", {}},
    {"a*", {}},
    {"[a\\]b]c", {}},
    {"a)b", {}},
    {"a{x", {}},
    {"a{", {}},
    {"a{1,2,3}b", {}},
    {"*a", {}},
    {"a\\", {}},
    {"caf\xc3\xa9", {"caf"}},
    {"", {}},
};

const char* const kLines[] = {
    "",
    "Dec  7 08:01:45 WAN(12): link down",
    "Dec  7 08:01:45 WAN: link down",
    "Dec  7 08:01:45 WAN(): link down",
    "Dec  7 08:01:45 WAN: link up",
    "dnsmasq[1893]: segfault at slot 7",
    "kernel: Out of memory: Kill process 7",
    "x kernel: Out of memory",
    "ab",
    "abc",
    "ac",
    "abbc",
    "abbbc",
    "a.b",
    "axb",
    "ab\tb c",
    "a\tb c",
    "xyzw",
    "xw",
    "xyzyzw",
    "acde",
    "bcde",
    "ce",
    "abab",
    "ab.ab",
    "abxab",
    "a.b(c)[d]{e}|*+?^$\\",
    "a b c",
    "a-b c d",
    "a_b c d e",
    "a/b",
    "adef",
    "]yz",
    "xyz",
    "12ms",
    "-x",
    "xay",
    "a b",
    "a.b.c.d.e.f",
    "a)b",
    "a{x",
    "a{",
    "a{1,2,3}b",
    "*a",
    "a\\",
    "caf\xc3\xa9",
    "cafe",
};

}  // namespace

TEST(PatternLiterals, WhatEachPatternGives) {
  for (const literals_case& c : kCases)
    EXPECT_EQ(required_literals(c.pattern), c.literals) << "pattern [" << c.pattern << "]";
}

// Over the table's patterns and lines: a line the prefilter turns away is one regexec does not
// match, and match_func writes the same records with the prefilter as without it.
TEST(PatternLiterals, PrefilterNeverChangesAVerdictOrARecord) {
  std::string with, without;
  for (bool prefilter : {true, false}) {
    kivtest::sandbox sb;
    for (const literals_case& c : kCases) {
      monitor_profile p;
      p.isActive = 1;
      p.re_pattern = c.pattern;
      if (regcomp(&p.regex, c.pattern, REG_EXTENDED) != 0) continue;
      p.regex_compiled = true;
      if (prefilter) p.literals = required_literals(c.pattern);
      for (const char* line : kLines) {
        bool matches = regexec(&p.regex, line, 0, nullptr, 0) == 0;
        EXPECT_TRUE(!matches || may_match(p.literals, line))
            << "pattern [" << c.pattern << "] line [" << line << "]";
        EXPECT_EQ(match_func(&p, line), matches ? 1 : 0);
      }
      regfree(&p.regex);
    }
    (prefilter ? with : without) = sb.read("tmp/kiv.log");
  }
  EXPECT_GT(without.size(), 0u);
  EXPECT_TRUE(with == without);
}
