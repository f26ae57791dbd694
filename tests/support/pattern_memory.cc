#include "support/pattern_memory.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "rules/monitor_profile.h"
#include "rules/rule_reader.h"

namespace kivtest {

std::vector<std::string> hostile_patterns(unsigned seed, int count) {
  static const char* const kAtoms[] = {"a",    "b",    "\\w",   "\\W",     "\\s", "\\S", ".",
                                       "[ab]", "[^a]", "(a|b)", "(\\w|-)", "x",   "_"};
  static const char* const kOps[] = {"", "", "*", "+", "?", "{3}", "{2,5}", "{16}", "{0,12}"};
  static const char* const kAnchors[] = {"", "", "", "^", "\\b", "\\B", "\\<", "\\>", "$"};
  std::mt19937 rng(seed);
  auto pick = [&rng](const auto& from) {
    return std::string(from[rng() % (sizeof from / sizeof from[0])]);
  };
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    std::string p;
    if (i % 3 == 0) {  // a byte remembered K bytes long: 2^K states for a lazy matcher
      const std::string any = pick(kAtoms);
      p = (i % 2 ? "x: " : "") + any + "*a" + any + "{" + std::to_string(8 + rng() % 13) + "}b";
    } else {
      for (int n = 2 + static_cast<int>(rng() % 6); n > 0; --n)
        p += pick(kAnchors) + pick(kAtoms) + pick(kOps);
    }
    out.push_back(p);
  }
  return out;
}

std::vector<std::string> hostile_lines(unsigned seed, int count) {
  std::mt19937 rng(seed);
  std::vector<std::string> out(static_cast<size_t>(count));
  for (size_t n = 0; n < out.size(); ++n) {
    // Every other line a rule's prefix and 252 bytes of 'a' and 'b'; the others a mixture.
    const std::string bytes = n % 2 ? "ab" : "abab_x -:";
    out[n] = n % 2 ? "x: " : "";
    while (out[n].size() < 255) out[n] += bytes[rng() % bytes.size()];
  }
  return out;
}

namespace {

long resident_kib() {
  long size = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f && std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
  if (f) std::fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

matching_cost cost_of_matching(const std::string& pattern, const std::vector<std::string>& lines,
                               bool regexec_only) {
  int fds[2];
  matching_cost cost;
  if (pipe(fds) != 0) return cost;
  const pid_t child = fork();
  if (child == 0) {
    monitor_profile p;
    if (regexec_only) {
      p.pattern.regex.reset(new regex_t);
      cost.refused = regcomp(p.pattern.regex.get(), pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0;
      if (cost.refused) delete p.pattern.regex.release();  // nothing compiled to regfree
    } else {
      cost.refused = !compile_pattern(pattern.c_str(), &p.pattern).empty();
    }
    cost.automaton = p.pattern.automaton.has_value();
    const long before = resident_kib();
    if (!cost.refused)
      for (const std::string& line : lines) profile_regexec(p, line.c_str(), line.size());
    cost.growth_kib = resident_kib() - before;
    const bool sent = write(fds[1], &cost, sizeof cost) == static_cast<ssize_t>(sizeof cost);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  if (child < 0 || read(fds[0], &cost, sizeof cost) != static_cast<ssize_t>(sizeof cost))
    cost.growth_kib = -1;
  close(fds[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  return cost;
}

}  // namespace kivtest
