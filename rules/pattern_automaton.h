// A small matcher for the plain shapes of rule patterns, used in place of the C library's
// compiled expression: a position automaton (one state per literal character, "." or bracket
// expression of the pattern) run bit-parallel over the line. It only tells whether the pattern
// matches somewhere in the line, which is all a rule asks. It keeps about 2 KiB per pattern,
// where the C library's engine keeps a table of 256 transitions for every state it has visited:
// tens of kilobytes per pattern after its first match, megabytes for a rule set of a hundred.
//
// Taken: characters that stand for themselves, escapes of special characters, ".", bracket
// expressions of ASCII characters, ranges and character classes, groups, alternation, one "*",
// "+", "?" or interval after an atom, "^" first and "$" last in a pattern without a top-level
// "|". Anything else (stacked repetitions, escapes such as "\w", bytes above 127, anchors
// elsewhere, empty groups or branches, collating elements) stays with regexec, as does a
// pattern of more than kAutomatonPositions positions once intervals are multiplied out.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

inline constexpr int kAutomatonPositions = 256;

struct pattern_automaton {
  int words = 0;                 // 64-bit words in a set of positions
  bool at_start = false;         // "^": a match starts at the line's first byte
  bool at_end = false;           // "$": a match ends at the line's last byte
  bool empty_matches = false;    // the pattern (anchors aside) matches the empty text
  std::vector<uint64_t> first;   // positions a match may start on
  std::vector<uint64_t> last;    // positions a match may end on
  std::vector<uint64_t> follow;  // per position: the positions that may come next
  std::vector<uint64_t> take;    // per byte value: the positions that take it
};

// The automaton of an extended expression that regcomp(REG_EXTENDED) has accepted, matching
// exactly the texts regexec matches; none for a shape it leaves to regexec.
std::optional<pattern_automaton> build_automaton(const char* pattern);

// Whether the pattern matches somewhere in the text. A text that is a piece of a longer line may
// not begin it (at_line_start false: "^" cannot match) or not end it (at_line_end false: "$"
// cannot match), as regexec's REG_NOTBOL and REG_NOTEOL say.
bool automaton_matches(const pattern_automaton& automaton, std::string_view text,
                       bool at_line_start = true, bool at_line_end = true);
