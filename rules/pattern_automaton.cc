// The position automaton is built by a recursive descent over the pattern, reading it as glibc's
// regcomp does in the C locale. Each part of the pattern gives a fragment: the positions a match
// of it may start and end on, and the contexts in which it may match nothing; joining fragments
// links the end positions of one to the start positions of the next. A zero-width assertion is a
// fragment of no position that matches nothing only in some contexts, so every link, start and
// end carries the set of boundary contexts it holds in (all of them, in a pattern without
// assertions). A repetition is built by reading its atom again for each copy.
#include "rules/pattern_automaton.h"

#include <algorithm>
#include <bit>
#include <bitset>
#include <cstring>
#include <map>
#include <string>

#include "rules/pattern_syntax.h"

namespace {

using positions = std::bitset<kAutomatonPositions>;
using bytes = std::bitset<256>;
using contexts = uint16_t;  // a set of boundary contexts, bit 4 * before + after

constexpr int kWord = 0, kOther = 1, kLineEdge = 2, kTextEdge = 3;  // what lies beside a boundary
constexpr contexts kAlways = 0xffff;
constexpr int kMaxRepeat = 32767;     // regcomp's own bound on a count
constexpr long kReadBudget = 100000;  // atoms read, copies included, before giving up

// The contexts in which the kinds before and after a boundary satisfy `holds`.
template <typename F>
constexpr contexts when(F holds) {
  contexts c = 0;
  for (int before = 0; before < 4; ++before)
    for (int after = 0; after < 4; ++after)
      if (holds(before, after)) c |= static_cast<contexts>(1u << (before * 4 + after));
  return c;
}
constexpr bool edge(int kind) {
  return kind >= kLineEdge;
}
constexpr contexts kLineStart = when([](int b, int) { return b == kLineEdge; });
constexpr contexts kLineEnd = when([](int, int a) { return a == kLineEdge; });
constexpr contexts kTextStart = when([](int b, int) { return edge(b); });
constexpr contexts kTextEnd = when([](int, int a) { return edge(a); });
constexpr contexts kWordStart = when([](int b, int a) { return b != kWord && a == kWord; });
constexpr contexts kWordEnd = when([](int b, int a) { return b == kWord && a != kWord; });
constexpr contexts kWordEdge = kWordStart | kWordEnd;
constexpr contexts kNotWordEdge = static_cast<contexts>(~kWordEdge);

bool word_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// Positions reached in some contexts; a set of them keeps one entry per distinct context set.
struct guarded {
  contexts in;
  positions at;
};
using guarded_set = std::vector<guarded>;

void add(guarded_set& s, contexts in, const positions& at) {
  if (!in || at.none()) return;
  for (guarded& g : s)
    if (g.in == in) {
      g.at |= at;
      return;
    }
  s.push_back({in, at});
}
void add(guarded_set& s, const guarded_set& more, contexts in = kAlways) {
  for (const guarded& g : more) add(s, g.in & in, g.at);
}

struct fragment {
  guarded_set first, last;
  contexts empty = kAlways;  // where it matches the empty text; the empty pattern: everywhere
};

struct builder {
  const char* at = nullptr;
  bool ok = true;
  long budget = kReadBudget;
  std::vector<bytes> takes;          // per position
  std::vector<guarded_set> follows;  // per position

