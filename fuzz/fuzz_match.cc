// A log line walked over a loaded rule set: arbitrary bytes cut into lines as the syslog
// monitor reads them (at most 255 characters, up to a line end), each walked with
// walk_log_line (match_func and the ring of match times) over a small fixed rule set, and the
// trigger condition examined after every line.
#include <cstring>
#include <string>

#include "detect/freq_window.h"
#include "detect/match_func.h"
#include "detect/monitor_syslog.h"
#include "heal/self_healing.h"
#include "rules/read_json.h"
#include "support.h"

using kivfuzz::check;

namespace {

const char kRules[] = R"rules([
  {"model":"KV-1000","keyword":"wan","re_pattern":"WAN(\\(0\\))?: link (down|up)",
   "frequency":"3","period":"60","action":"restart_wan"},
  {"model":"KV-1000","keyword":"oom","re_pattern":"^[A-Z][a-z]{2} [ 0-9][0-9] .*kernel: .*[Oo]ut of memory",
   "frequency":2,"period":10,"action":"nop;reboot"},
  {"model":"KV-1000","keyword":"dhcp","re_pattern":"dhcp[a-z]*\\[[0-9]+\\]: .*(fail|timeout|NAK)",
   "frequency":"1","period":"0","action":"restart_dhcp"},
  {"model":"KV-1000","keyword":"empty","re_pattern":"^$","frequency":"4","period":"5"},
  {"model":"KV-1000","keyword":"noring","re_pattern":"[0-9]{3,}"},
  {"model":"KV-1000","keyword":"nopattern","frequency":"2","period":"30"},
  {"model":"KV-9","keyword":"other","re_pattern":"link","frequency":"1","period":"1"}
])rules";

void check_ring(const monitor_profile& p) {
  if (p.timestamp.empty()) {
    check(p.front == -1 && p.rear == 0, "a profile without a ring never records");
    return;
  }
  const int32_t slots = static_cast<int32_t>(p.frequency);
  check(p.front >= -1 && p.front < slots && p.rear >= 0 && p.rear < slots, "ring positions");
}

void clear_rings() {
  for (int32_t i = 0; i < gArraylen; ++i) empty_ring(mp[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivfuzz::setup();
  router_identity id;
  id.productid = "KV-1000";
  id.device_fwver = "..";
  rule_load load;
  if (build_rule_set(kRules, id, nullptr, &load) != RULES_OK) kivfuzz::fail("fixed rule set");
  mp = load.array;
  gArraylen = load.n;
  gJsonObj = load.doc;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::lock_guard<std::mutex> lock(mp_mutex);
    clear_rings();
  }
  int pause_logged = 0;
  size_t at = 0;
  while (at < size) {
    // One piece as the thread's line read takes it; the line end is trimmed and the text ends
    // at its first zero byte, as the thread's buffer holds it.
    char line[KIV_PIECE_MAX + 1];
    bool line_end = false;
    const size_t n =
        next_piece_length(reinterpret_cast<const char*>(data) + at, size - at, true, &line_end);
    std::memcpy(line, data + at, n);
    line[line_end ? n - 1 : n] = '\0';
    at += n;
    check(walk_log_line(line, &pause_logged), "an unpaused set walks every line");
    std::lock_guard<std::mutex> lock(mp_mutex);
    for (int32_t i = 0; i < gArraylen; ++i) {
      monitor_profile& p = mp[i];
      check_ring(p);
      int full = is_freq_array_full(&p);
      int fires = is_match_condition(&p);
      check(fires == 0 || full == 1, "only a full ring fires");
      // Every time is the test clock's: a full ring lies inside any window.
      if (full) check(fires == 1, "equal times lie within the period");
      check(match_func(&p, line) == 0 || p.isActive == 1, "an inactive profile never matches");
    }
  }
  return 0;
}
