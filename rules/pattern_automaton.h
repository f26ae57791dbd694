// A small matcher for rule patterns, used in place of the C library's compiled expression: a
// position automaton (one state per literal character, "." or bracket expression of the pattern)
// run bit-parallel over the line. It only tells whether the pattern matches somewhere in the
// line, which is all a rule asks. Its size is fixed when the rule is read (about 2 KiB for a
// pattern of up to 64 positions); the C library's engine instead keeps a table of 256
// transitions for every state it has visited, and on hostile lines visits up to 2^n states for
// a pattern of n positions ("\w*a\w{16}b" grew a daemon by 125 MB).
//
// Taken: everything regcomp(REG_EXTENDED) accepts in the C locale, as the C library reads it:
// characters and bytes above 127, escapes ("\w", "\W", "\s", "\S", and "\x" as the character x),
// ".", bracket expressions with ranges, classes and one-character collating symbols and
// equivalence classes, groups (empty ones too), alternation (with empty branches), stacked
// repetitions and intervals, and the zero-width assertions "^", "$", "\b", "\B", "\<", "\>",
// "\`" and "\'" anywhere, with POSIX's verdict where it and the C library's differ (below). Left
// to regexec: a pattern of more than kAutomatonPositions positions
// once repetitions are multiplied out, or one whose copies take too long to read.
#pragma once

#include <regex.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

inline constexpr int kAutomatonPositions = 1024;

// What an assertion sees at a boundary between two bytes of the text: the kind of the byte
// before and of the byte after it (a word byte, another byte, the line's edge, or only the
// text's edge under REG_NOTBOL or REG_NOTEOL), as a context number 4 * before + after.
inline constexpr int kBoundaryContexts = 16;

struct pattern_automaton {
  int positions = 0;  // states of the automaton
  int words = 0;      // 64-bit words in a set of positions
  int classes = 1;    // contexts that no part of the pattern tells apart
  uint8_t context_class[kBoundaryContexts] = {};  // per context: its class
  int inner_class = 0;           // the class of every boundary inside a text; -1 when they differ
  uint16_t empty_when = 0;       // contexts in which the pattern matches the empty text
  bool starts_inside = true;     // a match may start after a byte (false: only at the text's start)
  std::vector<uint64_t> first;   // per class: positions a match may start on
  std::vector<uint64_t> last;    // per class of the boundary after: positions a match may end on
  std::vector<uint64_t> follow;  // per class, per position: the positions that may come next
  std::vector<uint64_t> take;    // per byte value: the positions that take it
};

// The automaton of an extended expression that regcomp(REG_EXTENDED) has accepted, matching
// exactly the texts regexec matches (but see repeats_an_anchored_group); none for a pattern it
// leaves to regexec.
std::optional<pattern_automaton> build_automaton(const char* pattern);

// Whether an anchor stands inside a group that a repetition copies more than once: "+", "{m,}"
// with m of 1 or more, or "{m,n}" with n of 2 or more after the group (also stacked on another
// repetition of it). The one shape in which the automaton and the C library's matcher disagree:
// the automaton gives POSIX's verdict, and glibc's matcher also matches some texts on which
// such an anchor does not hold ("(^a){2}" on "aa"), never the other way round. ("*", "?",
// "{0,}", "{1}" and anchors outside such a group never differ.)
bool repeats_an_anchored_group(const char* pattern);

// Whether the pattern matches somewhere in the text, with regexec's REG_NOTBOL (the text does
// not start a line) and REG_NOTEOL (it does not end one) in eflags.
bool automaton_matches(const pattern_automaton& automaton, std::string_view text, int eflags = 0);
