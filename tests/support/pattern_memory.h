// Patterns of the shapes that make a matcher which builds its states as lines come (the C
// library's) visit many of them, log lines made to visit them, and what matching those lines
// costs a process. Shared by the reader's memory check (tests/unit/rules_test.cc) and its
// benchmark (bench/pattern_memory.cc).
#pragma once

#include <string>
#include <vector>

namespace kivtest {

// `count` patterns from `seed`: "\w*a\w{K}b"-like shapes (a letter that must be remembered K
// bytes long) and random mixtures of classes, escapes, anchors and repetitions.
std::vector<std::string> hostile_patterns(unsigned seed, int count);
// `count` lines of 255 bytes from `seed`: every other one "x: " and 'a' and 'b' only, the others
// a mixture of 'a', 'b', '_', 'x', ' ', '-' and ':'.
std::vector<std::string> hostile_lines(unsigned seed, int count);

struct matching_cost {
  bool refused = false;    // the reader refuses the pattern
  bool automaton = false;  // matched by kiv's automaton
  long growth_kib = 0;     // resident size after matching the lines, less before
};
// In a child process: the pattern compiled as the reader compiles it (or, with `regexec_only`,
// by regcomp alone and matched by regexec, as kiv did before its automaton took every shape),
// then every line matched.
matching_cost cost_of_matching(const std::string& pattern, const std::vector<std::string>& lines,
                               bool regexec_only = false);

}  // namespace kivtest
