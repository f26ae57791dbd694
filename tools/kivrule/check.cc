// kivrule check: which rules of a file would be active on a router, and would they work.
//
// A file on the rule server serves every router its rules name. Without an identity each rule is
// judged on the router it names, and the file on every such router; with one, on that router.
// The verdict is the daemon's own: build_rule_set on the whole text, exactly as the reader runs
// it. That stops at the first rule that fails, so every rule is also loaded on its own (a
// one-element array) for its filters, and each of its fields in a probe rule of its own that
// only a probe identity matches. Every probe goes through build_rule_set as well, so a field is
// judged by the daemon's code even when the rule is inactive or an earlier field fails.
#include <json-c/json.h>
#include <regex.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/kiv_log.h"
#include "rules/action_list.h"
#include "tools/kivrule/kivrule.h"
#include "update/decrypt_file.h"

namespace {

constexpr const char kProbeModel[] = "kivrule-probe";
constexpr size_t kShownBytes = 160;  // longer texts are cut in the report
constexpr int32_t kNoPause = INT32_MIN;

const char* const kKnownKeys[] = {"model",  "odmpid",  "target_fwver", "label_mac",
                                  "type",   "keyword", "re_pattern",   "frequency",
                                  "period", "action",  "Global_Pause"};

std::string quoted(const std::string& s) {
  return quoted_text(s, kShownBytes, true);
}

std::string shown(const std::optional<std::string>& s) {
  return s ? quoted(*s) : "(unset)";
}

// The member's text as the reader takes it; none when absent or null.
std::optional<std::string> member_text(json_object* rule, const char* key) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(rule, key, &value) || !value) return std::nullopt;
  return std::string(json_object_get_string(value));
}

// The daemon's reader on a one-rule array. On RULES_OK *out holds the record.
int load_one(json_object* rule, const router_identity& id, std::atomic<int32_t>* pause,
             rule_load* out) {
  json_object* array = json_object_new_array();
  if (!array) return RULES_NO_MEMORY;
  json_object_array_add(array, json_object_get(rule));
  std::string text = json_object_to_json_string_ext(array, JSON_C_TO_STRING_PLAIN);
  json_object_put(array);
  return build_rule_set(text.c_str(), id, pause, out);
}

// A rule that only the probe identity matches, carrying the given keys of `rule`.
json_object* probe_rule(json_object* rule, std::initializer_list<const char*> keys) {
  json_object* probe = json_object_new_object();
  if (!probe) return nullptr;
  json_object_object_add(probe, "model", json_object_new_string(kProbeModel));
  for (const char* key : keys) {
    json_object* value = nullptr;
    if (json_object_object_get_ex(rule, key, &value) && value)
      json_object_object_add(probe, key, json_object_get(value));
  }
  return probe;
}

router_identity probe_identity() {
  router_identity id;
  id.productid = kProbeModel;
  return id;
}

// One probe through the daemon's reader; the record stays in *out on RULES_OK.
int probe(json_object* rule, std::initializer_list<const char*> keys, rule_load* out,
          std::atomic<int32_t>* pause = nullptr) {
  json_object* p = probe_rule(rule, keys);
  if (!p) return RULES_NO_MEMORY;
  int rc = load_one(p, probe_identity(), pause, out);
  json_object_put(p);
  return rc;
}

struct rule_report {
  std::vector<std::string> lines;     // what the rule holds
  std::vector<std::string> problems;  // errors (exit 1 for an active rule)
  std::vector<std::string> warnings;  // never change the exit status
};

// The action items of a rule as the daemon's parser takes them; none when it has no list.
std::vector<std::string> rule_actions(json_object* rule) {
  rule_load load;
  std::vector<std::string> items;
  if (probe(rule, {"action"}, &load) == RULES_OK) items = load.array[0].action;
  release_rule_load(&load);
  return items;
}

