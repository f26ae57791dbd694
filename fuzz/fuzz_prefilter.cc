// The shared prefilter of a rule set against each rule's own: random patterns (the input's lines
// up to the first empty one, each up to a zero byte, as regcomp reads it) make a set, and the
// other lines are walked over it. For every line and rule the shared prefilter says a rule may
// match exactly when the rule's own prefilter does (or it left the rule to that one), a rule it
// turns away is one its own matcher does not match, and the walk matches the same rules, line for
// line, with the shared prefilter and without. Patterns the rule reader refuses are left out.
#include "support.h"

namespace {

// The profiles of the patterns the reader takes, compiled as it compiles them.
std::vector<monitor_profile> profiles_of(const std::vector<std::string>& patterns) {
  std::vector<monitor_profile> out;
  for (const std::string& p : patterns) {
    monitor_profile m;
    if (!compile_pattern(p.c_str(), &m.pattern).empty()) continue;
    m.index = static_cast<int32_t>(out.size());
    m.re_pattern = p;
    m.frequency = 2;
    m.timestamp.assign(2, 0.0f);
    out.push_back(std::move(m));
  }
  return out;
}

// The rules each line matches, walked in pieces as the syslog monitor reads them.
std::string walk(rule_set& set, const std::vector<std::string>& lines) {
  std::string matched;
  uint64_t n = 0;
  for (const std::string& line : lines) {
    ++n;
    for (size_t at = 0; at == 0 || at < line.size(); at += KIV_PIECE_MAX) {
      const std::string piece = line.substr(at, KIV_PIECE_MAX);
      const log_piece lp{piece.c_str(), {at == 0, at + KIV_PIECE_MAX >= line.size()}, n};
      walk_profiles(set, lp, 1.0f, [&](int32_t i) { matched += std::to_string(i) + " "; });
    }
    matched += "| ";
  }
  return matched;
}

}  // namespace

void one(const std::string& input) {
  std::vector<std::string> patterns, lines;
  bool in_patterns = true;
  for (size_t at = 0; at <= input.size();) {
    size_t end = input.find('\n', at);
    if (end == std::string::npos) end = input.size();
    const std::string line(input.substr(at, end - at).c_str());  // up to a zero byte
    at = end + 1;
    if (in_patterns && line.empty()) {
      in_patterns = false;
    } else if (in_patterns && patterns.size() < 16) {
      patterns.push_back(line);
    } else {
      lines.push_back(line);
    }
  }
  rule_set set;
  set.profiles = profiles_of(patterns);
  set.prefilter = build_shared_prefilter(set.profiles, 1);
  const shared_prefilter& f = set.prefilter;
  check(f.states() <= kSharedPrefilterStates, "the prefilter stays within its states");
  prefilter_scan scan;
  for (const std::string& line : lines) {
    const std::string piece = line.substr(0, KIV_PIECE_MAX);
    scan_shared_prefilter(f, set.profiles.size(), piece, &scan);
    for (size_t k = 0; k < set.profiles.size(); ++k) {
      const monitor_profile& p = set.profiles[k];
      const bool taken = f.literals > 0 && f.rule_at[k + 1] > f.rule_at[k];
      check(scan_may_match(scan, k) == (!taken || may_match(p.pattern.literals, piece)),
            "the shared prefilter and the rule's own disagree");
      check(scan_may_match(scan, k) || profile_regexec(p, piece.c_str(), piece.size(),
                                                       {true, piece.size() == line.size()}) != 0,
            "the shared prefilter turned away a line the rule matches");
    }
  }
  const std::string with = walk(set, lines);
  for (monitor_profile& p : set.profiles) {
    empty_ring(p);
    p.credited_line = 0;
  }
  set.prefilter = {};  // every rule alone
  check(walk(set, lines) == with, "the walks match different rules");
}
