#include "rules/pattern_guard.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "rules/pattern_automaton.h"
#include "rules/pattern_tokens.h"

namespace {

// Counts stop here, far above every limit, so no product or sum can overflow.
constexpr uint64_t kCountCap = uint64_t{1} << 40;

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
  // multiplies by one more than the ways its part can match nothing.
  uint64_t empty_loops = 1;
  // Ways the piece can match nothing: an alternation adds its branches' ways, a sequence
  // multiplies its parts' ways, an optional part adds one. Counted repetitions of a part with
  // several such ways ("(|){1,2}{4}{,3}") multiply them; regcomp's time grows with them once a
  // repetition goes round them.
  uint64_t empty_ways = 1;
  // The most ways any piece inside can match nothing: after an anchor regcomp walks them
  // whether or not a repetition goes round them ("^(a?|b?){100}").
  uint64_t most_ways = 1;
  // Anchors ("^", "\b" and the like) on paths that match nothing. regcomp copies what follows an
  // anchor for each constraint it meets on such a path, so its time grows steeply with a run of
  // them ("\b" 48 times in a row takes 1.7 s), and far more steeply when a repetition goes round
  // them: once the repeated part can match nothing in more than one way ("(\b|){5}*"), or goes
  // round more than a few anchors ("(\b\b\b\b\b\b\b\b\b\b)*" stalls it for seconds).
  uint64_t anchors = 0;   // anchors in the piece, counted repetitions multiplied out
  uint64_t run = 0;       // most anchors on a path through the whole piece, if it is nullable
  uint64_t lead = 0;      // most anchors on an empty path from the piece's start
  uint64_t trail = 0;     // most anchors on an empty path to the piece's end
  uint64_t most_run = 0;  // most anchors on an empty path anywhere inside
  uint64_t looped = 0;    // anchors that repetitions of nullable parts go round
};

const part kAtom{.atoms = 1, .entry = 1, .nullable = false, .empty_ways = 0, .most_ways = 0};
const part kEmptyStep{.pairs = 1, .entry = 1, .tail = 1};
const part kAnchor{.pairs = 1,
                   .entry = 1,
                   .tail = 1,
                   .anchors = 1,
                   .run = 1,
                   .lead = 1,
                   .trail = 1,
                   .most_run = 1};

part seq(const part& a, const part& b) {
  part r;
  r.atoms = add(a.atoms, b.atoms);
  r.pairs = add(add(a.pairs, b.pairs), mul(a.tail, b.entry));
  r.entry = a.nullable ? add(a.entry, b.entry) : a.entry;
  r.tail = b.nullable ? add(b.tail, a.tail) : b.tail;
  r.nullable = a.nullable && b.nullable;
  r.repeats = std::max(a.repeats, b.repeats);
  r.empty_loops = mul(a.empty_loops, b.empty_loops);
  r.empty_ways = mul(a.empty_ways, b.empty_ways);
  r.most_ways = std::max({a.most_ways, b.most_ways, r.empty_ways});
  r.anchors = add(a.anchors, b.anchors);
  r.run = r.nullable ? add(a.run, b.run) : 0;
  r.lead = std::max(a.lead, a.nullable ? add(a.run, b.lead) : 0);
  r.trail = std::max(b.trail, b.nullable ? add(b.run, a.trail) : 0);
  r.most_run = std::max({a.most_run, b.most_run, add(a.trail, b.lead)});
  r.looped = add(a.looped, b.looped);
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
  r.empty_ways = add(a.empty_ways, b.empty_ways);
  r.most_ways = std::max({a.most_ways, b.most_ways, r.empty_ways});
  r.anchors = add(a.anchors, b.anchors);
  r.run = std::max(a.run, b.run);  // run is 0 for a piece that is not nullable
  r.lead = std::max(a.lead, b.lead);
  r.trail = std::max(a.trail, b.trail);
  r.most_run = std::max(a.most_run, b.most_run);
  r.looped = add(a.looped, b.looped);
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
  r.empty_loops = x.nullable ? mul(x.empty_loops, add(1, x.empty_ways)) : x.empty_loops;
  r.empty_ways = x.nullable ? add(1, x.empty_ways) : 1;
  r.most_ways = std::max(x.most_ways, r.empty_ways);
  // Round the loop once more: its end reaches its start again without a character.
  const part twice = seq(x, x);
  r.anchors = x.anchors;
  r.run = twice.run;
  r.lead = twice.lead;
  r.trail = twice.trail;
  r.most_run = twice.most_run;
  r.looped = x.looped;
  if (x.nullable && x.anchors > 0)
    r.looped = add(r.looped, x.empty_ways > 1 ? kCountCap : x.anchors);
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
  return seq(seq(kEmptyStep, inside), kEmptyStep);
}

