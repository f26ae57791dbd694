// A log line walked over a loaded rule set: arbitrary bytes cut into lines as the syslog
// monitor reads them (at most 255 characters, up to a line end), each walked with
// walk_profiles (match_func and the ring of match times) over a small fixed rule set, and the
// trigger condition examined after every line.
#include "support.h"

static rule_set rules;

void init() {
  check(build_rule_set(R"rules([
    {"model":"KV-1000","keyword":"wan","re_pattern":"WAN(\\(0\\))?: link (down|up)",
     "frequency":"3","period":"60","action":"restart_wan"},
    {"model":"KV-1000","keyword":"oom","frequency":2,"period":10,"action":"nop;reboot",
     "re_pattern":"^[A-Z][a-z]{2} [ 0-9][0-9] .*kernel: .*[Oo]ut of memory"},
    {"model":"KV-1000","keyword":"dhcp","re_pattern":"dhcp[a-z]*\\[[0-9]+\\]: .*(fail|timeout|NAK)",
     "frequency":"1","period":"0","action":"restart_dhcp"},
    {"model":"KV-1000","keyword":"empty","re_pattern":"^$","frequency":"4","period":"5"},
    {"model":"KV-1000","keyword":"noring","re_pattern":"[0-9]{3,}"},
    {"model":"KV-1000","keyword":"nopattern","frequency":"2","period":"30"},
    {"model":"KV-9","keyword":"other","re_pattern":"link","frequency":"1","period":"1"}])rules",
                       {"KV-1000", std::nullopt, "..", ""}, &rules) == RULES_OK,
        "the fixed rule set loads");
  check(rules.count == 7 && rules.profiles.size() == 6, "only the active rules have records");
}

void one(const std::string& input) {
  for (monitor_profile& p : rules.profiles) empty_ring(p);
  static uint64_t line_no = 0;
  bool mid_line = false;
  for (size_t at = 0, n = 0; at < input.size(); at += n) {
    // One piece as the thread's line read takes it; the line end is trimmed and the text ends
    // at its first zero byte, as the thread's buffer holds it.
    bool line_end = false;
    n = next_piece_length(input.data() + at, input.size() - at, true, &line_end);
    check(n > 0 && n <= KIV_PIECE_MAX, "a piece of 1 to 255 characters");
    const std::string line = input.substr(at, line_end ? n - 1 : n);
    const log_piece piece{line.c_str(),
                          {!mid_line, line_end || at + n == input.size()},
                          mid_line ? line_no : ++line_no};
    mid_line = !piece.place.at_end;
    // However many of its pieces match, a line adds at most one match to a ring.
    static std::set<int32_t> credited;
    if (piece.place.at_start) credited.clear();
    walk_profiles(rules, piece, 5.0f, [&](int32_t i) {
      check(credited.insert(i).second, "one line counts once for a profile");
    });
    for (const monitor_profile& q : rules.profiles) {
      const monitor_profile* p = &q;
      const int32_t slots = static_cast<int32_t>(p->timestamp.size());
      check(slots ? p->front >= -1 && p->front < slots && p->rear >= 0 && p->rear < slots
                  : p->front == -1 && p->rear == 0,
            "ring positions lie in the ring; a profile without one never records");
      // Every time is the test clock's: a full ring lies inside any window, and only it fires.
      check(is_match_condition(p) == is_freq_array_full(p), "a ring fires exactly when full");
      check(match_func(p, piece.text, strlen(piece.text), piece.place) == 0 ||
                credited.count(p->index),
            "a profile whose pattern matches the piece has this line's match in its ring");
    }
  }
}