  fragment position(const bytes& b) {
    fragment f;
    if (takes.size() == kAutomatonPositions) {
      ok = false;
      return f;
    }
    positions p;
    p.set(takes.size());
    f.first = {{kAlways, p}};
    f.last = f.first;
    f.empty = 0;
    takes.push_back(b);
    follows.emplace_back();
    return f;
  }
  void link(const guarded_set& from, const guarded_set& to) {
    for (const guarded& f : from)
      for (size_t p = 0; p < takes.size(); ++p)
        if (f.at.test(p)) add(follows[p], to, f.in);
  }
  fragment join(const fragment& x, const fragment& y) {
    link(x.last, y.first);
    fragment r;
    r.first = x.first;
    add(r.first, y.first, x.empty);
    r.last = y.last;
    add(r.last, x.last, y.empty);
    r.empty = x.empty & y.empty;
    return r;
  }
  fragment either(fragment x, const fragment& y) {
    add(x.first, y.first);
    add(x.last, y.last);
    x.empty |= y.empty;
    return x;
  }
  // Going round through copies that match nothing only narrows the contexts, so a loop is one
  // link from the ends back to the starts.
  fragment repeat(fragment f, bool at_least_once) {
    link(f.last, f.first);
    if (!at_least_once) f.empty = kAlways;
    return f;
  }
};

void add_range(bytes& b, int lo, int hi) {
  for (int c = lo; c <= hi; ++c) b.set(static_cast<size_t>(c));
}

// The members of a character class as the C locale has them, as ranges of bytes; false for a
// name it lacks.
bool add_class(bytes& b, const std::string& name) {
  struct klass {
    const char* name;
    const char* ranges;  // pairs of first and last byte
  };
  static const klass kClasses[] = {
      {"upper", "AZ"},     {"lower", "az"},     {"alpha", "AZaz"},
      {"digit", "09"},     {"alnum", "AZaz09"}, {"xdigit", "09afAF"},
      {"space", "\t\r  "}, {"blank", "\t\t  "}, {"cntrl", "\x01\x1f\x7f\x7f"},
      {"print", " ~"},     {"graph", "!~"},     {"punct", "!/:@[`{~"},
  };
  for (const klass& k : kClasses) {
    if (name != k.name) continue;
    for (const char* r = k.ranges; *r; r += 2)
      add_range(b, static_cast<unsigned char>(r[0]), static_cast<unsigned char>(r[1]));
    return true;
  }
  return false;
}

// A member of a bracket expression: a byte, "[.c.]" or "[=c=]" (in the C locale, the one
// character c) or "[:name:]".
struct member {
  char kind = 'c';  // 'c' a byte, '.' a collating symbol, '=' an equivalence class, ':' a class
  unsigned char c = 0;
  std::string name;
};

// Reads the member at q and moves q past it; false for one regcomp refuses. As regcomp reads it,
// the name runs to the first closing delimiter followed by ']'.
bool read_member(const char*& q, member* m) {
  if (q[0] == '[' && (q[1] == '.' || q[1] == '=' || q[1] == ':')) {
    m->kind = q[1];
    const char* end = q + 2;
    while (*end && !(end[0] == m->kind && end[1] == ']')) ++end;
    if (!*end) return false;
    m->name.assign(q + 2, end);
    q = end + 2;
    if (m->kind == ':') return true;
    if (m->name.size() != 1) return false;
    m->c = static_cast<unsigned char>(m->name[0]);
    return true;
  }
  m->c = static_cast<unsigned char>(*q++);
  return true;
}

// A bracket expression at '[', read as regcomp reads it: a backslash stands for itself, a '-'
// is a range unless it comes first or last, and a class or equivalence class ends no range.
bool bracket(builder& bd, bytes* out) {
  const char* q = bd.at + 1;
  const bool negated = *q == '^';
  if (negated) ++q;
  bytes b;
  for (bool first = true;; first = false) {
    if (*q == '\0') return false;
    if (*q == ']' && !first) break;
    if (*q == '-' && !first && q[1] != ']') return false;
    member lo;
    if (!read_member(q, &lo)) return false;
    if (lo.kind == ':') {
      if (!add_class(b, lo.name)) return false;
    } else if (lo.kind != '=' && q[0] == '-' && q[1] != ']' && q[1] != '\0') {
      ++q;
      member hi;
      if (!read_member(q, &hi) || hi.kind == ':' || hi.kind == '=' || hi.c < lo.c) return false;
      add_range(b, lo.c, hi.c);
    } else {
      b.set(lo.c);
    }
  }
  if (negated) b.flip();
  b.reset(0);  // a line never holds a zero byte; regexec stops at one
  *out = b;
  bd.at = q + 1;
  return true;
}

// The GNU escapes for classes of bytes: "\w" a word byte, "\s" a space, capitals their
// complements.
bool escape_class(char c, bytes* out) {
  bytes b;
  if (c == 'w' || c == 'W') {
    add_class(b, "alnum");
    b.set('_');
  } else if (c == 's' || c == 'S') {
    add_class(b, "space");
  } else {
    return false;
  }
  if (c == 'W' || c == 'S') b.flip();
  b.reset(0);
  *out = b;
  return true;
}

// The zero-width assertions as contexts; 0 for no assertion.
contexts assertion(const char* at) {
  if (at[0] == '^') return kLineStart;
  if (at[0] == '$') return kLineEnd;
  if (at[0] != '\\') return 0;
  switch (at[1]) {
    case '<':
      return kWordStart;
    case '>':
      return kWordEnd;
    case 'b':
      return kWordEdge;
    case 'B':
      return kNotWordEdge;
    case '`':
      return kTextStart;
    case '\'':
      return kTextEnd;
    default:
      return 0;
  }
}

fragment alternation(builder& bd, int depth);

fragment atom(builder& bd, int depth) {
  const char c = *bd.at;
  bytes b;
  if (--bd.budget < 0) bd.ok = false;
  if (!bd.ok) return {};
  if (const contexts in = assertion(bd.at)) {
    bd.at += c == '\\' ? 2 : 1;
    fragment f;
    f.empty = in;
    return f;
  }
  if (c == '(') {
    ++bd.at;
    fragment f = alternation(bd, depth + 1);
    if (!bd.ok || *bd.at != ')') {
      bd.ok = false;
      return {};
    }
    ++bd.at;
    return f;
  }
  if (c == '[') {
    if (!bracket(bd, &b)) bd.ok = false;
    return bd.ok ? bd.position(b) : fragment{};
  }
  if (c == '.') {
    b.set();
    b.reset(0);
  } else if (c == '\\') {
    const char e = bd.at[1];
    if (e == '\0' || (e >= '1' && e <= '9')) {
      bd.ok = false;  // a trailing backslash, a back-reference
      return {};
    }
    if (!escape_class(e, &b)) b.set(static_cast<unsigned char>(e));
    ++bd.at;
  } else if (c == '*' || c == '+' || c == '?' || c == '{' || c == '|' || c == '\0' ||
             (c == ')' && depth > 0)) {
    bd.ok = false;  // a repetition of nothing; regcomp refuses it
    return {};
  } else {
    b.set(
        static_cast<unsigned char>(c));  // ')' outside any group, '}' and ']' stand for themselves
  }
  ++bd.at;
  return bd.position(b);
}

// Reads "*", "+", "?" or a count at bd.at; false when it is none.
bool repetition(builder& bd, pattern_count* n) {
  const char c = *bd.at;
  if (c == '*' || c == '+' || c == '?') {
    ++bd.at;
    *n = {c == '+' ? 1 : 0, c == '?' ? 1 : -1};
    return true;
  }
  const char* end = c == '{' ? read_pattern_count(bd.at, kMaxRepeat + 1, n) : nullptr;
  if (!end || n->min > kMaxRepeat || n->max > kMaxRepeat) return false;
  bd.at = end;
  return true;
}

// The atom at `start` under the first k of its repetitions, read afresh for every copy; the
// atom as first read is handed out once, for the first copy.
struct repeated {
  builder& bd;
  const char* start;
  int depth;
  fragment first_read;
  bool handed = false;
  std::vector<pattern_count> counts;

