#include "rules/pattern_tokens.h"

#include <cstring>
#include <string_view>

namespace {

bool digit(char c) {
  return c >= '0' && c <= '9';
}

// The count "{m}", "{m,}", "{m,n}", "{,n}" or "{,}" at p[0] == '{', read as regcomp reads it:
// an escaped '0' or ',' inside stands for the character itself ("a{1\0}" is "a{10}"). Numbers
// stop growing at kPatternCountCap. Fills the bounds and returns the text just past the '}', or
// nullptr when it is no count.
const char* read_count(const char* p, pattern_token* t) {
  const char* q = p + 1;
  char stop = '\0';
  auto number = [&q, &stop, t](int32_t* v) {  // digits up to ',' or '}'; -1 for none
    for (*v = -1;;) {
      const bool escaped = q[0] == '\\' && (q[1] == '0' || q[1] == ',');
      const char c = escaped ? *++q : *q;
      if (c == '\0' || c == '\\') return false;
      t->escaped = t->escaped || escaped;
      ++q;
      if (c == ',' || c == '}') {
        stop = c;
        return true;
      }
      if (!digit(c)) return false;
      *v = *v < 0 ? c - '0' : *v * 10 + (c - '0');
      if (*v > kPatternCountCap) *v = kPatternCountCap;
    }
  };
  int32_t min = 0, max = 0;
  if (!number(&min) || (min < 0 && stop != ',')) return nullptr;
  if (min < 0) min = 0;
  max = min;
  if (stop == ',' && (!number(&max) || stop != '}')) return nullptr;
  if (max >= 0 && max < min) return nullptr;
  t->min = min;
  t->max = max;
  return q;
}

// A member of a bracket expression: a byte, or "[.c.]", "[=c=]" or "[:name:]" (kind '.', '='
// or ':'). As regcomp reads it, the name runs to the first closing delimiter followed by ']'.
struct bracket_member {
  char kind = 'c';
  unsigned char c = 0;
  std::string_view name;
  bool whole = true;  // false: the name is never closed and the member runs to the text's end
};

// Reads the member at *q and moves *q past it.
bracket_member read_member(const char** q) {
  const char* p = *q;
  if (p[0] == '[' && (p[1] == '.' || p[1] == '=' || p[1] == ':')) {
    const char kind = p[1];
    const char* end = p + 2;
    while (*end && !(end[0] == kind && end[1] == ']')) ++end;
    const std::string_view name(p + 2, static_cast<size_t>(end - p - 2));
    const bool whole = *end != '\0';
    *q = whole ? end + 2 : end;
    return {kind, static_cast<unsigned char>(name.size() == 1 ? name[0] : '\0'), name, whole};
  }
  *q = p + 1;
  return {'c', static_cast<unsigned char>(p[0]), {}, true};
}

// The span of the bracket expression at t->at == '[': members up to a ']' that is not the
// first, or the text's end.
void read_bracket(pattern_token* t) {
  const char* q = t->at + 1;
  if (*q == '^') ++q;
  for (bool first = true; *q && (first || *q != ']'); first = false) {
    const bracket_member m = read_member(&q);
    if (m.kind == 'c' && m.c == '\\') t->backslash_member = true;
  }
  t->closed = *q != '\0';
  t->end = t->closed ? q + 1 : q;
}

void add_range(pattern_bytes& b, int lo, int hi) {
  for (int c = lo; c <= hi; ++c) b.set(static_cast<size_t>(c));
}

// The members of a character class as the C locale has them, as ranges of bytes; false for a
// name it lacks.
bool add_class(pattern_bytes& b, std::string_view name) {
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

// A member that stands for one character: a byte, a collating symbol or an equivalence class
// of one character.
bool one_character(const bracket_member& m) {
  return m.whole && (m.kind == 'c' || m.name.size() == 1);
}

}  // namespace

pattern_token pattern_reader::read_token() const {
  pattern_token t;
  t.at = at;
  t.end = at + 1;
  t.c = static_cast<unsigned char>(*at);
  using enum pattern_token_kind;
  switch (*at) {
    case '\0':
      t.end = at;
      t.kind = end;
      return t;
    case '\\':
      if (at[1] == '\0') {
        t.kind = trailing_backslash;
        return t;
      }
      t.end = at + 2;
      t.c = static_cast<unsigned char>(at[1]);
      if (digit(at[1]) && at[1] != '0') {
        t.kind = back_reference;
      } else if (std::strchr("wWsS", at[1])) {
        t.kind = byte_class;
      } else if (std::strchr("bB<>`'", at[1])) {
        t.kind = anchor;
      } else {
        t.kind = byte;
        t.escaped = true;
      }
      return t;
    case '[':
      t.kind = bracket;
      read_bracket(&t);
      return t;
    case '.':
      t.kind = any;
      return t;
    case '^':
    case '$':
      t.kind = anchor;
      return t;
    case '(':
      t.kind = open;
      return t;
    case ')':
      t.kind = depth > 0 ? close : byte;
      return t;
    case '|':
      t.kind = alternation;
      return t;
    case '*':
    case '+':
    case '?':
      t.kind = after_item ? repeat : misplaced;
      t.min = *at == '+' ? 1 : 0;
      t.max = *at == '?' ? 1 : -1;
      return t;
    case '{':
      if (const char* past = after_item ? read_count(at, &t) : nullptr) {
        t.kind = repeat;
        t.end = past;
      } else {
        t = {misplaced, '{', false, true, false, 0, 0, at, at + 1};
      }
      return t;
    default:
      t.kind = byte;
      return t;
  }
}

bool bracket_bytes(const pattern_token& t, pattern_bytes* out) {
  const char* q = t.at + 1;
  const bool negated = *q == '^';
  if (negated) ++q;
  pattern_bytes b;
  for (bool first = true;; first = false) {
    if (*q == '\0') return false;
    if (*q == ']' && !first) break;
    if (*q == '-' && !first && q[1] != ']') return false;
    const bracket_member lo = read_member(&q);
    if (lo.kind == ':') {
      if (!lo.whole || !add_class(b, lo.name)) return false;
    } else if (!one_character(lo)) {
      return false;
    } else if (lo.kind != '=' && q[0] == '-' && q[1] != ']' && q[1] != '\0') {
      ++q;
      const bracket_member hi = read_member(&q);
      if (hi.kind == ':' || hi.kind == '=' || !one_character(hi) || hi.c < lo.c) return false;
      add_range(b, lo.c, hi.c);
    } else {
      b.set(lo.c);
    }
  }
  if (negated) b.flip();
  b.reset(0);  // a line never holds a zero byte; regexec stops at one
  *out = b;
  return true;
}

pattern_bytes byte_class_bytes(unsigned char letter) {
  pattern_bytes b;
  if (letter == 'w' || letter == 'W') {
    add_class(b, "alnum");
    b.set('_');
  } else {
    add_class(b, "space");
  }
  if (letter == 'W' || letter == 'S') b.flip();
  b.reset(0);
  return b;
}

bool pattern_special(unsigned char c) {
  return c != '\0' && std::strchr(".[]\\*+?{}()|^$", c) != nullptr;
}
