#include "rules/pattern_guard.h"

#include <algorithm>
#include <vector>

#include "rules/pattern_automaton.h"
#include "rules/pattern_syntax.h"

namespace {

// Counts stop here, far above every limit, so no product or sum can overflow.
constexpr uint64_t kCountCap = uint64_t{1} << 40;
// Repetition counts are read up to here; regcomp refuses anything above 32767 anyway.
constexpr uint64_t kRepeatCap = uint64_t{1} << 20;

uint64_t add(uint64_t a, uint64_t b) {
  return std::min(kCountCap, a + b);
}
uint64_t mul(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kCountCap / b ? kCountCap : std::min(kCountCap, a * b);
}

// What a piece of the pattern compiles to, in the terms that cost memory. regcomp keeps, for
// every empty step (alternative, repetition, group bound, anchor), the set of steps and atoms
// it reaches without consuming a character: a chain of optional parts or alternatives makes
// that quadratic.
struct part {
  uint64_t atoms = 0;
  uint64_t pairs = 0;    // sum of those reach sets inside the piece
  uint64_t entry = 0;    // nodes reached from the start without consuming a character
  uint64_t tail = 0;     // empty steps from which the end is reached the same way
  bool nullable = true;  // the piece can match nothing; the empty piece is all zero
  uint64_t repeats = 0;  // repetitions applying one inside another, at the deepest
  // Ways regcomp may go round repetitions of parts that can match nothing: each such repetition
  // multiplies by one more than the alternatives of its part that can match nothing.
  uint64_t empty_loops = 1;
  uint64_t empty_branches = 0;  // alternatives of the piece that can match nothing
};

const part kAtom{1, 0, 1, 0, false, 0, 1, 0};
const part kEmptyStep{0, 1, 1, 1, true, 0, 1, 1};

part seq(const part& a, const part& b) {
  part r;
  r.atoms = add(a.atoms, b.atoms);
  r.pairs = add(add(a.pairs, b.pairs), mul(a.tail, b.entry));
  r.entry = a.nullable ? add(a.entry, b.entry) : a.entry;
  r.tail = b.nullable ? add(b.tail, a.tail) : b.tail;
  r.nullable = a.nullable && b.nullable;
  r.repeats = std::max(a.repeats, b.repeats);
  r.empty_loops = mul(a.empty_loops, b.empty_loops);
  r.empty_branches = r.nullable ? 1 : 0;
  return r;
}

// One alternation step joining two branches.
part alt(const part& a, const part& b) {
  part r;
  r.atoms = add(a.atoms, b.atoms);
  r.entry = add(1, add(a.entry, b.entry));
  r.pairs = add(add(a.pairs, b.pairs), r.entry);
  r.nullable = a.nullable || b.nullable;
  r.tail = add(add(a.tail, b.tail), r.nullable ? 1 : 0);
  r.repeats = std::max(a.repeats, b.repeats);
  r.empty_loops = mul(a.empty_loops, b.empty_loops);
  r.empty_branches = add(a.empty_branches, b.empty_branches);
  return r;
}

// "x?": an alternation with nothing.
part optional(const part& x) {
  return alt(x, part{});
}

// "x*": the step reaches x's start and, from every one of x's tail steps, again.
part star(const part& x) {
  part r;
  r.atoms = x.atoms;
  r.entry = add(1, x.entry);
  r.pairs = add(x.pairs, mul(add(1, x.tail), r.entry));
  r.tail = add(1, x.tail);
  r.nullable = true;
  r.empty_loops = x.nullable ? mul(x.empty_loops, add(1, x.empty_branches)) : x.empty_loops;
  r.empty_branches = 1;
  return r;
}

bool saturated(const part& x) {
  return x.atoms >= kCountCap || x.pairs >= kCountCap;
}

// x repeated n times in a row; stops counting once the sums saturate.
part copies(const part& x, uint64_t n) {
  part r;
  for (uint64_t k = 0; k < n && !saturated(r); ++k) r = seq(r, x);
  return r;
}

// One open group: its finished alternatives, the branch being read, and the item a following
// repetition operator applies to.
struct frame {
  part alternatives;
  bool has_alternatives = false;
  part done;
  part last;
  bool has_last = false;
  void commit() {
    done = seq(done, last);
    last = {};
    has_last = false;
  }
  void next_branch() {
    commit();
    alternatives = has_alternatives ? alt(alternatives, done) : done;
    has_alternatives = true;
    done = {};
  }
  part total() const {
    const part branch = seq(done, last);
    return has_alternatives ? alt(alternatives, branch) : branch;
  }
};

// Index just past the bracket expression that starts at p[i] == '['; the text's end when it is
// never closed (regcomp then refuses it).
size_t skip_bracket(const char* p, size_t i) {
  ++i;
  if (p[i] == '^') ++i;
  if (p[i] == ']') ++i;  // a leading ']' is a member
  while (p[i] && p[i] != ']') {
    if (p[i] == '[' && (p[i + 1] == ':' || p[i + 1] == '.' || p[i + 1] == '=')) {
      const char kind = p[i + 1];
      i += 2;
      while (p[i] && !(p[i] == kind && p[i + 1] == ']')) ++i;
      if (p[i]) i += 2;
    } else {
      ++i;
    }
  }
  return p[i] ? i + 1 : i;
}

// A counted repetition at p[i] == '{'. On success i is past the '}' and the bounds are set
// (unbounded: n == m and bounded == false).
bool read_interval(const char* p, size_t& i, uint64_t& m, uint64_t& n, bool& bounded) {
  pattern_count count;
  const char* end = read_pattern_count(p + i, static_cast<long>(kRepeatCap), &count);
  if (!end) return false;
  i = static_cast<size_t>(end - p);
  m = static_cast<uint64_t>(count.min);
  bounded = count.max >= 0;
  n = bounded ? static_cast<uint64_t>(count.max) : m;
  return true;
}

// What regcomp makes of x under a repetition: "x+" is "xx*"; "x{m,n}" is m copies followed by
// n-m nested optional ones, "(((x)?x)?x)?"; "x{m,}" is m copies and a starred one.
part repeated_once(const part& x, char op, uint64_t m, uint64_t n, bool bounded) {
  switch (op) {
    case '*':
      return star(x);
    case '?':
      return optional(x);
    case '+':
      return seq(x, star(x));
    default:
      break;
  }
  if (!bounded) return seq(copies(x, m), star(x));
  part rest;
  for (uint64_t k = m; k < n && !saturated(rest); ++k) rest = optional(k == m ? x : seq(rest, x));
  return seq(copies(x, m), rest);
}

part repeated(const part& x, char op, uint64_t m, uint64_t n, bool bounded) {
  part r = repeated_once(x, op, m, n, bounded);
  r.repeats = x.repeats + 1;
  return r;
}

// A closed group: its contents between the two steps that mark the subexpression.
part group_of(const frame& f) {
  const part inside = f.total();
  part g = seq(seq(kEmptyStep, inside), kEmptyStep);
  g.empty_branches = inside.empty_branches;
  return g;
}

}  // namespace