  fragment atom_copy() {
    if (!handed) {
      handed = true;
      return first_read;
    }
    bd.at = start;
    return atom(bd, depth);
  }
  // m copies, then either a repetition of the last or n - m optional copies.
  fragment under(size_t k) {
    if (k == 0) return atom_copy();
    if (--bd.budget < 0) bd.ok = false;
    const pattern_count n = counts[k - 1];
    fragment whole;
    int made = 0;
    for (; made < n.min && bd.ok; ++made) {
      fragment x = under(k - 1);
      whole = bd.join(whole, made + 1 == n.min && n.max < 0 ? bd.repeat(x, true) : x);
    }
    if (n.max < 0 && n.min == 0) whole = bd.repeat(under(k - 1), false);
    for (; made < n.max && bd.ok; ++made) {
      fragment x = under(k - 1);
      x.empty = kAlways;
      whole = bd.join(whole, x);
    }
    return whole;
  }
};

// An atom and the repetitions stacked on it (each applies to what the ones before made).
fragment piece(builder& bd, int depth) {
  repeated r{bd, bd.at, depth, {}, false, {}};
  const bool zero_width = assertion(bd.at) != 0;
  r.first_read = atom(bd, depth);
  pattern_count n;
  while (bd.ok && repetition(bd, &n)) r.counts.push_back(n);
  if (!bd.ok || r.counts.empty()) return r.first_read;
  if (zero_width || *bd.at == '{') {
    bd.ok = false;  // a repeated assertion, a brace that is no count: regcomp refuses both
    return {};
  }
  const char* after = bd.at;
  fragment f = r.under(r.counts.size());
  bd.at = after;
  return f;
}

fragment branch(builder& bd, int depth) {
  fragment f;  // an empty branch matches the empty text
  while (bd.ok && *bd.at && *bd.at != '|' && !(*bd.at == ')' && depth > 0))
    f = bd.join(f, piece(bd, depth));
  return f;
}

fragment alternation(builder& bd, int depth) {
  fragment f = branch(bd, depth);
  while (bd.ok && *bd.at == '|') {
    ++bd.at;
    f = bd.either(f, branch(bd, depth));
  }
  return f;
}

void store(const positions& s, size_t count, uint64_t* words) {
  for (size_t p = 0; p < count; ++p)
    if (s.test(p)) words[p / 64] |= uint64_t{1} << (p % 64);
}

// The positions of a set reached in context `in`, stored as words.
void store(const guarded_set& s, int in, size_t count, uint64_t* words) {
  for (const guarded& g : s)
    if (g.in >> in & 1) store(g.at, count, words);
}

// Numbers the contexts that no context set of the automaton tells apart as one class.
void classify(const fragment& f, const builder& bd, pattern_automaton* a) {
  std::vector<contexts> sets;
  auto note = [&sets](const guarded_set& s) {
    for (const guarded& g : s) sets.push_back(g.in);
  };
  note(f.first);
  note(f.last);
  for (const guarded_set& s : bd.follows) note(s);
  std::sort(sets.begin(), sets.end());
  sets.erase(std::unique(sets.begin(), sets.end()), sets.end());
  std::map<std::string, int> seen;
  for (int in = 0; in < kBoundaryContexts; ++in) {
    std::string signature;
    for (contexts s : sets) signature += static_cast<char>('0' + (s >> in & 1));
    const auto [it, fresh] = seen.emplace(signature, static_cast<int>(seen.size()));
    a->context_class[in] = static_cast<uint8_t>(it->second);
  }
  a->classes = static_cast<int>(seen.size());
}

}  // namespace