void report_pattern(json_object* rule, const std::vector<std::string>& actions, rule_report* r) {
  std::optional<std::string> pattern = member_text(rule, "re_pattern");
  if (!pattern) {
    r->lines.push_back("re_pattern: none");
    r->problems.push_back("no \"re_pattern\": the rule can never match a line");
    return;
  }
  rule_load load;
  int rc = probe(rule, {"re_pattern"}, &load);
  if (rc == RULES_BAD_REGEX) {
    std::string why = load.notes.empty() ? "" : load.notes.back().regex_error;
    r->lines.push_back("re_pattern " + quoted(*pattern) + ": does not compile (" + why + ")");
    r->problems.push_back("re_pattern does not compile (" + why + ")");
  } else if (rc == RULES_OK) {
    r->lines.push_back("re_pattern " + quoted(*pattern) + ": compiles");
    const monitor_profile& p = load.array[0];
    if (has_expression(p) && profile_regexec(p, "", 0) == 0)
      r->warnings.push_back("re_pattern matches the empty text, so it matches every log line");
    const std::string self = self_trigger_warning(p, rule_actions(rule), actions);
    if (!self.empty()) r->warnings.push_back(self);
  }
  release_rule_load(&load);
}

void report_window(json_object* rule, rule_report* r) {
  std::optional<std::string> freq = member_text(rule, "frequency");
  std::optional<std::string> period = member_text(rule, "period");
  rule_load load;
  int rc = probe(rule, {"frequency", "period"}, &load);
  if (rc == RULES_RING_TOO_BIG) {
    r->lines.push_back("frequency " + quoted(*freq) + ": a ring that cannot be allocated");
    r->problems.push_back("frequency " + quoted(*freq) +
                          " asks for a ring that cannot be allocated (negative, or above " +
                          std::to_string(KIV_MAX_FREQUENCY) + ")");
    return;
  }
  if (rc != RULES_OK) return;
  const monitor_profile& p = load.array[0];
  std::string line = "frequency " + (freq ? std::to_string(p.frequency) : "none") + ", period " +
                     (period ? std::to_string(p.period) + " s" : "none");
  r->lines.push_back(line);
  if (!freq) {
    r->problems.push_back("no \"frequency\": the rule has no ring and can never fire");
  } else if (p.frequency == 0) {
    r->problems.push_back("frequency " + quoted(*freq) +
                          " converts to 0: the rule has no ring and can never fire");
  } else if (p.period == 0 && p.frequency > 1) {
    r->warnings.push_back("period 0 (or none): the rule fires only when all " +
                          std::to_string(p.frequency) + " matches fall in the same instant");
  }
  release_rule_load(&load);
}

void report_actions(json_object* rule, rule_report* r) {
  std::optional<std::string> action = member_text(rule, "action");
  if (!action) {
    r->lines.push_back("actions: none");
    r->problems.push_back("no \"action\": the rule would fire and heal nothing");
    return;
  }
  rule_load load;
  int rc = probe(rule, {"action"}, &load);
  if (rc != RULES_OK) {
    r->lines.push_back("action " + quoted(*action) + ": cannot be parsed");
    r->problems.push_back("the action list cannot be parsed");
    release_rule_load(&load);
    return;
  }
  const monitor_profile& p = load.array[0];
  r->lines.push_back("action " + quoted(*action) + ": " + std::to_string(p.action_num) +
                     (p.action_num == 1 ? " item" : " items"));
  if (p.action_num == 0)
    r->problems.push_back("the action list has no items: the rule would fire and heal nothing");
  for (size_t k = 0; k < p.action.size(); ++k) {
    const int32_t row = p.checkFuncIndex[k];
    const char* check = row >= 0 && row < CHECK_ROWS ? checkActionList[row].name : nullptr;
    r->lines.push_back("  action " + std::to_string(k) + ": " + quoted(p.action[k]) +
                       " (check: " + (check ? check : "none") + ")");
    // The executor runs an item as written: with a blank in it no action or service has its name.
    if (p.action[k].find_first_of(" \t\r\n") != std::string::npos)
      r->problems.push_back("action " + quoted(p.action[k]) +
                            " has blanks in it and is run with them (items are not trimmed)");
  }
  release_rule_load(&load);
}

