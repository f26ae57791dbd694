// What a rule's pattern may cost before it is handed to the C library's regcomp and regexec.
// A rule file comes from outside; a short pattern can otherwise overflow the stack, take
// hundreds of megabytes to compile, or crash or stall the matcher on every log line.
#pragma once

#include <cstdint>
#include <string>

// Deepest nesting of groups and stacked repetitions a pattern may have. regcomp recurses once
// per level and overflows a small stack long before it reports an error.
inline constexpr int KIV_MAX_PATTERN_NESTING = 100;
// Most atoms that counted repetitions ("{m,n}") may add to what is written: regcomp copies the
// repeated part n times, at about 250 bytes an atom, so "(a{1000}){1000}" is a million atoms
// (about 200 MB) in 15 bytes. 8192 copies take about 2 MB.
inline constexpr uint64_t KIV_MAX_PATTERN_COPIES = 8192;
// Most atoms a pattern may compile to, counted repetitions multiplied out. regcomp takes about
// 200 bytes an atom at its peak, whatever the pattern: 16384 atoms about 4 MB, where a plain
// pattern of 2,000,000 characters (half a rule file download) took 410 MB.
inline constexpr uint64_t KIV_MAX_PATTERN_ATOMS = 16384;
// Most pairs of steps a pattern may join by paths that match nothing, once its counts are
// multiplied out. regcomp stores every such pair, so its memory grows with the square of a run
// of alternatives or optional parts: 250000 pairs take about 2-4 MB, "a|" 5000 times about
// 200 MB.
inline constexpr uint64_t KIV_MAX_PATTERN_EMPTY_PAIRS = 250000;
// Most repetitions that may apply, one inside another, to one part of a pattern (stacked on it,
// "a*++", or on groups around it, "((a*)+)+"). regcomp's time grows steeply with each level:
// "^a*++++" (5) takes 7 ms, "^a*+++++" (6) 8 s and "^a**++++" more than 20 s.
inline constexpr uint64_t KIV_MAX_PATTERN_REPEAT_DEPTH = 4;
// Most ways repetitions of parts that can match nothing ("(a*)*", "a**", "(a?|b*)+") may combine:
// each such repetition multiplies by one more than the ways its part can match
// nothing, counted repetitions multiplied out. After an anchor regcomp's time grows with that
// product: "^(a**){10}" (1024) takes 6 ms, "^((a*|b*|c*)*){10}" (about a million) 1.4 s,
// "^(a**){25}" more than a minute.
inline constexpr uint64_t KIV_MAX_PATTERN_EMPTY_LOOPS = 4096;
// Most ways one part of a pattern may match nothing (alternatives add their ways, a sequence
// multiplies them, an optional or repeated part adds one). After an anchor regcomp's time grows
// with them even where no repetition goes round them: "^(a?|b?){100}" (2^100) takes 0.45 s,
// "^(((a|){0,2}{,3}|b){,2}|){1,}" (about 2.7 million) 6 s.
inline constexpr uint64_t KIV_MAX_PATTERN_EMPTY_WAYS = 4096;
// Most anchors ("^", "$", "\b" and the like) a path that matches nothing may meet. regcomp
// copies what follows an anchor for each constraint it meets, and its time grows with the fourth
// power of such a run: 24 in a row take 0.1 s, 48 1.7 s, 64 more than 5 s.
inline constexpr uint64_t KIV_MAX_PATTERN_ANCHOR_RUN = 16;
// Most anchors that repetitions ("*", "+", "{m,}") of parts that can match nothing may go round,
// counted repetitions multiplied out; none where such a part can match nothing in more than one
// way. regcomp's time grows with them faster than exponentially: "(\b\b\b\b\b\b\b\b)*" takes under
// 0.2 s, with 10 anchors more than 5 s; "(\b|){4}*" 0.1 s, "(\b|){5}*" more than 5 s.
inline constexpr uint64_t KIV_MAX_PATTERN_LOOPED_ANCHORS = 4;

// Most atoms (characters and bracket expressions, counted repetitions multiplied out) of a
// pattern left to the C library's matcher, which kiv's own automaton does not take. That
// matcher builds its states as lines come and never frees them: a pattern of n atoms may build
// up to 2^n of a few kilobytes each, and "\w*a\w{16}b" (18 atoms) grew a daemon by 125 MB. 8 atoms
// keep it within about 2 MB, whatever the log.
inline constexpr uint64_t KIV_MAX_REGEXEC_ATOMS = 8;

// Nesting depth of an extended regular expression: open groups plus repetition operators
// stacked on one atom, escapes and bracket expressions skipped.
int pattern_nesting(const char* pattern);

// What compiling a pattern would build, counted the way regcomp builds it.
struct pattern_size {
  uint64_t written = 0;         // atoms as written
  uint64_t atoms = 0;           // atoms with every counted repetition multiplied out
  uint64_t empty_pairs = 0;     // pairs joined by paths that match nothing, likewise
  uint64_t repeat_depth = 0;    // repetitions applying one inside another, at the deepest
  uint64_t empty_loops = 1;     // ways repetitions of parts that match nothing combine
  uint64_t empty_ways = 1;      // ways the part with the most of them can match nothing
  uint64_t anchor_run = 0;      // most anchors on one path that matches nothing
  uint64_t looped_anchors = 0;  // anchors inside repetitions of parts that match nothing
  bool back_reference = false;
};
// Counts saturate, so any text can be measured.
pattern_size measure_pattern(const char* pattern);

// Why the daemon will not compile this pattern, or empty when it may. A refused pattern counts
// as one that does not compile. Back-references ("\1" to "\9") are not part of extended
// expressions; the C library's matcher can recurse without bound or run for minutes on them.
std::string pattern_refusal(const char* pattern);

// Why the daemon will not match this pattern, which regcomp accepted and kiv's automaton left to
// the C library's matcher, or empty when that matcher cannot grow much on it.
std::string regexec_refusal(const char* pattern);
