// The position automaton is built by a recursive descent over the pattern. Each part of the
// pattern gives a fragment: the positions a match of it may start and end on, and whether it
// may match nothing; joining fragments links the end positions of one to the start positions of
// the next. An interval is built by reading its atom again for each copy. Whatever POSIX leaves
// undefined, or C libraries read differently, makes the builder give up.
#include "rules/pattern_automaton.h"

#include <bit>
#include <bitset>
#include <cstring>
#include <string>

#include "rules/pattern_syntax.h"

namespace {

using positions = std::bitset<kAutomatonPositions>;
using bytes = std::bitset<256>;

constexpr int kMaxRepeat = 255;

struct fragment {
  positions first, last;
  bool empty = true;  // matches the empty text
};

struct builder {
  const char* at = nullptr;
  bool ok = true;
  std::vector<bytes> takes;        // per position
  std::vector<positions> follows;  // per position

  fragment position(const bytes& b) {
    fragment f;
    if (takes.size() == kAutomatonPositions) {
      ok = false;
      return f;
    }
    f.first.set(takes.size());
    f.last = f.first;
    f.empty = false;
    takes.push_back(b);
    follows.emplace_back();
    return f;
  }
  void link(const positions& from, const positions& to) {
    for (size_t p = 0; p < takes.size(); ++p)
      if (from.test(p)) follows[p] |= to;
  }
  fragment join(const fragment& x, const fragment& y) {
    link(x.last, y.first);
    fragment r;
    r.first = x.empty ? x.first | y.first : x.first;
    r.last = y.empty ? x.last | y.last : y.last;
    r.empty = x.empty && y.empty;
    return r;
  }
  fragment repeat(fragment f, bool at_least_once) {
    link(f.last, f.first);
    f.empty = f.empty || !at_least_once;
    return f;
  }
};

bool ascii(char c) {
  return static_cast<unsigned char>(c) < 0x80;
}

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

// A bracket expression at '['. A backslash, a collating element or an equivalence class inside
// one, a range ending in a class or running backwards, or a byte above 127 is left to regexec.
bool bracket(builder& bd, bytes* out) {
  const char* q = bd.at + 1;
  const bool negated = *q == '^';
  if (negated) ++q;
  bytes b;
  for (bool first = true;; first = false) {
    const char c = *q;
    if (c == '\0' || c == '\\' || !ascii(c)) return false;
    if (c == ']' && !first) break;
    if (c == '[' && (q[1] == '.' || q[1] == '=')) return false;
    if (c == '[' && q[1] == ':') {
      const char* end = std::strstr(q + 2, ":]");
      if (!end || !add_class(b, std::string(q + 2, end)) || (end[2] == '-' && end[3] != ']'))
        return false;
      q = end + 2;
      continue;
    }
    if (q[1] == '-' && q[2] != ']' && q[2] != '\0') {
      const char hi = q[2];
      if (hi == '[' || hi == '\\' || !ascii(hi) || hi < c || (q[3] == '-' && q[4] != ']'))
        return false;
      add_range(b, static_cast<unsigned char>(c), static_cast<unsigned char>(hi));
      q += 3;
    } else {
      b.set(static_cast<unsigned char>(c));
      ++q;
    }
  }
  if (negated) b.flip();
  b.reset(0);  // a line never holds a zero byte; regexec stops at one
  *out = b;
  bd.at = q + 1;
  return true;
}

fragment alternation(builder& bd, int depth, bool* branched);

fragment atom(builder& bd, int depth) {
  const char c = *bd.at;
  bytes b;
  if (c == '(') {
    ++bd.at;
    if (*bd.at == ')') bd.ok = false;  // an empty group
    bool branched = false;
    fragment f = alternation(bd, depth + 1, &branched);
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
  } else if (c == '\\' && pattern_special(bd.at[1])) {
    ++bd.at;
    b.set(static_cast<unsigned char>(*bd.at));
  } else if (pattern_special(c) && c != ']') {
    bd.ok = false;  // an anchor inside, a repetition of nothing, an interval brace, "\w"...
    return {};
  } else if (!ascii(c)) {
    bd.ok = false;
    return {};
  } else {
    b.set(static_cast<unsigned char>(c));
  }
  ++bd.at;
  return bd.position(b);
}

// Reads "{m}", "{m,}" or "{m,n}" at '{'; false when it is none of them.
bool interval(builder& bd, int* min, int* max) {
  const char* q = bd.at + 1;
  auto number = [&q](int* n) {
    if (!pattern_digit(*q)) return false;
    for (*n = 0; pattern_digit(*q); ++q)
      if ((*n = *n * 10 + (*q - '0')) > kMaxRepeat) return false;
    return true;
  };
  if (!number(min)) return false;
  *max = *min;
  if (*q == ',') {
    ++q;
    *max = -1;
    if (pattern_digit(*q) && (!number(max) || *max < *min)) return false;
  }
  if (*q != '}') return false;
  bd.at = q + 1;
  return true;
}

// An atom and the one repetition that may follow it.
fragment piece(builder& bd, int depth) {
  const char* start = bd.at;
  fragment f = atom(bd, depth);
  if (!bd.ok) return f;
  const char c = *bd.at;
  int min = 1, max = 1;
  if (c == '*' || c == '+' || c == '?') {
    ++bd.at;
    min = c == '+' ? 1 : 0;
    max = c == '?' ? 1 : -1;
  } else if (c == '{' && !interval(bd, &min, &max)) {
    bd.ok = false;
  }
  if (!bd.ok || (min == 1 && max == 1)) return f;
  if (*bd.at && std::strchr("*+?{", *bd.at)) {
    bd.ok = false;  // stacked repetitions: undefined, and read differently
    return f;
  }
  // m copies, then either a repetition of the last or n - m optional copies.
  const char* after = bd.at;
  auto copy = [&](int k) {
    if (k == 0) return f;
    bd.at = start;
    return atom(bd, depth);
  };
  fragment whole;
  int made = 0;
  for (; made < min && bd.ok; ++made) {
    fragment x = copy(made);
    whole = bd.join(whole, made + 1 == min && max < 0 ? bd.repeat(x, true) : x);
  }
  if (max < 0 && min == 0) whole = bd.repeat(copy(made++), false);
  for (; made < max && bd.ok; ++made) {
    fragment x = copy(made);
    x.empty = true;
    whole = bd.join(whole, x);
  }
  bd.at = after;
  return whole;
}

fragment branch(builder& bd, int depth) {
  if (*bd.at == '\0' || *bd.at == '|' || *bd.at == ')') bd.ok = false;  // an empty branch
  fragment f;
  while (bd.ok && *bd.at && *bd.at != '|' && *bd.at != ')') f = bd.join(f, piece(bd, depth));
  return f;
}

fragment alternation(builder& bd, int depth, bool* branched) {
  fragment f = branch(bd, depth);
  while (bd.ok && *bd.at == '|') {
    ++bd.at;
    *branched = true;
    fragment g = branch(bd, depth);
    f.first |= g.first;
    f.last |= g.last;
    f.empty = f.empty || g.empty;
  }
  return f;
}

// Whether the '$' that ends the pattern is an anchor, not an escaped character.
bool ends_in_anchor(const std::string& p) {
  if (p.empty() || p.back() != '$') return false;
  size_t slashes = 0;
  while (slashes + 1 < p.size() && p[p.size() - 2 - slashes] == '\\') ++slashes;
  return slashes % 2 == 0;
}

void store(const positions& s, uint64_t* words) {
  for (size_t p = 0; p < kAutomatonPositions; ++p)
    if (s.test(p)) words[p / 64] |= uint64_t{1} << (p % 64);
}

}  // namespace

