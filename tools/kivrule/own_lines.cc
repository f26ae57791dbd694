// The rule author's warning for a rule that matches kiv's own lines in the system log it
// follows; which lines those are, and whether a rule matches one, is the daemon's
// (detect/own_lines.h).
#include "detect/own_lines.h"

#include "tools/kivrule/kivrule.h"

std::string self_trigger_warning(const monitor_profile& p, const std::vector<std::string>& own,
                                 const own_lines& router) {
  bool loop = false;
  const std::vector<std::string> matched = own_lines_matched(p, own, router, &loop);
  if (matched.empty()) return "";
  std::string text = "re_pattern matches kiv's own line " + quoted_text(matched.front(), 160, true);
  if (matched.size() > 1) text += " and " + std::to_string(matched.size() - 1) + " more of them";
  return text + (loop ? " (its own action writes it, so the rule heals in a loop)"
                      : " (kiv writes it to the system log it follows, so the rule fires on "
                        "kiv's own doing)");
}
