// Where a pattern's verdict differs between the C libraries kiv is built with: glibc (and
// uClibc-ng, whose matcher is glibc's) and musl. The C library judges every pattern when the rules
// are read, and matches the few that kiv's own matcher leaves to it (docs/rule_authors.md).
#pragma once

#include <string>
#include <vector>

// musl refuses counts above 255 (glibc takes up to 32767).
inline constexpr int kMuslCountMax = 255;

// What `kivrule check` warns of: a count above musl's limit, and "\b" or "\B" in a pattern left
// to the C library's matcher (`automaton`: kiv's own matcher takes it, reading both as glibc does;
// musl's "\b" holds at the text's start and end whatever stands there, its "\B" never does).
std::vector<std::string> c_library_differences(const char* pattern, bool automaton);
