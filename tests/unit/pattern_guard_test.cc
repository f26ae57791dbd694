// Patterns whose compiling or matching would crash the daemon or take a router's memory are
// refused like patterns that do not compile; patterns a rule author writes still compile.
#include "rules/pattern_guard.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/platform.h"
#include "rules/read_json.h"
#include "support/sandbox.h"

namespace {

std::string repeat(const std::string& unit, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += unit;
  return s;
}

std::string json_escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
  return out;
}

// Loads a one-rule set whose active rule has this pattern; the reason is empty when it loaded.
std::string load_refusal(const std::string& pattern, int* status = nullptr) {
  router_identity id;
  id.productid = "KV-1000";
  rule_load load;
  const std::string json = "[{\"model\":\"KV-1000\",\"re_pattern\":\"" + json_escaped(pattern) +
                           "\",\"frequency\":\"1\",\"period\":\"1\",\"action\":\"reboot\"}]";
  const int rc = build_rule_set(json.c_str(), id, nullptr, &load);
  if (status) *status = rc;
  std::string why = load.notes.empty() ? "" : load.notes[0].regex_error;
  if (rc == RULES_OK) {
    EXPECT_TRUE(load.array[0].regex_compiled) << pattern.substr(0, 40);
  }
  release_rule_load(&load);
  return why;
}

// Kilobytes regcomp adds to the peak size of a fresh process while compiling the pattern, -1
// when it does not compile.
long compile_kilobytes(const std::string& pattern) {
  const spawned_reader child = spawn_reader({REGCOMP_PEAK, pattern});
  if (child.pid < 0) return -1;
  std::string text;
  char buf[64];
  ssize_t n;
  while ((n = read(child.fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(child.fd);
  int status = 0;
  waitpid(child.pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return -1;
  return std::stol(text);
}

// The largest count the guard lets through for a family of patterns (at most `ceiling`).
int largest_allowed(const std::function<std::string(int)>& family, int ceiling) {
  int lo = 1, hi = ceiling;
  if (!pattern_refusal(family(hi).c_str()).empty()) {
    while (lo + 1 < hi) {
      const int mid = lo + (hi - lo) / 2;
      (pattern_refusal(family(mid).c_str()).empty() ? lo : hi) = mid;
    }
    return lo;
  }
  return hi;
}

}  // namespace

TEST(PatternGuard, CostlyOrCrashingPatternsAreRefusedWithTheReason) {
  kivtest::sandbox sb;
  struct refused {
    std::string pattern;
    const char* reason;
  };
  // Each of these, compiled or matched by the C library, ends the daemon, stalls it on every
  // line for seconds, or takes 80 MB to 3 GB.
  const refused cases[] = {
      {"(|)(\\1\\1)*", "back-reference"},          // regexec recurses until SIGSEGV
      {"((a*)*)*\\2\\1c", "back-reference"},       // regexec runs for minutes on one line
      {"(a{1000}){1000}", "copy more than 8192"},  // a million atoms
      {"a{1000}{1000}", "copy more than 8192"},    // stacked counts multiply too
      {"((a{100}){100}){100}", "copy more than 8192"},
      {"(x{0,1000}){0,1000}", "copy more than 8192"},  // 3 GB, then "Memory exhausted"
      {"x{0,3000}", "reach each other"},               // 72 MB
      {repeat("a|", 5000) + "a", "reach each other"},  // 200 MB
      {repeat("(a*)", 1000), "reach each other"},      // 84 MB
      {"(((a*){10}){10}){10}", "reach each other"},    // 94 MB
      {std::string(KIV_MAX_PATTERN_NESTING + 1, '(') + "a" +
           std::string(KIV_MAX_PATTERN_NESTING + 1, ')'),
       "nested more than"},
  };
  for (const refused& c : cases) {
    int status = 0;
    const std::string why = load_refusal(c.pattern, &status);
    EXPECT_EQ(status, RULES_BAD_REGEX) << c.pattern.substr(0, 40);
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.pattern.substr(0, 40) << ": " << why;
  }
}

TEST(PatternGuard, NestingCountsGroupsAndStackedOperatorsOnly) {
  EXPECT_EQ(pattern_nesting("((a)*)*"), 2);
  EXPECT_EQ(pattern_nesting("a*+?{1,2}"), 4);
  EXPECT_EQ(pattern_nesting("\\(\\(\\("), 0);
  EXPECT_EQ(pattern_nesting("[]((]([^)(])"), 1);
}

TEST(PatternGuard, PatternsRuleAuthorsWriteStillCompile) {
  kivtest::sandbox sb;
  std::string messages;  // 300 different messages of about 30 characters, one alternation
  for (int i = 0; i < 300; ++i)
    messages += (i ? "|" : "") + std::string("daemon ") + std::to_string(i) + ": link (down|lost)";
  const std::string fine[] = {
      "kernel: (Out of memory|oom-killer).*(pid|process) [0-9]+",
      "wan[0-9]?: (link|carrier) (down|lost)",
      "^[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} .*dnsmasq\\[[0-9]+\\]: (failed|exiting)$",
      "\\<(eth|wl)[0-9]+\\>.*\\b(reset|timeout)\\b",
      "[0-9a-f]{64}",
      ".{255}",
      "a{8192}",
      messages,
      repeat("(ab|cd)", 2000),  // many groups, but none can match nothing
      "(a|b){1000}",            // likewise
      repeat("a*", 250),
      "[\\1]x",                        // a bracket member, not a back-reference
      "\\\\1",                         // an escaped backslash and a digit
      repeat("\\(", 50000) + "x{10}",  // long, but flat
  };
  for (const std::string& pattern : fine)
    EXPECT_EQ(load_refusal(pattern), "") << pattern.substr(0, 40);
}

// What the limits are for: the largest pattern of each costly shape they let through compiles
// in a few megabytes (the shapes above take 70 MB to 3 GB when unguarded).
TEST(PatternGuard, LargestAllowedPatternsCompileInAFewMegabytes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__mips__)
  constexpr bool measured_natively = false;
#else
  constexpr bool measured_natively = true;
#endif
  if (!measured_natively)
    GTEST_SKIP() << "measured natively: sanitizer allocators and an emulator change the peak size";
  const std::pair<const char*, std::function<std::string(int)> > families[] = {
      {"alternatives", [](int k) { return repeat("a|", k) + "a"; }},
      {"optional atoms", [](int k) { return repeat("a?", k); }},
      {"starred groups", [](int k) { return repeat("(a*)", k); }},
      {"optional copies", [](int k) { return "x{0," + std::to_string(k) + "}"; }},
      {"grouped optional copies", [](int k) { return repeat("(x{0,10})", k); }},
      {"nested stars", [](int k) { return "((a*){" + std::to_string(k) + "}){10}"; }},
      {"counted copies", [](int k) { return "(ab{" + std::to_string(k) + "}){4}"; }},
      {"alternatives of words", [](int k) { return repeat("(word|wide)?", k); }},
  };
  for (const auto& [shape, family] : families) {
    const int k = largest_allowed(family, 32767);
    const long kb = compile_kilobytes(family(k));
    EXPECT_GE(kb, 0) << shape << " at " << k << " does not compile";
    EXPECT_LT(kb, 16 * 1024) << shape << " at " << k;
    std::printf("  %-24s largest allowed %5d: %6ld KB\n", shape, k, kb);
  }
}
