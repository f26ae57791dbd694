// Required literals of an extended expression, read by a small recursive descent over its tokens
// (rules/pattern_tokens). A sequence of atoms at one level gives runs of adjacent literal
// characters; a character that a repetition may leave out ("?", "*", "{0,n}", "{,n}") ends a run
// without joining it, one that must occur ("+", "{m}" with m > 0) ends the run after one copy. A
// group gives its own literals when it must occur and holds no alternation. An alternation at a
// level makes that level give nothing. Anything doubtful (a repetition of nothing, an interval not
// written as one, an unmatched parenthesis, a backslash inside a bracket expression, which C
// libraries read differently) makes the whole pattern give nothing: regexec then decides alone.
#include "rules/pattern_literals.h"

#include <algorithm>

#include "rules/pattern_tokens.h"

namespace {

constexpr size_t kMaxLiterals = 4;

using enum pattern_token_kind;

struct parser {
  pattern_reader tokens;
  bool ok = true;  // false: the pattern is not understood, and gives no literal
};

// Whether a character token is one literal character: an escaped special character, or an
// unescaped character that is not special. Bytes above 127 are left out: in a multibyte locale
// they are parts of characters that a repetition would take whole.
bool literal(const pattern_token& t) {
  if (t.escaped) return pattern_special(t.c);
  return t.c < 0x80 && !pattern_special(t.c);
}

// Repetitions after an atom ("*", "+", "?", counts, stacked); true when they let the atom occur
// zero times. *repeated tells whether there was any.
bool parse_repetitions(parser& ps, bool* repeated) {
  bool optional = false;
  *repeated = false;
  for (;;) {
    const pattern_token t = ps.tokens.peek();
    if (t.kind != repeat && t.kind != misplaced) return optional;
    if (t.kind == misplaced || t.escaped) {
      ps.ok = false;  // a '{' that is no count, a count with an escape
      return true;
    }
    if (t.min == 0) optional = true;
    *repeated = true;
    ps.tokens.pass(t);
  }
}

// One level: the branches up to the ')' that closes it (depth > 0) or the end of the pattern.
// Appends the literals every match of the level contains; *alternated tells there was a '|'.
void parse_level(parser& ps, std::vector<std::string>* out, bool* alternated) {
  std::string run;
  auto end_run = [&] {
    if (!run.empty()) out->push_back(run);
    run.clear();
  };
  while (ps.ok) {
    const pattern_token t = ps.tokens.peek();
    if (t.kind == end || t.kind == close) break;
    bool repeated = false;
    switch (t.kind) {
      case alternation:
        *alternated = true;
        end_run();
        ps.tokens.pass(t);
        break;
      case open: {
        ps.tokens.pass(t);
        std::vector<std::string> inner;
        bool inner_alternation = false;
        parse_level(ps, &inner, &inner_alternation);
        if (!ps.ok || ps.tokens.next().kind != close) {
          ps.ok = false;
          break;
        }
        end_run();
        if (!parse_repetitions(ps, &repeated) && !inner_alternation)
          out->insert(out->end(), inner.begin(), inner.end());
        break;
      }
      case byte: {
        // A ')' outside every group is a character to some libraries only.
        if (!t.escaped && t.c == ')') {
          ps.ok = false;
          break;
        }
        ps.tokens.pass(t);
        if (!literal(t)) {
          end_run();
          parse_repetitions(ps, &repeated);
        } else if (parse_repetitions(ps, &repeated)) {
          end_run();
        } else {
          run.push_back(static_cast<char>(t.c));
          if (repeated) end_run();
        }
        break;
      }
      case bracket:
        // A backslash inside one is read differently by C libraries.
        if (!t.closed || t.backslash_member) ps.ok = false;
        ps.tokens.pass(t);
        end_run();
        parse_repetitions(ps, &repeated);
        break;
      case any:
      case byte_class:
      case anchor:
      case back_reference:
        ps.tokens.pass(t);
        end_run();
        parse_repetitions(ps, &repeated);
        break;
      default:
        ps.ok = false;  // a repetition of nothing, a trailing backslash
    }
  }
  end_run();
}

}  // namespace

std::vector<std::string> required_literals(const char* pattern) {
  if (!pattern) return {};
  parser ps{pattern_reader(pattern)};
  std::vector<std::string> literals;
  bool alternated = false;
  parse_level(ps, &literals, &alternated);
  if (!ps.ok || alternated) return {};
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
