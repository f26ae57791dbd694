// kiv's own lines in the system log it follows. The daemon writes a few lines there itself
// (logmessage_normal) and its follower reads them back like any other: a rule whose pattern
// matches one of them is matched by kiv's own doing, and a rule that matches the line its own
// healing writes heals in a loop.
#include <algorithm>

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

// Every message the daemon writes through logmessage_normal as a system-log line, the healing
// executor's once for each action given.
std::vector<std::string> kiv_own_lines(const std::vector<std::string>& actions) {
  // Each as the daemon writes it: the executor's, then rules/read_json.cc,
  // detect/monitor_syslog.cc and core/kiv_main.cc.
  std::vector<std::string> lines;
  for (const std::string& a : actions) lines.push_back(action_line(a));
  lines.push_back(syslog_line("[read_json]Update kiv JSON file."));
  lines.push_back(syslog_line("[_monitor_syslog]===Start syslog process==="));
  lines.push_back(syslog_line("===Terminate kiv daemon==="));
  return lines;
}

// The lines an active profile matches, in the pieces the syslog monitor reads.
std::vector<std::string> own_lines_matched(const monitor_profile& p,
                                           const std::vector<std::string>& lines) {
  std::vector<std::string> matched;
  for (const std::string& line : lines) {
    // The syslog monitor walks a long line in pieces of at most KIV_PIECE_MAX characters.
    for (size_t at = 0; at < line.size(); at += KIV_PIECE_MAX) {
      const std::string piece = line.substr(at, KIV_PIECE_MAX);
      if (match_func(&p, piece.c_str(), piece.size()) == 1) {
        matched.push_back(line);
        break;
      }
    }
  }
  return matched;
}

}  // namespace

std::string self_trigger_warning(const monitor_profile& p, const std::vector<std::string>& own,
                                 const std::vector<std::string>& actions) {
  // The rule's own actions first: the line of one of them is a loop.
  std::vector<std::string> all = own;
  for (const std::string& a : actions)
    if (std::find(all.begin(), all.end(), a) == all.end()) all.push_back(a);
  const std::vector<std::string> matched = own_lines_matched(p, kiv_own_lines(all));
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
