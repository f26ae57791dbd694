// A log line walked over a loaded rule set: arbitrary bytes cut into lines as the syslog
// monitor reads them (at most 255 characters, up to a line end), each walked with
// walk_log_line (match_func and the ring of match times) over a small fixed rule set, and the
// trigger condition examined after every line.
#include "support.h"

void init() {
  rule_load load;
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
                       {"KV-1000", std::nullopt, "..", ""}, nullptr, &load) == RULES_OK,
        "the fixed rule set loads");
  mp = load.array;
  gArraylen = load.n;
  gJsonObj = load.doc;
}

void one(const std::string& input) {
  for (int32_t i = 0; i < gArraylen; ++i) empty_ring(mp[i]);  // no other thread runs here
  int pause_logged = 0;
  for (size_t at = 0, n = 0; at < input.size(); at += n) {
    // One piece as the thread's line read takes it; the line end is trimmed and the text ends
    // at its first zero byte, as the thread's buffer holds it.
    bool line_end = false;
    n = next_piece_length(input.data() + at, input.size() - at, true, &line_end);
    check(n > 0 && n <= KIV_PIECE_MAX, "a piece of 1 to 255 characters");
    const std::string line = input.substr(at, line_end ? n - 1 : n);
    check(walk_log_line(line.c_str(), &pause_logged), "an unpaused set walks every line");
    for (monitor_profile* p = mp; p < mp + gArraylen; ++p) {
      const int32_t slots = static_cast<int32_t>(p->timestamp.size());
      check(slots ? p->front >= -1 && p->front < slots && p->rear >= 0 && p->rear < slots
                  : p->front == -1 && p->rear == 0,
            "ring positions lie in the ring; a profile without one never records");
      // Every time is the test clock's: a full ring lies inside any window, and only it fires.
      check(is_match_condition(p) == is_freq_array_full(p), "a ring fires exactly when full");
      check(match_func(p, line.c_str()) == 0 || p->isActive == 1,
            "an inactive profile never matches");
    }
  }
}
