// The literal prefilter against regexec: a random pattern (the first line of the input, as
// regcomp reads it, up to a zero byte) and random lines (the other lines, each up to its first
// zero byte, as the daemon's walk sees it). Whenever regexec matches a line, every literal the
// prefilter derived from the pattern is in it: a line the prefilter turns away is one regexec
// would not match. Patterns the rule reader refuses are never compiled.
#include <regex.h>

#include <string>
#include <vector>

#include "rules/pattern_guard.h"
#include "rules/pattern_literals.h"
#include "support.h"

using kivfuzz::check;

namespace {

std::string c_text(const std::string& bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t end = input.find('\n');
  const std::string pattern = c_text(input.substr(0, end));
  if (!pattern_refusal(pattern.c_str()).empty()) return 0;
  regex_t re;
  if (regcomp(&re, pattern.c_str(), REG_EXTENDED) != 0) return 0;
  const std::vector<std::string> literals = required_literals(pattern.c_str());

  // The lines of the input, and lines made to contain what the pattern asks for, which random
  // lines seldom do: the literals joined, and each line with them around it.
  std::vector<std::string> lines;
  std::string joined;
  for (const std::string& l : literals) joined += l;
  lines.push_back(joined);
  for (size_t at = end; at != std::string::npos && at < input.size();) {
    size_t next = input.find('\n', at + 1);
    std::string line =
        c_text(input.substr(at + 1, next == std::string::npos ? next : next - at - 1));
    lines.push_back(line);
    lines.push_back(joined + line);
    lines.push_back(line + joined);
    at = next;
  }
  for (const std::string& line : lines) {
    bool matches = regexec(&re, line.c_str(), 0, nullptr, 0) == 0;
    check(!matches || may_match(literals, line),
          "the prefilter turned away a line regexec matches");
  }
  regfree(&re);
  return 0;
}
