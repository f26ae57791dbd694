// What the benchmarks walk: router log lines of the usual sources, and rule sets of N profiles
// whose patterns look like the faults such rules look for. The end-to-end benchmark
// (bench/e2e_bench.py) generates the same shapes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivbench {

// Pattern of profile i of a generated rule set (POSIX extended syntax, as in a rule file).
std::string fault_pattern(int32_t i);
// A log line that matches the pattern of profile i and no other profile of the set.
std::string fault_line(int32_t i);
// Ordinary log lines that match no generated pattern; some are longer than 255 characters.
const std::vector<std::string>& ordinary_lines();

}  // namespace kivbench
