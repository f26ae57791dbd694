// Character kinds of extended regular expressions, shared by the readers of rule patterns (the
// cost guard, the literal prefilter and the automaton).
#pragma once

#include <cstring>

// The characters with a meaning of their own in every POSIX extended syntax; after a backslash
// each stands for itself.
inline bool pattern_special(char c) {
  return c != '\0' && std::strchr(".[]\\*+?{}()|^$", c) != nullptr;
}

inline bool pattern_digit(char c) {
  return c >= '0' && c <= '9';
}
