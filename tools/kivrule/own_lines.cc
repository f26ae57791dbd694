// kiv's own lines in the system log it follows. The daemon writes a few lines there itself
// (logmessage_normal) and its follower reads them back like any other: a rule whose pattern
// matches one of them is matched by kiv's own doing, and a rule that matches the line its own
// healing writes heals in a loop.
#include <algorithm>
#include <set>

#include "detect/match_func.h"
#include "detect/monitor_syslog.h"
#include "tools/kivrule/kivrule.h"

namespace {

// A line as the router's system log holds it: "MMM dd HH:MM:SS kiv: MESSAGE" (any time stamp
// will do; one is taken for all).
std::string syslog_line(const std::string& message) {
  return "Jan  1 00:00:00 kiv: " + message;
}

// The healing executor's line for an action (heal/self_healing.cc).
std::string action_line(const std::string& action) {
  return syslog_line("[self_healing]take action-[" + action + "].");
}

// The messages the daemon writes through logmessage_normal whatever its rules, as system-log
// lines: the install step's (update/install_rules), detect/monitor_syslog's and core/kiv_main's.
const std::vector<std::string>& fixed_lines() {
  static const std::vector<std::string> lines = {
      syslog_line("[read_json]Update kiv JSON file."),
      syslog_line("[_monitor_syslog]===Start syslog process==="),
      syslog_line("===Terminate kiv daemon===")};
  return lines;
}

// Whether the active profile matches the line, in the pieces the syslog monitor reads.
bool matches(const monitor_profile& p, const std::string& line) {
  // The syslog monitor walks a long line in pieces of at most KIV_PIECE_MAX characters.
  for (size_t at = 0; at < line.size(); at += KIV_PIECE_MAX) {
    const std::string piece = line.substr(at, KIV_PIECE_MAX);
    const line_place place{at == 0, at + KIV_PIECE_MAX >= line.size()};
    if (match_func(&p, piece.c_str(), piece.size(), place) == 1) return true;
  }
  return false;
}

}  // namespace

own_lines kiv_own_lines(const std::vector<std::string>& actions) {
  own_lines lines;
  std::set<std::string> seen;
  for (const std::string& a : actions) {
    if (!seen.insert(a).second) continue;
    lines.actions.push_back(a);
    lines.lines.push_back(action_line(a));
  }
  return lines;
}

std::string self_trigger_warning(const monitor_profile& p, const std::vector<std::string>& own,
                                 const own_lines& router) {
  // The rule's own actions first: the line of one of them is a loop.
  std::vector<std::string> matched;
  std::set<std::string> own_set(own.begin(), own.end());
  for (const std::string& a : kiv_own_lines(own).lines)
    if (matches(p, a)) matched.push_back(a);
  for (size_t i = 0; i < router.actions.size(); ++i)
    if (!own_set.count(router.actions[i]) && matches(p, router.lines[i]))
      matched.push_back(router.lines[i]);
  for (const std::string& line : fixed_lines())
    if (matches(p, line)) matched.push_back(line);
  if (matched.empty()) return "";
  const bool loop = std::any_of(own.begin(), own.end(), [&](const std::string& a) {
    return action_line(a) == matched.front();
  });
  std::string text = "re_pattern matches kiv's own line " + quoted_text(matched.front(), 160, true);
  if (matched.size() > 1) text += " and " + std::to_string(matched.size() - 1) + " more of them";
  return text + (loop ? " (its own action writes it, so the rule heals in a loop)"
                      : " (kiv writes it to the system log it follows, so the rule fires on "
                        "kiv's own doing)");
}
