// The position automaton is built by a recursive descent over the pattern's tokens
// (rules/pattern_tokens), which read it as glibc's regcomp does in the C locale. Each part of the
// pattern gives a fragment: the positions a match of it may start and end on, and the contexts in
// which it may match nothing; joining fragments links the end positions of one to the start
// positions of the next. A zero-width assertion is a fragment of no position that matches nothing
// only in some contexts, so every link, start and end carries the set of boundary contexts it holds
// in (all of them, in a pattern without assertions). A repetition is built by reading its atom's
// tokens again for each copy.
#include "rules/pattern_automaton.h"

#include <algorithm>
#include <bit>
#include <bitset>
#include <map>
#include <string>

#include "rules/pattern_tokens.h"

namespace {

using positions = std::bitset<kAutomatonPositions>;
using bytes = pattern_bytes;
using contexts = uint16_t;  // a set of boundary contexts, bit 4 * before + after

constexpr int kWord = 0, kOther = 1, kLineEdge = 2, kTextEdge = 3;  // what lies beside a boundary
constexpr contexts kAlways = 0xffff;
constexpr int kMaxRepeat = 32767;     // regcomp's own bound on a count
constexpr long kReadBudget = 100000;  // atoms read, copies included, before giving up

struct count {
  long min, max;  // max -1 for none
};

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
  pattern_reader tokens{""};
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

// The zero-width assertions as contexts; 0 for no assertion.
contexts assertion(const pattern_token& t) {
  if (t.kind != pattern_token_kind::anchor) return 0;
  switch (t.c) {
    case '^':
      return kLineStart;
    case '$':
      return kLineEnd;
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
    default:  // '\''
      return kTextEnd;
  }
}

fragment alternation(builder& bd);

fragment atom(builder& bd) {
  if (--bd.budget < 0) bd.ok = false;
  if (!bd.ok) return {};
  const pattern_token t = bd.tokens.next();
  bytes b;
  switch (t.kind) {
    case pattern_token_kind::anchor: {
      fragment f;
      f.empty = assertion(t);
      return f;
    }
    case pattern_token_kind::open: {
      fragment f = alternation(bd);
      if (!bd.ok || bd.tokens.next().kind != pattern_token_kind::close) {
        bd.ok = false;
        return {};
      }
      return f;
    }
    case pattern_token_kind::bracket:
      if (!bracket_bytes(t, &b)) {
        bd.ok = false;
        return {};
      }
      break;
    case pattern_token_kind::any:
      b.set();
      b.reset(0);
      break;
    case pattern_token_kind::byte_class:
      b = byte_class_bytes(t.c);
      break;
    case pattern_token_kind::byte:  // ')' outside any group, '}' and ']' stand for themselves
      b.set(t.c);
      break;
    default:
      // A back-reference, a trailing backslash, a repetition of nothing or a brace that is no
      // count: regcomp refuses all but the first.
      bd.ok = false;
      return {};
  }
  return bd.position(b);
}

// The atom at `start` under the first k of its repetitions, read afresh for every copy; the
// atom as first read is handed out once, for the first copy.
struct repeated {
  builder& bd;
  pattern_reader start;
  fragment first_read;
  bool handed = false;
  std::vector<count> counts;

  fragment atom_copy() {
    if (!handed) {
      handed = true;
      return first_read;
    }
    bd.tokens = start;
    return atom(bd);
  }
  // m copies, then either a repetition of the last or n - m optional copies.
  fragment under(size_t k) {
    if (k == 0) return atom_copy();
    if (--bd.budget < 0) bd.ok = false;
    const count n = counts[k - 1];
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
fragment piece(builder& bd) {
  repeated r{bd, bd.tokens, {}, false, {}};
  const bool zero_width = assertion(bd.tokens.peek()) != 0;
  r.first_read = atom(bd);
  while (bd.ok) {
    const pattern_token t = bd.tokens.peek();
    if (t.kind != pattern_token_kind::repeat) break;
    if (t.min > kMaxRepeat || t.max > kMaxRepeat) bd.ok = false;  // regcomp refuses it
    r.counts.push_back({t.min, t.max});
    bd.tokens.pass(t);
  }
  if (!bd.ok || r.counts.empty()) return r.first_read;
  if (zero_width) {
    bd.ok = false;  // a repeated assertion: regcomp refuses it
    return {};
  }
  const pattern_reader after = bd.tokens;
  fragment f = r.under(r.counts.size());
  bd.tokens = after;
  return f;
}

fragment branch(builder& bd) {
  fragment f;  // an empty branch matches the empty text
  for (pattern_token_kind k = bd.tokens.peek().kind;
       bd.ok && k != pattern_token_kind::end && k != pattern_token_kind::alternation &&
       k != pattern_token_kind::close;
       k = bd.tokens.peek().kind)
    f = bd.join(f, piece(bd));
  return f;
}

fragment alternation(builder& bd) {
  fragment f = branch(bd);
  while (bd.ok && bd.tokens.peek().kind == pattern_token_kind::alternation) {
    bd.tokens.next();
    f = bd.either(f, branch(bd));
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
  bd.tokens = pattern_reader(pattern);
  const fragment f = alternation(bd);
  if (!bd.ok || bd.tokens.peek().kind != pattern_token_kind::end) return std::nullopt;

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
  size_t k = class_at(0);  // the context before byte i, found once a byte
  for (size_t i = 0; i < text.size(); ++i) {
    const uint64_t* first = a.first.data() + k * w;
    const uint64_t* follow = a.follow.data() + k * count * w;
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
    k = class_at(i + 1);
    if (!any) {
      if (!a.starts_inside) return false;
      continue;
    }
    const uint64_t* last = a.last.data() + k * w;
    for (size_t j = 0; j < w; ++j)
      if (now[j] & last[j]) return true;
  }
  return false;
}

bool repeats_an_anchored_group(const char* pattern) {
  pattern_reader reader(pattern);
  std::vector<bool> anchored;  // per open group: whether an anchor stands inside it
  bool after_anchored_group = false;
  for (;;) {
    const pattern_token t = reader.next();
    bool follows_group = false;
    switch (t.kind) {
      case pattern_token_kind::end:
        return false;
      case pattern_token_kind::open:
        anchored.push_back(false);
        break;
      case pattern_token_kind::close:
        follows_group = anchored.back();
        anchored.pop_back();
        if (follows_group && !anchored.empty()) anchored.back() = true;
        break;
      case pattern_token_kind::anchor:
        if (!anchored.empty()) anchored.back() = true;
        break;
      case pattern_token_kind::repeat:
        if (after_anchored_group && ((t.max < 0 && t.min >= 1) || t.max >= 2)) return true;
        follows_group = after_anchored_group;  // a repetition stacked on the group's
        break;
      default:
        break;
    }
    after_anchored_group = follows_group;
  }
}
