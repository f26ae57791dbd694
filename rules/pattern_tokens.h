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
  anchor,          // "^", "$", "\b", "\B", "\<", "\>", "\`" or "\'" (c the character after '\')
  back_reference,  // "\1" to "\9"
  open,            // "("
  close,           // the ")" that closes an open group; one outside every group is a byte
  alternation,     // "|"
  repeat,          // "*", "+", "?" or a count "{m,n}" after something it may apply to
  misplaced,       // "*", "+", "?" or "{" with nothing before it, or a '{' that is no count
  trailing_backslash,
};

struct pattern_token {
  pattern_token_kind kind = pattern_token_kind::end;
  const char* at = nullptr;   // where it is written
  const char* end = nullptr;  // just past it
  unsigned char c = 0;        // see the kinds
  // byte: written "\c"; repeat: its count holds an escaped character ("{1\0}" is "{10}").
  bool escaped = false;
  bool closed = true;             // bracket: false when it runs to the end of the text
  bool backslash_member = false;  // bracket: a backslash is one of its members
  long min = 0, max = 0;          // repeat: the bounds ("*" 0 and -1; max -1 for none)
};

// Counts are read up to here (regcomp refuses anything above 32767).
inline constexpr long kPatternCountCap = long{1} << 20;

// A place in the text and what regcomp knows there: the groups open and whether a repetition
// there would have something to apply to. Copying it marks a place to read from again.
struct pattern_reader {
  const char* at;
  int depth = 0;
  bool after_item = false;

  explicit pattern_reader(const char* text) : at(text) {}
  // The token at the current place.
  pattern_token peek() const;
  // The token at the current place, moving past it.
  pattern_token next();
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
