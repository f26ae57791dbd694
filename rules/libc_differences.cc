#include "rules/libc_differences.h"

#include "rules/pattern_tokens.h"

std::vector<std::string> c_library_differences(const char* pattern, bool automaton) {
  bool big_count = false, word_edge = false;
  pattern_reader reader(pattern);
  for (pattern_token t = reader.next(); t.kind != pattern_token_kind::end; t = reader.next()) {
    if (t.kind == pattern_token_kind::repeat && *t.at == '{')
      big_count = big_count || t.min > kMuslCountMax || t.max > kMuslCountMax;
    if (t.kind == pattern_token_kind::anchor && (t.c == 'b' || t.c == 'B')) word_edge = true;
  }
  std::vector<std::string> out;
  if (big_count)
    out.push_back(
        "re_pattern has a count above 255: musl's matcher refuses it, and a router on "
        "musl firmware keeps its current rule set; write at most 255");
  if (word_edge && !automaton)
    out.push_back(
        "re_pattern has \\b or \\B and is left to the C library's matcher: on musl "
        "firmware \\b also holds at the line's start and end beside any character, "
        "and \\B never does there");
  return out;
}
