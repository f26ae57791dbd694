// The one reader of a rule pattern's syntax: it cuts a POSIX extended regular expression into
// tokens as glibc's regcomp(REG_EXTENDED) reads it in the C locale. The cost guard, the literal
// prefilter and the automaton each fold over these tokens, and each may decline a shape.
//
// A text regcomp refuses still reads to its end, the way the cost guard has always measured it:
// a repetition operator with nothing before it or a '{' that is no count is a token of its own
// (kind `misplaced`), a trailing backslash too, a bracket expression never closed runs to the
// end, and every token after them reads as usual.
#pragma once

#include <bitset>
#include <cstdint>

enum class pattern_token_kind : uint8_t {
  end,             // the end of the text
  byte,            // a character that stands for itself (c); `escaped` when written "\c"
  any,             // "."
  bracket,         // "[...]"; its members are read by bracket_bytes
  byte_class,      // "\w", "\W", "\s" or "\S" (c the letter)
  anchor,          // "^", "$", "\b", "\B", "\<", "\>", "\`", "\'" (c: '^', '$' or what follows '\')
  back_reference,  // "\1" to "\9"
  open,            // "("
  close,           // the ")" that closes an open group; one outside every group is a byte
  alternation,     // "|"
  repeat,          // "*", "+", "?" or a count "{m,n}" after something it may apply to
  misplaced,       // "*", "+", "?" or "{" with nothing before it, a '{' that is no count: refused
  trailing_backslash,
};

// Read a token into a fresh constant ("const pattern_token t = r.next();") rather than assigning
// it to one read before: it is written a field at a time, and a copy of it whole right after
// stalls the processor (reading a long pattern took twice as long).
struct pattern_token {
  pattern_token_kind kind = pattern_token_kind::end;
  unsigned char c = 0;  // see the kinds
  // byte: written "\c"; repeat: its count holds an escaped character ("{1\0}" is "{10}").
  bool escaped = false;
  bool closed = true;             // bracket: false when it runs to the end of the text
  bool backslash_member = false;  // bracket: a backslash is one of its members
  int32_t min = 0, max = 0;       // repeat: the bounds ("*" 0 and -1; max -1 for none)
  const char* at = nullptr;       // where it is written
  const char* end = nullptr;      // just past it
};

// Counts are read up to here (regcomp refuses anything above 32767).
inline constexpr int32_t kPatternCountCap = int32_t{1} << 20;

// A place in the text and what regcomp knows there: the groups open and whether a repetition
// there would have something to apply to. Copying it marks a place to read from again.
struct pattern_reader {
  const char* at;
  int depth = 0;
  bool after_item = false;

  explicit pattern_reader(const char* text) : at(text) {}
  // The token at the current place.
  pattern_token peek() const {
    const unsigned char c = static_cast<unsigned char>(*at);
    if (plain_byte(c)) return {pattern_token_kind::byte, c, false, true, false, 0, 0, at, at + 1};
    return read_token();
  }
  // Moves past the token just peeked.
  void pass(const pattern_token& t) {
    at = t.end;
    if (t.kind == pattern_token_kind::open) ++depth;
    if (t.kind == pattern_token_kind::close) --depth;
    if (t.kind != pattern_token_kind::end)
      after_item = t.kind != pattern_token_kind::open && t.kind != pattern_token_kind::alternation;
  }
  // The token at the current place, moving past it.
  pattern_token next() {
    const pattern_token t = peek();
    pass(t);
    return t;
  }

 private:
  // Whether c is a character that stands for itself wherever it is written: most are, and they
  // are read here without a call.
  static constexpr bool plain_byte(unsigned char c) {
    switch (c) {
      case '\0':
      case '\\':
      case '[':
      case '.':
      case '^':
      case '$':
      case '(':
      case ')':
      case '|':
      case '*':
      case '+':
      case '?':
      case '{':
        return false;
      default:
        return true;
    }
  }
  pattern_token read_token() const;
};

using pattern_bytes = std::bitset<256>;

// The bytes a bracket expression takes, as regcomp reads its members in the C locale: a
// backslash stands for itself, a '-' is a range unless it comes first or last, classes by
// name, and "[.c.]" and "[=c=]" for the one character c. False for one regcomp refuses. The
// zero byte is never taken (regexec stops at it).
bool bracket_bytes(const pattern_token& bracket, pattern_bytes* out);

// The bytes of "\w" (letters, digits and '_'), "\s" (spaces) and their complements "\W", "\S".
pattern_bytes byte_class_bytes(unsigned char letter);

// The characters with a meaning of their own in every POSIX extended syntax; after a backslash
// each stands for itself.
bool pattern_special(unsigned char c);