// A rule that reboots on a line written at every start reboots the router at every start. The
// lines, as the system log holds them after a time stamp: kiv's start line, the boot-up check's
// rule update, the kernel's first line.
void report_reboot_at_start(json_object* rule, rule_report* r) {
  static const char* const kStartLines[] = {
      "kiv: [_monitor_syslog]===Start syslog process===", "kiv: [read_json]Update kiv JSON file.",
      "kernel: Linux version 4.4.198 (root@build) #1 SMP PREEMPT"};
  rule_load load;
  if (probe(rule, {"re_pattern", "action"}, &load) == RULES_OK) {
    const monitor_profile& p = load.array[0];
    const bool reboots = std::find(p.action.begin(), p.action.end(), "reboot") != p.action.end();
    for (const char* line : kStartLines) {
      const std::string stamped = std::string("Jan  1 00:00:10 ") + line;
      if (!reboots || !has_expression(p) ||
          profile_regexec(p, stamped.c_str(), stamped.size()) != 0)
        continue;
      r->warnings.push_back("the actions hold \"reboot\" and re_pattern matches " + quoted(line) +
                            ", a line written at every start: the router would reboot at every "
                            "start (kiv_reboot_limit caps such reboots)");
      break;
    }
  }
  release_rule_load(&load);
}

void report_pause(json_object* rule, rule_report* r) {
  if (!member_text(rule, "Global_Pause")) return;
  std::atomic<int32_t> pause{kNoPause};
  rule_load load;
  if (probe(rule, {"Global_Pause"}, &load, &pause) == RULES_OK && pause.load() != kNoPause) {
    const int32_t v = pause.load();
    r->lines.push_back("Global_Pause " + std::to_string(v) +
                       (v == 1 ? " (pauses the monitors)" : ""));
  }
  release_rule_load(&load);
}

void report_unknown_keys(json_object* rule, rule_report* r) {
  json_object_object_foreach(rule, key, value) {
    (void)value;
    const bool known = std::any_of(std::begin(kKnownKeys), std::end(kKnownKeys),
                                   [&](const char* k) { return std::strcmp(k, key) == 0; });
    if (!known) r->warnings.push_back("unknown key " + quoted(key) + " is ignored");
  }
}

// A pause switch: a rule that only sets Global_Pause, with nothing to match, count or run.
bool pause_switch(json_object* rule) {
  return member_text(rule, "Global_Pause") && !member_text(rule, "re_pattern") &&
         !member_text(rule, "frequency") && !member_text(rule, "action");
}

// The first MAC of a label_mac list (MACs separated by anything that is no part of one); the
// whole text when it holds none.
std::string first_mac(const std::string& list) {
  auto part = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '-' || c == '.';
  };
  const auto begin = std::find_if(list.begin(), list.end(), part);
  if (begin == list.end()) return list;
  return std::string(begin, std::find_if_not(begin, list.end(), part));
}

// The router a rule names: its model, odmpid, target_fwver (cut as the daemon cuts its own
// device_fwver) and the first MAC of its label_mac list, each when the rule has it. The rule is
// active on that router whenever it can be active on any.
router_identity named_router(json_object* rule) {
  router_identity id;
  id.productid = member_text(rule, "model");
  id.odmpid = member_text(rule, "odmpid");
  id.device_fwver = member_text(rule, "target_fwver").value_or("._").substr(0, 63);
  id.label_mac = first_mac(member_text(rule, "label_mac").value_or(""));
  return id;
}

bool same_router(const router_identity& a, const router_identity& b) {
  return a.productid == b.productid && a.odmpid == b.odmpid && a.device_fwver == b.device_fwver &&
         a.label_mac == b.label_mac;
}

// productid, and odmpid, fwver and label_mac where the router has them.
std::string router_text(const router_identity& id) {
  std::string s = "productid " + shown(id.productid);
  if (id.odmpid) s += ", odmpid " + quoted(*id.odmpid);
  if (id.device_fwver != "._") s += ", fwver " + quoted(id.device_fwver);
  if (!id.label_mac.empty()) s += ", label_mac " + quoted(id.label_mac);
  return s;
}

// What one rule comes to on the router it is judged for.
struct rule_verdict {
  bool active = false;
  bool unusable = false;  // active, and it cannot work
  int rc = RULES_OK;      // the reader's result on the rule alone
  router_identity router;
};

