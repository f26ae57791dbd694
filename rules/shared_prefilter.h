// The literal prefilter of a whole rule set: every literal that an active rule's pattern requires
// (rules/pattern_literals), all found in one pass over a line by one Aho-Corasick automaton. A
// rule may match a line only when the line holds every one of its literals; the walk hands only
// those rules to their own matcher and writes the non-match records of the others at once. The
// verdict is the one each rule's own prefilter gives (the same literals, looked for in the same
// text), and a line costs its length plus the few rules it may match, not a search per rule.
//
// Its size is fixed when the rules are read. The automaton has at most kSharedPrefilterStates
// states (one per byte of the distinct literals at most, shared prefixes once), about 13 bytes
// each, and full rows for the first kSharedPrefilterRows of them (32 KiB at most): about 880 KiB
// in all at the most. The rules' literals are taken in file order, rule by rule, while they fit; a
// rule whose literals would not fit, that has none or that has no pattern is left to its own
// prefilter, so a set too large for the automaton loads and matches as it did without it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "rules/monitor_profile.h"

inline constexpr uint32_t kSharedPrefilterStates = 65535;
// States with a full row of 256 next states (512 bytes each): the shallow ones, where a scan
// spends most of its bytes.
inline constexpr uint32_t kSharedPrefilterRows = 64;

struct shared_prefilter {
  uint32_t rules = 0;     // profiles of the set it was built for; 0: none
  uint32_t literals = 0;  // distinct literals in the automaton
  // States are numbered breadth first, 0 the root. The first `rows` have a full row of next
  // states, `row[256 * s + byte]`, their failures followed (0: back to the root).
  uint32_t rows = 0;
  std::vector<uint16_t> row;
  // Per state: its edges (edge_byte, edge_to) are [edges_at[s], edges_at[s + 1]), sorted by
  // byte; fail: the state of its longest proper suffix; out: the nearest state on the fail chain,
  // itself included, where a literal ends (0: none); literal: the literal ending at it (only
  // where out names the state itself).
  std::vector<uint32_t> edges_at;
  std::vector<uint8_t> edge_byte;
  std::vector<uint16_t> edge_to;
  std::vector<uint16_t> fail;
  std::vector<uint16_t> out;
  std::vector<uint16_t> literal;
  // Per profile: its literals are rule_literal[rule_at[k], rule_at[k + 1]); none: left to its
  // own prefilter.
  std::vector<uint32_t> rule_at;
  std::vector<uint16_t> rule_literal;

  size_t states() const { return fail.size(); }
  // The child of state s for the byte; 0 when it has none.
  uint32_t child(uint32_t s, uint8_t c) const;
  // Bytes of its tables, what it costs a set to keep.
  size_t bytes() const;
};

// Rules with literals a set needs for its shared prefilter. With fewer, each rule's own
// prefilter (a search for each of its literals, which the C library does a word at a time) costs
// less than one pass of the automaton over the line; the two cross at three to four rules.
inline constexpr size_t kSharedPrefilterFewest = 4;

// The prefilter of the profiles of a set, in their order; none (every profile left to its own)
// when fewer than `fewest` of them have literals to take.
shared_prefilter build_shared_prefilter(const std::vector<monitor_profile>& profiles,
                                        size_t fewest = kSharedPrefilterFewest);

// The literals of a prefilter found in one line: a literal was found when its mark is the
// scan's stamp, so nothing is cleared between lines. Kept by the walker, one per thread.
struct prefilter_scan {
  std::vector<uint32_t> seen;  // per literal
  uint32_t stamp = 0;
  const shared_prefilter* of = nullptr;  // none: every profile may match
};

// Finds every literal of `prefilter` in the text. A prefilter built for another number of
// profiles than `profiles` is not used: every profile may then match.
void scan_shared_prefilter(const shared_prefilter& prefilter, size_t profiles,
                           std::string_view text, prefilter_scan* scan);

// Whether profile k may match the scanned text: false only when the text lacks one of its
// literals (and so its own prefilter, may_match, turns the text away).
inline bool scan_may_match(const prefilter_scan& scan, size_t k) {
  const shared_prefilter* f = scan.of;
  if (!f) return true;
  const uint32_t end = f->rule_at[k + 1];
  for (uint32_t i = f->rule_at[k]; i < end; ++i)
    if (scan.seen[f->rule_literal[i]] != scan.stamp) return false;
  return true;
}
