// Required literals of an extended expression, read by a small recursive descent over its
// syntax. A sequence of atoms at one level gives runs of adjacent literal characters; a
// character that a repetition may leave out ("?", "*", "{0,n}", "{,n}") ends a run without
// joining it, one that must occur ("+", "{m}" with m > 0) ends the run after one copy. A group
// gives its own literals when it must occur and holds no alternation. An alternation at a level
// makes that level give nothing. Anything doubtful (a repetition of nothing, an interval not
// written as one, an unmatched parenthesis, a backslash inside a bracket expression, which C
// libraries read differently) makes the whole pattern give nothing: regexec then decides alone.
#include "rules/pattern_literals.h"

#include <algorithm>
#include <cstring>

#include "rules/pattern_syntax.h"

namespace {

constexpr size_t kMaxLiterals = 4;

// Characters that are literal unescaped. Bytes above 127 are left out: in a multibyte locale
// they are parts of characters that a repetition would take whole.
bool plain(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u != 0 && u < 0x80 && std::strchr("\\.[]()|*+?{}^$", c) == nullptr;
}

struct parser {
  const char* at;
  bool ok = true;  // false: the pattern is not understood, and gives no literal
};

// Repetitions after an atom ("*", "+", "?", intervals, stacked); true when they let the atom
// occur zero times. *repeated tells whether there was any.
bool parse_repetitions(parser& ps, bool* repeated) {
  bool optional = false;
  *repeated = false;
  for (;;) {
    char c = *ps.at;
    if (c == '*' || c == '?') {
      optional = true;
    } else if (c == '{') {
      const char* q = ps.at + 1;
      bool has_min = false;
      bool zero_min = true;
      for (; pattern_digit(*q); ++q) {
        has_min = true;
        if (*q != '0') zero_min = false;
      }
      if (*q == ',') {
        for (++q; pattern_digit(*q); ++q) {
        }
      } else if (!has_min) {
        ps.ok = false;
        return true;
      }
      if (*q != '}') {
        ps.ok = false;
        return true;
      }
      if (zero_min) optional = true;
      ps.at = q;
    } else if (c != '+') {
      return optional;
    }
    ++ps.at;
    *repeated = true;
  }
}

// Steps over a bracket expression starting at '['; false when it is not understood.
bool skip_bracket(parser& ps) {
  const char* q = ps.at + 1;
  if (*q == '^') ++q;
  if (*q == ']') ++q;  // first: a member, not the end
  for (;;) {
    if (*q == '\0' || *q == '\\') return false;
    if (*q == '[' && (q[1] == ':' || q[1] == '.' || q[1] == '=')) {
      const char kind = q[1];
      const char* end = q + 2;
      while (*end && !(end[0] == kind && end[1] == ']')) ++end;
      if (!*end) return false;
      q = end + 2;
      continue;
    }
    if (*q == ']') {
      ps.at = q + 1;
      return true;
    }
    ++q;
  }
}

// One level: the branches up to the ')' that closes it (depth > 0) or the end of the pattern.
// Appends the literals every match of the level contains; *alternation tells there was a '|'.
void parse_level(parser& ps, int depth, std::vector<std::string>* out, bool* alternation) {
  std::string run;
  auto end_run = [&] {
    if (!run.empty()) out->push_back(run);
    run.clear();
  };
  while (ps.ok && *ps.at) {
    const char c = *ps.at;
    bool repeated = false;
    if (c == ')') {
      if (depth == 0) ps.ok = false;  // an unmatched ')' is a character to some libraries
      break;
    }
    if (c == '|') {
      *alternation = true;
      end_run();
      ++ps.at;
    } else if (c == '*' || c == '+' || c == '?' || c == '{') {
      ps.ok = false;  // a repetition of nothing
    } else if (c == '(') {
      ++ps.at;
      std::vector<std::string> inner;
      bool inner_alternation = false;
      parse_level(ps, depth + 1, &inner, &inner_alternation);
      if (!ps.ok || *ps.at != ')') {
        ps.ok = false;
        break;
      }
      ++ps.at;
      end_run();
      if (!parse_repetitions(ps, &repeated) && !inner_alternation)
        out->insert(out->end(), inner.begin(), inner.end());
    } else if (plain(c) || (c == '\\' && pattern_special(ps.at[1]))) {
      ps.at += c == '\\' ? 2 : 1;
      const char literal = c == '\\' ? ps.at[-1] : c;
      if (parse_repetitions(ps, &repeated)) {
        end_run();
      } else {
        run.push_back(literal);
        if (repeated) end_run();
      }
    } else if (c == '[') {
      if (!skip_bracket(ps)) ps.ok = false;
      end_run();
      parse_repetitions(ps, &repeated);
    } else {
      // ".", anchors, other escapes (classes, word anchors, back-references), bytes above 127.
      if (c == '\\' && ps.at[1] == '\0') {
        ps.ok = false;
        break;
      }
      ps.at += c == '\\' ? 2 : 1;
      end_run();
      parse_repetitions(ps, &repeated);
    }
  }
  end_run();
}

}  // namespace

std::vector<std::string> required_literals(const char* pattern) {
  if (!pattern) return {};
  parser ps{pattern};
  std::vector<std::string> literals;
  bool alternation = false;
  parse_level(ps, 0, &literals, &alternation);
  if (!ps.ok || alternation) return {};
  std::sort(literals.begin(), literals.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() > b.size() : a < b;
  });
  literals.erase(std::unique(literals.begin(), literals.end()), literals.end());
  if (literals.size() > kMaxLiterals) literals.resize(kMaxLiterals);
  return literals;
}

bool may_match(const std::vector<std::string>& literals, std::string_view text) {
  for (const std::string& literal : literals)
    if (text.find(literal) == std::string_view::npos) return false;
  return true;
}