// Prints one rule, judged as the router `id` names, or without one as the router it names.
rule_verdict check_rule(json_object* rule, int32_t index, const router_identity* id,
                        const std::vector<std::string>& actions, FILE* out) {
  rule_verdict v;
  v.router = id ? *id : named_router(rule);
  rule_load alone;
  std::atomic<int32_t> pause{kNoPause};
  v.rc = load_one(rule, v.router, &pause, &alone);
  const rule_note note = alone.notes.empty() ? rule_note{} : alone.notes.front();
  release_rule_load(&alone);
  v.active = note.active;

  std::optional<std::string> keyword = member_text(rule, "keyword");
  std::string head = "rule " + std::to_string(index) + " " + (keyword ? quoted(*keyword) : "");
  if (!json_object_is_type(rule, json_type_object)) {
    std::fprintf(out, "\n%s(not an object): inactive, the reader finds none of its keys\n",
                 head.c_str());
    return v;
  }
  if (!keyword) head += "(no keyword)";
  std::string state = note.active ? "active" : "inactive: " + note.inactive_reason;
  if (!id)
    state = note.active ? "active on " + router_text(v.router)
                        : "inactive on every router: " + note.inactive_reason;
  std::fprintf(out, "\n%s: %s\n", head.c_str(), state.c_str());
  if (const auto type = member_text(rule, "type"))
    std::fprintf(out, "  type %s\n", quoted(*type).c_str());

  rule_report r;
  if (!pause_switch(rule)) {
    report_pattern(rule, actions, &r);
    report_window(rule, &r);
    report_actions(rule, &r);
    report_reboot_at_start(rule, &r);
  }
  report_pause(rule, &r);
  report_unknown_keys(rule, &r);
  if (v.rc == RULES_NO_MEMORY) r.problems.push_back("out of memory while loading the rule");

  for (const std::string& line : r.lines) std::fprintf(out, "  %s\n", line.c_str());
  for (const std::string& p : r.problems)
    std::fprintf(out, "  %s: %s\n", note.active ? "error" : "note (inactive)", p.c_str());
  for (const std::string& w : r.warnings) std::fprintf(out, "  warning: %s\n", w.c_str());
  v.unusable = note.active && !r.problems.empty();
  return v;
}

// Every action item of the file's rules as the daemon's parser takes them, once each: the
// lines their healing writes.
std::vector<std::string> file_actions(json_object* doc) {
  std::vector<std::string> all;
  for (size_t i = 0; i < json_object_array_length(doc); ++i)
    for (const std::string& a : rule_actions(json_object_array_get_idx(doc, i)))
      if (std::find(all.begin(), all.end(), a) == all.end()) all.push_back(a);
  return all;
}

// What the container or plain file says about itself before its rules are read. False when the
// daemon would not get as far as parsing.
bool report_file(const rule_text& in, FILE* out) {
  if (!in.container) {
    std::fprintf(out,
                 "%s: no container header, read as plain JSON text of %zu bytes (the daemon "
                 "reads only the container that kivrule pack makes)\n",
                 in.name.c_str(), in.json.size());
  } else {
    std::fprintf(out, "%s: rule container, body of %zu bytes\n", in.name.c_str(), in.json.size());
    if (in.len_field != in.json.size())
      std::fprintf(out,
                   "warning: Len is %ld, not the body length %zu (the daemon does not use Len)\n",
                   static_cast<long>(static_cast<int32_t>(in.len_field)), in.json.size());
    if (in.json.empty()) {
      std::fprintf(out, "verdict: rejected: the container has no body (\"Empty JSON file!!!\")\n");
      return false;
    }
  }
  const std::string note = signature_note(in);
  if (!note.empty())
    std::fprintf(out, "%s%s\n",
                 in.verdict || in.sig.trailer == rule_sig::ok ? "" : "warning: ", note.c_str());
  if (in.verdict && *in.verdict != rule_sig::ok) {
    std::fprintf(out,
                 "verdict: rejected on a router with the --pubkey key: %s; it keeps its current "
                 "rule set\n",
                 rule_sig_text(*in.verdict));
    return false;
  }
  size_t zero = in.json.find('\0');
  if (zero != std::string::npos)
    std::fprintf(out, "warning: a zero byte at %s of the text: the daemon reads only up to it\n",
                 text_position(in.json, zero).c_str());
  return true;
}