std::optional<pattern_automaton> build_automaton(const char* pattern) {
  if (!pattern) return std::nullopt;
  builder bd;
  bd.at = pattern;
  const fragment f = alternation(bd, 0);
  if (!bd.ok || *bd.at != '\0') return std::nullopt;

  pattern_automaton a;
  const size_t count = bd.takes.size();
  a.positions = static_cast<int>(count);
  a.words = static_cast<int>((count + 63) / 64);
  a.empty_when = f.empty;
  classify(f, bd, &a);
  const size_t w = static_cast<size_t>(a.words), classes = static_cast<size_t>(a.classes);
  a.first.assign(classes * w, 0);
  a.last.assign(classes * w, 0);
  a.follow.assign(classes * count * w, 0);
  a.take.assign(256 * w, 0);
  std::vector<bool> done(classes);
  for (int in = 0; in < kBoundaryContexts; ++in) {
    const size_t k = a.context_class[in];
    if (!done[k]) {
      done[k] = true;
      store(f.first, in, count, a.first.data() + k * w);
      store(f.last, in, count, a.last.data() + k * w);
      for (size_t p = 0; p < count; ++p)
        store(bd.follows[p], in, count, a.follow.data() + (k * count + p) * w);
    }
  }
  a.inner_class = a.context_class[kWord * 4 + kWord];
  for (int in : {kWord * 4 + kOther, kOther * 4 + kWord, kOther * 4 + kOther})
    if (a.context_class[in] != a.inner_class) a.inner_class = -1;
  a.starts_inside = false;
  for (int in = 0; in < kBoundaryContexts; ++in)
    if (!edge(in / 4))
      for (size_t j = 0; j < w; ++j)
        a.starts_inside = a.starts_inside || a.first[a.context_class[in] * w + j];
  for (size_t p = 0; p < count; ++p)
    for (size_t c = 0; c < 256; ++c)
      if (bd.takes[p].test(c)) a.take[c * w + p / 64] |= uint64_t{1} << (p % 64);
  return a;
}

