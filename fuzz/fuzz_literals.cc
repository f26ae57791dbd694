// The literal prefilter and the small automaton against regexec: a random pattern (the first line
// of the input, as regcomp reads it, up to a zero byte) and random lines (the other lines, each up
// to its first zero byte, as the daemon's walk sees it). Whenever regexec matches a line, every
// literal the prefilter derived from the pattern is in it: a line the prefilter turns away is one
// regexec would not match. Where the pattern has an automaton, its verdict is regexec's on every
// line, and so it is for a line that does not start or end a line (REG_NOTBOL, REG_NOTEOL: the
// pieces of a long line); only where an anchor stands in a group repeated more than once does
// the automaton give POSIX's verdict, and then it never matches a line that regexec does not.
// Patterns the rule reader refuses are never compiled.
#include "support.h"

void one(const std::string& input) {
  const size_t end = input.find('\n');
  const std::string pattern(input.substr(0, end).c_str());
  regex_t re;
  if (!pattern_refusal(pattern.c_str()).empty() || regcomp(&re, pattern.c_str(), REG_EXTENDED))
    return;
  const std::vector<std::string> literals = required_literals(pattern.c_str());
  const std::optional<pattern_automaton> automaton = build_automaton(pattern.c_str());
  const bool posix_only = repeats_an_anchored_group(pattern.c_str());
  // The automaton's verdict against regexec's: the same, or only a refusal where POSIX's differs.
  auto agree = [posix_only](bool kiv, bool c_library) {
    return kiv == c_library || (posix_only && !kiv);
  };
  // The input's lines, and lines made to contain what the pattern asks for, which random lines
  // seldom do: the literals joined, and each line with them around it.
  std::string joined;
  for (const std::string& l : literals) joined += l;
  std::vector<std::string> lines{joined};
  for (size_t at = end; at < input.size(); at = input.find('\n', at + 1)) {
    const std::string line(input.substr(at + 1, input.find('\n', at + 1) - at - 1).c_str());
    lines.insert(lines.end(), {line, joined + line, line + joined});
  }
  for (const std::string& line : lines) {
    const bool matches = regexec(&re, line.c_str(), 0, nullptr, 0) == 0;
    check(!matches || may_match(literals, line),
          "the prefilter turned away a line regexec matches");
    check(!automaton || agree(automaton_matches(*automaton, line), matches),
          "the automaton and regexec disagree");
    for (int eflags : {REG_NOTBOL, REG_NOTEOL, REG_NOTBOL | REG_NOTEOL})
      check(!automaton || agree(automaton_matches(*automaton, line, eflags),
                                regexec(&re, line.c_str(), 0, nullptr, eflags) == 0),
            "the automaton and regexec disagree on a piece of a line");
  }
  regfree(&re);
}