void report_identity(const router_identity& id, FILE* out) {
  std::fprintf(out, "router: productid %s, odmpid %s, device_fwver %s, label_mac %s\n",
               shown(id.productid).c_str(), shown(id.odmpid).c_str(),
               quoted(id.device_fwver).c_str(), quoted(id.label_mac).c_str());
  if (!id.productid) std::fprintf(out, "note: without --productid no rule can be active\n");
}

// Parses as the reader does; on failure prints where and why.
json_object* parse_document(const std::string& text, FILE* out) {
  json_object* doc = json_tokener_parse(text.c_str());
  size_t end = 0;
  const std::string problem = json_problem(text, &end);
  if (!doc) {
    std::fprintf(out, "error: not JSON: %s\n", problem.c_str());
  } else if (!json_object_is_type(doc, json_type_array)) {
    std::fprintf(out, "error: the top-level value is %s, not an array of rules\n",
                 json_type_to_name(json_object_get_type(doc)));
  } else {
    const size_t len = std::strlen(text.c_str());
    while (end < len && std::strchr(" \t\r\n", text[end])) ++end;
    if (end < len)
      std::fprintf(out, "warning: text after the array, from %s, is ignored\n",
                   text_position(text, end).c_str());
  }
  return doc;
}

// The daemon's reader on the whole text for one router; its records to standard error when
// verbose.
int load_whole(const std::string& json, const router_identity& id, bool verbose,
               std::atomic<int32_t>* pause, rule_load* whole) {
  if (verbose) kiv_log_to_stream(stderr);
  int rc = build_rule_set(json.c_str(), id, pause, whole);
  kiv_log_to_stream(nullptr);
  return rc;
}

// "verdict: loads, but ..." for the active rules that cannot work; empty when there are none.
std::string unusable_verdict(const std::vector<rule_verdict>& verdicts, bool named) {
  std::string list;
  size_t n = 0;
  for (size_t i = 0; i < verdicts.size(); ++i)
    if (verdicts[i].unusable) list += (n++ ? ", " : "") + std::to_string(i);
  if (n == 0) return "";
  return "verdict: loads, but " + std::to_string(n) + " active rule" + (n == 1 ? "" : "s") +
         " cannot work" +
         (!named   ? ""
          : n == 1 ? " on the router it names"
                   : " on the routers they name") +
         " (rule " + list + ")\n";
}

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: %s\n", message.c_str());
  return status;
}

// The verdict for the one router of the identity options.
int judge_router(const rule_text& in, const router_identity& id, size_t n,
                 const std::vector<rule_verdict>& verdicts, bool verbose, FILE* out) {
  std::atomic<int32_t> pause{kNoPause};
  rule_load whole;
  int rc = load_whole(in.json, id, verbose, &pause, &whole);
  size_t active = 0;
  for (int32_t i = 0; i < whole.n; ++i) active += whole.array[i].isActive == 1 ? 1 : 0;
  release_rule_load(&whole);
  if (pause.load() != kNoPause)
    std::fprintf(out, "Global_Pause after this file: %d%s\n", static_cast<int>(pause.load()),
                 rc == RULES_OK ? "" : " (taken even though the load fails)");
  if (rc != RULES_OK) {
    std::fprintf(out, "verdict: rejected: rule %d: %s; the daemon keeps its current rule set\n",
                 static_cast<int>(whole.failed_index), rule_load_rejection(rc));
    return KIVRULE_REJECTED;
  }
  if (const std::string unusable = unusable_verdict(verdicts, false); !unusable.empty()) {
    std::fputs(unusable.c_str(), out);
    return KIVRULE_REJECTED;
  }
  std::fprintf(out, "verdict: loads: %zu rule%s, %zu active\n", n, n == 1 ? "" : "s", active);
  return KIVRULE_OK;
}