std::optional<pattern_automaton> build_automaton(const char* pattern) {
  if (!pattern) return std::nullopt;
  pattern_automaton a;
  std::string body(pattern);
  a.at_start = !body.empty() && body[0] == '^';
  if (a.at_start) body.erase(0, 1);
  a.at_end = ends_in_anchor(body);
  if (a.at_end) body.pop_back();
  builder bd;
  bd.at = body.c_str();
  bool branched = false;
  const fragment f = alternation(bd, 0, &branched);
  if (!bd.ok || *bd.at != '\0' || (branched && (a.at_start || a.at_end))) return std::nullopt;

  const size_t count = bd.takes.size();
  a.words = static_cast<int>((count + 63) / 64);
  const size_t w = static_cast<size_t>(a.words);
  a.empty_matches = f.empty;
  a.first.assign(w, 0);
  a.last.assign(w, 0);
  a.follow.assign(count * w, 0);
  a.take.assign(256 * w, 0);
  store(f.first, a.first.data());
  store(f.last, a.last.data());
  for (size_t p = 0; p < count; ++p) {
    store(bd.follows[p], &a.follow[p * w]);
    for (size_t c = 0; c < 256; ++c)
      if (bd.takes[p].test(c)) a.take[c * w + p / 64] |= uint64_t{1} << (p % 64);
  }
  return a;
}

bool automaton_matches(const pattern_automaton& a, std::string_view text, bool at_line_start,
                       bool at_line_end) {
  if ((a.at_start && !at_line_start) || (a.at_end && !at_line_end)) return false;
  if (a.empty_matches && (!a.at_start || !a.at_end || text.empty())) return true;
  const size_t w = static_cast<size_t>(a.words);
  uint64_t now[kAutomatonPositions / 64] = {};
  for (size_t i = 0; i < text.size(); ++i) {
    uint64_t next[kAutomatonPositions / 64] = {};
    for (size_t k = 0; k < w; ++k)
      for (uint64_t bits = now[k]; bits; bits &= bits - 1) {
        const uint64_t* to = &a.follow[(k * 64 + static_cast<size_t>(std::countr_zero(bits))) * w];
        for (size_t j = 0; j < w; ++j) next[j] |= to[j];
      }
    const uint64_t* takes = &a.take[static_cast<unsigned char>(text[i]) * w];
    const bool may_start = !a.at_start || i == 0;
    bool any = false, ends = false;
    for (size_t k = 0; k < w; ++k) {
      now[k] = (next[k] | (may_start ? a.first[k] : 0)) & takes[k];
      any = any || now[k];
      ends = ends || (now[k] & a.last[k]);
    }
    if (ends && !a.at_end) return true;
    if (!any && a.at_start) return false;
  }
  for (size_t k = 0; k < w; ++k)
    if (now[k] & a.last[k]) return true;
  return false;
}
