// What matching hostile lines costs a process, per generated pattern: as the reader compiles it
// (the automaton, a small pattern left to regexec, or refused), and with regexec alone, as kiv
// matched every pattern with "\w", "\b" or stacked repetitions before. Also every generated
// pattern of at most KIV_MAX_REGEXEC_ATOMS atoms matched by regexec alone: the most the reader
// lets regexec grow.
//   kiv_pattern_memory [PATTERNS] [LINES] [SEED]      (default 300 patterns, 20000 lines, 21)
#include "support/pattern_memory.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "rules/pattern_guard.h"

using namespace kivtest;

int main(int argc, char** argv) {
  const int patterns = argc > 1 ? std::atoi(argv[1]) : 300;
  const int lines = argc > 2 ? std::atoi(argv[2]) : 20000;
  const unsigned seed = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 21;
  const std::vector<std::string> text = hostile_lines(seed, lines);
  int automaton = 0, regexec_left = 0, refused = 0, small = 0;
  long worst = 0, worst_regexec = 0, worst_small = 0;
  std::string worst_p, worst_regexec_p, worst_small_p;
  auto keep = [](long kib, const std::string& p, long* most, std::string* which) {
    if (kib > *most) *most = kib, *which = p;
  };
  std::vector<std::string> all = hostile_patterns(seed, patterns);
  all.push_back("x: \\w*a\\w{16}b");
  for (const std::string& p : all) {
    const matching_cost reader = cost_of_matching(p, text);
    const matching_cost alone = cost_of_matching(p, text, true);
    refused += reader.refused;
    automaton += reader.automaton;
    regexec_left += !reader.refused && !reader.automaton;
    if (!reader.refused) keep(reader.growth_kib, p, &worst, &worst_p);
    keep(alone.growth_kib, p, &worst_regexec, &worst_regexec_p);
    if (measure_pattern(p.c_str()).atoms <= KIV_MAX_REGEXEC_ATOMS) {
      ++small;
      keep(alone.growth_kib, p, &worst_small, &worst_small_p);
    }
    if (p == all.back())
      std::printf("%s: as read %ld KiB (%s), regexec alone %ld KiB\n", p.c_str(), reader.growth_kib,
                  reader.automaton ? "automaton"
                  : reader.refused ? "refused"
                                   : "regexec",
                  alone.growth_kib);
  }
  std::printf("%zu patterns, %d lines of 255 bytes: %d automaton, %d left to regexec, %d refused\n",
              all.size(), lines, automaton, regexec_left, refused);
  std::printf("most growth as the reader compiles:   %8ld KiB  %s\n", worst, worst_p.c_str());
  std::printf("most growth with regexec alone:       %8ld KiB  %s\n", worst_regexec,
              worst_regexec_p.c_str());
  std::printf("most growth, regexec alone, <= %d atoms (%d patterns): %ld KiB  %s\n",
              static_cast<int>(KIV_MAX_REGEXEC_ATOMS), small, worst_small, worst_small_p.c_str());
  return worst < 8192 ? 0 : 1;
}