int pattern_nesting(const char* p) {
  int groups = 0, stacked = 0, deepest = 0;
  size_t i = 0;
  while (p[i]) {
    const char c = p[i];
    if (c == '*' || c == '+' || c == '?' || c == '{') {
      ++stacked;  // each operator on the same atom wraps it once more
      if (c == '{')
        while (p[i] && p[i] != '}') ++i;
      if (p[i]) ++i;
    } else {
      stacked = 0;
      if (c == '\\') {
        i += p[i + 1] ? 2 : 1;
      } else if (c == '[') {
        i = skip_bracket(p, i);
      } else {
        if (c == '(') ++groups;
        if (c == ')' && groups > 0) --groups;
        ++i;
      }
    }
    if (groups + stacked > deepest) deepest = groups + stacked;
  }
  return deepest;
}

// Escapes regcomp reads as anchors, which are empty steps too.
bool is_anchor_escape(char c) {
  return c == 'b' || c == 'B' || c == '<' || c == '>' || c == '`' || c == '\'';
}

pattern_size measure_pattern(const char* p) {
  pattern_size size;
  std::vector<frame> open(1);
  size_t i = 0;
  while (p[i]) {
    frame& top = open.back();
    const char c = p[i];
    if ((c == '*' || c == '+' || c == '?' || c == '{') && top.has_last) {
      uint64_t m = 0, n = 0;
      bool bounded = true;
      if (c != '{') {
        ++i;
        top.last = repeated(top.last, c, 0, 0, true);
        continue;
      }
      if (read_interval(p, i, m, n, bounded)) {
        top.last = repeated(top.last, c, m, n, bounded);
        continue;
      }
      // Not an interval: the brace is an ordinary character.
    }
    if (c == '(') {
      top.commit();
      open.emplace_back();
      ++i;
      continue;
    }
    if (c == ')' && open.size() > 1) {
      const part g = group_of(open.back());
      open.pop_back();
      open.back().last = g;
      open.back().has_last = true;
      ++i;
      continue;
    }
    if (c == '|') {
      top.next_branch();
      ++i;
      continue;
    }
    top.commit();
    part item = kAtom;
    if (c == '\\') {
      if (p[i + 1] >= '1' && p[i + 1] <= '9') size.back_reference = true;
      if (is_anchor_escape(p[i + 1])) item = kEmptyStep;
      i += p[i + 1] ? 2 : 1;
    } else if (c == '[') {
      i = skip_bracket(p, i);
    } else {
      if (c == '^' || c == '$') item = kEmptyStep;
      ++i;
    }
    top.last = item;
    top.has_last = true;
    size.written = add(size.written, item.atoms);
  }
  // Groups never closed (regcomp refuses them) still count for what they hold.
  while (open.size() > 1) {
    const part g = group_of(open.back());
    open.pop_back();
    open.back().commit();
    open.back().last = g;
  }
  const part all = open.back().total();
  size.atoms = all.atoms;
  size.empty_pairs = all.pairs;
  size.repeat_depth = all.repeats;
  size.empty_loops = all.empty_loops;
  return size;
}

