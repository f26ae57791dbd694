// The lines kiv writes to the router's system log (logmessage_normal with the tag "kiv"). Its own
// follower reads them back like any other line, so a rule can match them: the daemon writes them
// from here, and the look for rules that match kiv's own lines (detect/own_lines.h) reads the
// same texts, so the two cannot drift apart.
#pragma once

#include <string>

inline constexpr char KIV_SYSLOG_TAG[] = "kiv";
// The syslog monitor thread's start.
inline constexpr char KIV_LINE_SYSLOG_START[] = "[_monitor_syslog]===Start syslog process===";
// A rule file read and installed (read_json).
inline constexpr char KIV_LINE_RULES_UPDATED[] = "[read_json]Update kiv JSON file.";
// The orderly stop.
inline constexpr char KIV_LINE_TERMINATE[] = "===Terminate kiv daemon===";

// The healing executor carries out `action`.
inline std::string kiv_action_line(const std::string& action) {
  return "[self_healing]take action-[" + action + "].";
}
// A fire over the heal budget (kiv_heal_limit) of the rule `keyword`.
inline std::string kiv_heal_held_line(const std::string& keyword) {
  return "[self_healing]Heal budget spent, no action for [" + keyword + "].";
}
// A reboot over the reboot budget (kiv_reboot_limit) of the rule `keyword`.
inline std::string kiv_reboot_held_line(const std::string& keyword) {
  return "[self_healing]Reboot budget spent, no reboot for [" + keyword + "].";
}
// A rule file a staged rollout leaves out, and why.
inline std::string kiv_rules_not_taken_line(const std::string& reason) {
  return "Rule file not taken: " + reason;
}