// What one token adds to the pattern: an atom, or an empty step for an anchor.
part item_of(const pattern_token& t, pattern_size* size) {
  if (t.kind == pattern_token_kind::back_reference) size->back_reference = true;
  if (t.kind == pattern_token_kind::anchor) return kAnchor;
  size->written = add(size->written, 1);
  return kAtom;
}

}  // namespace

int pattern_nesting(const char* pattern) {
  int groups = 0, stacked = 0, deepest = 0;
  pattern_reader r(pattern);
  for (;;) {
    const pattern_token t = r.next();  // a fresh constant: see pattern_token
    if (t.kind == pattern_token_kind::end) break;
    if (t.kind == pattern_token_kind::repeat || t.kind == pattern_token_kind::misplaced) {
      ++stacked;  // each operator on the same atom wraps it once more
      // A brace is read as an operator up to the next '}', whether or not it is a count.
      if (*t.at == '{') {
        const char* close = std::strchr(t.at, '}');
        r.at = close ? close + 1 : t.at + std::strlen(t.at);
      }
    } else {
      stacked = 0;
      if (t.kind == pattern_token_kind::open) ++groups;
      if (*t.at == ')' && groups > 0) --groups;
    }
    deepest = std::max(deepest, groups + stacked);
  }
  return deepest;
}

pattern_size measure_pattern(const char* pattern) {
  pattern_size size;
  std::vector<frame> open(1);
  pattern_reader r(pattern);
  for (;;) {
    const pattern_token t = r.next();  // a fresh constant: see pattern_token
    if (t.kind == pattern_token_kind::end) break;
    frame& top = open.back();
    switch (t.kind) {
      case pattern_token_kind::repeat: {
        const uint64_t m = static_cast<uint64_t>(t.min);
        const bool bounded = t.max >= 0;
        top.last =
            repeated(top.last, *t.at, m, bounded ? static_cast<uint64_t>(t.max) : m, bounded);
        break;
      }
      case pattern_token_kind::open:
        top.commit();
        open.emplace_back();
        break;
      case pattern_token_kind::close: {
        const part g = group_of(open.back());
        open.pop_back();
        open.back().last = g;
        open.back().has_last = true;
        break;
      }
      case pattern_token_kind::alternation:
        top.next_branch();
        break;
      default:
        top.commit();
        top.last = item_of(t, &size);
        top.has_last = true;
    }
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
  size.empty_ways = all.most_ways;
  size.anchor_run = all.most_run;
  size.looped_anchors = all.looped;
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
  if (size.empty_ways > KIV_MAX_PATTERN_EMPTY_WAYS)
    return "a part of it can match nothing (as in \"(a?|b?){20}\") in more than " +
           std::to_string(KIV_MAX_PATTERN_EMPTY_WAYS) + " ways";
  if (size.anchor_run > KIV_MAX_PATTERN_ANCHOR_RUN)
    return "more than " + std::to_string(KIV_MAX_PATTERN_ANCHOR_RUN) +
           " anchors (^, $, \\b and the like) in a row with nothing to match between them";
  if (size.looped_anchors > KIV_MAX_PATTERN_LOOPED_ANCHORS)
    return "a repetition goes round anchors (^, $, \\b and the like) in a part that can match "
           "nothing in several ways (as in \"(\\b|)*\"), or round more than " +
           std::to_string(KIV_MAX_PATTERN_LOOPED_ANCHORS) + " of them";
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