std::string pattern_refusal(const char* pattern) {
  if (pattern_nesting(pattern) > KIV_MAX_PATTERN_NESTING)
    return "nested more than " + std::to_string(KIV_MAX_PATTERN_NESTING) + " levels deep";
  const pattern_size size = measure_pattern(pattern);
  if (size.back_reference) return "a back-reference (\\1 to \\9) is not supported";
  if (size.atoms > size.written + KIV_MAX_PATTERN_COPIES)
    return "counted repetitions copy more than " + std::to_string(KIV_MAX_PATTERN_COPIES) +
           " atoms";
  if (size.atoms > KIV_MAX_PATTERN_ATOMS)
    return "too long: " + std::to_string(size.atoms) +
           " atoms (characters and bracket expressions) once counted repetitions are multiplied "
           "out, more than " +
           std::to_string(KIV_MAX_PATTERN_ATOMS) + " (about 4 MB to compile)";
  if (size.repeat_depth > KIV_MAX_PATTERN_REPEAT_DEPTH)
    return "repetitions nested " + std::to_string(size.repeat_depth) + " deep, more than " +
           std::to_string(KIV_MAX_PATTERN_REPEAT_DEPTH);
  if (size.empty_pairs > KIV_MAX_PATTERN_EMPTY_PAIRS)
    return "its alternatives, optional parts and groups reach each other in more than " +
           std::to_string(KIV_MAX_PATTERN_EMPTY_PAIRS) + " ways";
  if (size.empty_loops > KIV_MAX_PATTERN_EMPTY_LOOPS)
    return "repetitions of parts that can match nothing (as in \"(a*)*\") combine in more than " +
           std::to_string(KIV_MAX_PATTERN_EMPTY_LOOPS) + " ways";
  return {};
}

std::string regexec_refusal(const char* pattern) {
  const uint64_t atoms = measure_pattern(pattern).atoms;
  if (atoms <= KIV_MAX_REGEXEC_ATOMS) return {};
  const std::string why = atoms > kAutomatonPositions
                              ? "more than " + std::to_string(kAutomatonPositions) +
                                    " atoms, which kiv's own matcher does not take"
                              : "a shape kiv's own matcher does not take";
  return why + ": " + std::to_string(atoms) +
         " atoms (characters and bracket expressions) once counted repetitions are multiplied "
         "out, and the C library's matcher could grow without bound on such a pattern (at most " +
         std::to_string(KIV_MAX_REGEXEC_ATOMS) + " atoms are left to it)";
}
