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

// The bounds of a count; max -1 for none.
struct pattern_count {
  long min = 1, max = 1;
};

// The count "{m}", "{m,}", "{m,n}", "{,n}" or "{,}" at p[0] == '{', read as regcomp reads it:
// an escaped '0' or ',' inside stands for the character itself ("a{1\0}" is "a{10}"). Numbers
// stop growing at `cap`. Returns the text just past the '}', or nullptr when it is no count.
inline const char* read_pattern_count(const char* p, long cap, pattern_count* n) {
  const char* q = p + 1;
  char stop = '\0';
  auto number = [&q, &stop, cap](long* v) {  // digits up to ',' or '}'; -1 for none
    for (*v = -1;;) {
      char c = q[0] == '\\' && (q[1] == '0' || q[1] == ',') ? *++q : *q;
      if (c == '\0' || c == '\\') return false;
      ++q;
      if (c == ',' || c == '}') {
        stop = c;
        return true;
      }
      if (!pattern_digit(c)) return false;
      *v = *v < 0 ? c - '0' : *v * 10 + (c - '0');
      if (*v > cap) *v = cap;
    }
  };
  long min = 0, max = 0;
  if (!number(&min) || (min < 0 && stop != ',')) return nullptr;
  if (min < 0) min = 0;
  max = min;
  if (stop == ',' && (!number(&max) || stop != '}')) return nullptr;
  if (max >= 0 && max < min) return nullptr;
  *n = {min, max};
  return q;
}