// The verdict of every router the rules name. A rule that fails when active makes the file fail
// on its own router, and no rule fails on another's account, so the routers of the failing
// rules are the ones that refuse it.
int judge_named_routers(const rule_text& in, size_t n, const std::vector<rule_verdict>& verdicts,
                        bool verbose, FILE* out) {
  std::vector<router_identity> routers, refusing;
  for (size_t i = 0; i < verdicts.size(); ++i) {
    const rule_verdict& v = verdicts[i];
    if (!v.active) continue;
    auto seen = [&](const router_identity& r) { return same_router(r, v.router); };
    if (std::none_of(routers.begin(), routers.end(), seen)) routers.push_back(v.router);
    if (v.rc == RULES_OK || std::any_of(refusing.begin(), refusing.end(), seen)) continue;
    refusing.push_back(v.router);
    std::atomic<int32_t> pause{kNoPause};
    rule_load whole;
    int rc = load_whole(in.json, v.router, verbose, &pause, &whole);
    release_rule_load(&whole);
    if (rc == RULES_OK) continue;
    std::fprintf(out,
                 "verdict: rejected on the router rule %zu names (%s): rule %d: %s; that router "
                 "keeps its current rule set\n",
                 i, router_text(v.router).c_str(), static_cast<int>(whole.failed_index),
                 rule_load_rejection(rc));
  }
  if (!refusing.empty()) return KIVRULE_REJECTED;
  const std::string unusable = unusable_verdict(verdicts, true);
  if (!unusable.empty()) {
    std::fputs(unusable.c_str(), out);
    return KIVRULE_REJECTED;
  }
  if (routers.empty())
    std::fprintf(out, "verdict: loads, but no rule is active on any router\n");
  else
    std::fprintf(out, "verdict: loads on every router the rules name: %zu router%s, %zu rule%s\n",
                 routers.size(), routers.size() == 1 ? "" : "s", n, n == 1 ? "" : "s");
  return KIVRULE_OK;
}

}  // namespace

int check_rules(const rule_text& in, const router_identity* id, bool verbose, FILE* out) {
  if (id)
    report_identity(*id, out);
  else
    std::fprintf(out,
                 "routers: each rule is judged on the router it names (its model, odmpid, "
                 "target_fwver and first label_mac), and the file as each such router loads it\n");
  if (!report_file(in, out)) return KIVRULE_REJECTED;

  json_object* doc = parse_document(in.json, out);
  if (!doc || !json_object_is_type(doc, json_type_array)) {
    json_object_put(doc);
    std::fprintf(
        out,
        "verdict: rejected: %s; the daemon logs \"json_tokener_parse error\" and keeps its "
        "current rule set\n",
        rule_load_rejection(RULES_PARSE_ERROR));
    return KIVRULE_REJECTED;
  }
  const size_t n = json_object_array_length(doc);
  std::fprintf(out, "%zu rule%s\n", n, n == 1 ? "" : "s");
  const std::vector<std::string> actions = file_actions(doc);
  std::vector<rule_verdict> verdicts;
  for (size_t i = 0; i < n && i <= static_cast<size_t>(INT32_MAX); ++i)
    verdicts.push_back(
        check_rule(json_object_array_get_idx(doc, i), static_cast<int32_t>(i), id, actions, out));
  json_object_put(doc);
  std::fprintf(out, "\n");
  return id ? judge_router(in, *id, n, verdicts, verbose, out)
            : judge_named_routers(in, n, verdicts, verbose, out);
}

int kivrule_check(std::vector<std::string> args) {
  std::string err;
  bool verbose = false, given = false, fwver_cut = false;
  router_identity id;
  rule_key key;
  if (!take_flag(&args, "--verbose", &verbose, &err) ||
      !take_identity_options(&args, &id, &err, &fwver_cut, &given))
    return fail(err, KIVRULE_USAGE);
  if (int status = take_public_key(&args, &key, &err)) return fail(err, status);
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-')
      return fail("check: unknown option '" + a + "'", KIVRULE_USAGE);
  if (args.size() != 1)
    return fail(
        "usage: kivrule check FILE [--productid P] [--odmpid O] [--fwver F] "
        "[--label-mac M] [--pubkey KEY.pub] [--verbose]",
        KIVRULE_USAGE);
  if (fwver_cut)
    std::printf("warning: --fwver is cut to 63 characters, as the daemon's device_fwver is\n");
  rule_text in;
  if (int status = load_rule_text(args[0], &in, &err, key.get())) return fail(err, status);
  return check_rules(in, given ? &id : nullptr, verbose, stdout);
}
