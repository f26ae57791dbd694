#include "detect/own_lines.h"

#include <algorithm>
#include <set>

#include "core/syslog_lines.h"
#include "detect/log_pieces.h"
#include "detect/match_func.h"

std::string kiv_syslog_line(const std::string& message, const char* stamp) {
  return std::string(stamp) + " " + KIV_SYSLOG_TAG + ": " + message;
}

const std::vector<std::string>& kiv_fixed_lines() {
  static const std::vector<std::string> lines = {kiv_syslog_line(KIV_LINE_RULES_UPDATED),
                                                 kiv_syslog_line(KIV_LINE_SYSLOG_START),
                                                 kiv_syslog_line(KIV_LINE_TERMINATE)};
  return lines;
}

own_lines kiv_own_lines(const std::vector<std::string>& actions) {
  own_lines lines;
  std::set<std::string> seen;
  for (const std::string& a : actions) {
    if (!seen.insert(a).second) continue;
    lines.actions.push_back(a);
    lines.lines.push_back(kiv_syslog_line(kiv_action_line(a)));
  }
  return lines;
}

bool line_matches(const monitor_profile& p, std::string_view line) {
  // As the log holds it: with its line end, which the follower cuts.
  const std::string held = std::string(line) + "\n";
  bool matched = false;
  for_each_piece(held, [&](std::string_view piece, line_place place) {
    if (matched) return;
    const std::string text(piece);  // match_func reads up to a zero byte, as the daemon's walk
    matched = match_func(&p, text.c_str(), text.size(), place) == 1;
  });
  return matched;
}

std::vector<std::string> own_lines_matched(const monitor_profile& p,
                                           const std::vector<std::string>& own,
                                           const own_lines& router, bool* loop) {
  std::vector<std::string> matched;
  const std::set<std::string> own_set(own.begin(), own.end());
  for (const std::string& a : kiv_own_lines(own).lines)
    if (line_matches(p, a)) matched.push_back(a);
  for (size_t i = 0; i < router.actions.size(); ++i)
    if (!own_set.count(router.actions[i]) && line_matches(p, router.lines[i]))
      matched.push_back(router.lines[i]);
  for (const std::string& line : kiv_fixed_lines())
    if (line_matches(p, line)) matched.push_back(line);
  *loop = !matched.empty() && std::any_of(own.begin(), own.end(), [&](const std::string& a) {
    return kiv_syslog_line(kiv_action_line(a)) == matched.front();
  });
  return matched;
}