namespace {

// The context of the boundary before text[j].
int context_at(std::string_view text, size_t j, int eflags) {
  const int before = j > 0 ? (word_byte(static_cast<unsigned char>(text[j - 1])) ? kWord : kOther)
                           : (eflags & REG_NOTBOL ? kTextEdge : kLineEdge);
  const int after = j < text.size()
                        ? (word_byte(static_cast<unsigned char>(text[j])) ? kWord : kOther)
                        : (eflags & REG_NOTEOL ? kTextEdge : kLineEdge);
  return before * 4 + after;
}

// The common case: at most 64 positions, and one class for every boundary inside the text.
bool matches_in_one_word(const pattern_automaton& a, std::string_view text, int eflags) {
  const size_t inner = static_cast<size_t>(a.inner_class);
  const size_t states = static_cast<size_t>(a.positions);
  const size_t n = text.size();
  uint64_t now = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t k = i == 0 ? a.context_class[context_at(text, 0, eflags)] : inner;
    const uint64_t* follow = &a.follow[k * states];
    uint64_t next = a.first[k];
    for (uint64_t bits = now; bits; bits &= bits - 1)
      next |= follow[static_cast<size_t>(std::countr_zero(bits))];
    now = next & a.take[static_cast<unsigned char>(text[i])];
    const size_t e = i + 1 == n ? a.context_class[context_at(text, n, eflags)] : inner;
    if (now & a.last[e]) return true;
    if (!now && !a.starts_inside) return false;
  }
  return false;
}

}  // namespace

bool automaton_matches(const pattern_automaton& a, std::string_view text, int eflags) {
  if (a.empty_when)
    for (size_t j = 0; j <= text.size(); ++j)
      if (a.empty_when >> context_at(text, j, eflags) & 1) return true;
  const size_t w = static_cast<size_t>(a.words), count = static_cast<size_t>(a.positions);
  if (count == 0) return false;
  if (w == 1 && a.inner_class >= 0) return matches_in_one_word(a, text, eflags);
  auto class_at = [&](size_t j) -> size_t {
    return a.classes == 1 ? 0 : a.context_class[context_at(text, j, eflags)];
  };
  uint64_t now[kAutomatonPositions / 64] = {};
  for (size_t i = 0; i < text.size(); ++i) {
    const uint64_t* first = a.first.data() + class_at(i) * w;
    const uint64_t* follow = a.follow.data() + class_at(i) * count * w;
    uint64_t next[kAutomatonPositions / 64];
    for (size_t j = 0; j < w; ++j) next[j] = first[j];
    for (size_t m = 0; m < w; ++m)
      for (uint64_t bits = now[m]; bits; bits &= bits - 1) {
        const uint64_t* to = &follow[(m * 64 + static_cast<size_t>(std::countr_zero(bits))) * w];
        for (size_t j = 0; j < w; ++j) next[j] |= to[j];
      }
    const uint64_t* takes = &a.take[static_cast<unsigned char>(text[i]) * w];
    uint64_t any = 0;
    for (size_t j = 0; j < w; ++j) any |= now[j] = next[j] & takes[j];
    if (!any) {
      if (!a.starts_inside) return false;
      continue;
    }
    const uint64_t* last = a.last.data() + class_at(i + 1) * w;
    for (size_t j = 0; j < w; ++j)
      if (now[j] & last[j]) return true;
  }
  return false;
}
