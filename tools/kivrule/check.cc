// kivrule check: which rules of a file would be active on a router, and would they work.
//
// The verdict is the daemon's own: build_rule_set on the whole text, exactly as the reader runs
// it. That stops at the first rule that fails, so every rule is also loaded on its own (a
// one-element array) for its filters, and each of its fields in a probe rule of its own that
// only a probe identity matches. Every probe goes through build_rule_set as well, so a field is
// judged by the daemon's code even when the rule is inactive or an earlier field fails.
#include <json-c/json.h>
#include <regex.h>

#include <algorithm>
#include <atomic>
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

void report_pattern(json_object* rule, rule_report* r) {
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
    if (p.regex_compiled && regexec(&p.regex, "", 0, nullptr, 0) == 0)
      r->warnings.push_back("re_pattern matches the empty text, so it matches every log line");
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
      if (!reboots || !p.regex_compiled || regexec(&p.regex, stamped.c_str(), 0, nullptr, 0) != 0)
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

// Prints one rule; returns true when it is active and unusable.
bool check_rule(json_object* rule, int32_t index, const router_identity& id) {
  rule_load alone;
  std::atomic<int32_t> pause{kNoPause};
  int rc = load_one(rule, id, &pause, &alone);
  const rule_note note = alone.notes.empty() ? rule_note{} : alone.notes.front();
  release_rule_load(&alone);

  std::optional<std::string> keyword = member_text(rule, "keyword");
  std::string head = "rule " + std::to_string(index) + " " + (keyword ? quoted(*keyword) : "");
  if (!json_object_is_type(rule, json_type_object)) {
    std::printf("\n%s(not an object): inactive, the reader finds none of its keys\n", head.c_str());
    return false;
  }
  if (!keyword) head += "(no keyword)";
  std::printf("\n%s: %s\n", head.c_str(),
              note.active ? "active" : ("inactive: " + note.inactive_reason).c_str());
  if (const auto type = member_text(rule, "type"))
    std::printf("  type %s\n", quoted(*type).c_str());

  rule_report r;
  report_pattern(rule, &r);
  report_window(rule, &r);
  report_actions(rule, &r);
  report_reboot_at_start(rule, &r);
  report_pause(rule, &r);
  report_unknown_keys(rule, &r);
  if (rc == RULES_NO_MEMORY) r.problems.push_back("out of memory while loading the rule");

  for (const std::string& line : r.lines) std::printf("  %s\n", line.c_str());
  for (const std::string& p : r.problems)
    std::printf("  %s: %s\n", note.active ? "error" : "note (inactive)", p.c_str());
  for (const std::string& w : r.warnings) std::printf("  warning: %s\n", w.c_str());
  return note.active && !r.problems.empty();
}

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: %s\n", message.c_str());
  return status;
}

bool has_flag(std::vector<std::string>* args, const char* flag) {
  auto it = std::find(args->begin(), args->end(), flag);
  if (it == args->end()) return false;
  args->erase(it);
  return true;
}

// What the container or plain file says about itself before its rules are read. False when the
// daemon would not get as far as parsing.
bool report_file(const std::string& path, const std::string& json, bool container) {
  if (!container) {
    std::printf(
        "%s: no container header, read as plain JSON text of %zu bytes (the daemon "
        "reads only the container that kivrule pack makes)\n",
        path.c_str(), json.size());
  } else {
    std::string raw, err;
    uint32_t len_field = 0;
    if (read_whole_file(path, &raw, &err) && raw.size() >= KIV_HEADER_LEN) {
      const auto* h = reinterpret_cast<const unsigned char*>(raw.data()) + 32;
      len_field = static_cast<uint32_t>(h[0]) | (static_cast<uint32_t>(h[1]) << 8) |
                  (static_cast<uint32_t>(h[2]) << 16) | (static_cast<uint32_t>(h[3]) << 24);
    }
    std::printf("%s: rule container, body of %zu bytes\n", path.c_str(), json.size());
    if (len_field != json.size())
      std::printf("warning: Len is %ld, not the body length %zu (the daemon does not use Len)\n",
                  static_cast<long>(static_cast<int32_t>(len_field)), json.size());
    if (json.empty()) {
      std::printf("verdict: rejected: the container has no body (\"Empty JSON file!!!\")\n");
      return false;
    }
  }
  size_t zero = json.find('\0');
  if (zero != std::string::npos)
    std::printf("warning: a zero byte at offset %zu of the text: the daemon reads only up to it\n",
                zero);
  return true;
}

void report_identity(const router_identity& id) {
  std::printf("router: productid %s, odmpid %s, device_fwver %s, label_mac %s\n",
              shown(id.productid).c_str(), shown(id.odmpid).c_str(),
              quoted(id.device_fwver).c_str(), quoted(id.label_mac).c_str());
  if (!id.productid) std::printf("note: without --productid no rule can be active\n");
}

// Parses as the reader does; on failure prints why (with the parser's own description).
json_object* parse_document(const std::string& text) {
  json_object* doc = json_tokener_parse(text.c_str());
  json_tokener* tok = json_tokener_new();
  if (!tok) return doc;
  const size_t len = std::strlen(text.c_str());
  json_object* again =
      json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(std::min<size_t>(len, INT_MAX)));
  if (!doc) {
    std::printf("error: not JSON: %s at byte %zu\n",
                json_tokener_error_desc(json_tokener_get_error(tok)),
                json_tokener_get_parse_end(tok));
  } else if (!json_object_is_type(doc, json_type_array)) {
    std::printf("error: the top-level value is %s, not an array of rules\n",
                json_type_to_name(json_object_get_type(doc)));
  } else {
    size_t end = json_tokener_get_parse_end(tok);
    while (end < len && std::strchr(" \t\r\n", text[end])) ++end;
    if (end < len) std::printf("warning: text after the array, from byte %zu, is ignored\n", end);
  }
  json_object_put(again);
  json_tokener_free(tok);
  return doc;
}

}  // namespace

int kivrule_check(std::vector<std::string> args) {
  std::string err;
  const bool verbose = has_flag(&args, "--verbose");
  router_identity id;
  bool fwver_cut = false;
  if (!take_identity_options(&args, &id, &err, &fwver_cut)) return fail(err, KIVRULE_USAGE);
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-')
      return fail("check: unknown option '" + a + "'", KIVRULE_USAGE);
  if (args.size() != 1)
    return fail(
        "usage: kivrule check FILE [--productid P] [--odmpid O] [--fwver F] "
        "[--label-mac M] [--verbose]",
        KIVRULE_USAGE);
  if (fwver_cut)
    std::printf("warning: --fwver is cut to 63 characters, as the daemon's device_fwver is\n");

  std::string json;
  bool container = false;
  if (!load_rule_text(args[0], &json, &container, &err)) return fail(err, KIVRULE_USAGE);
  report_identity(id);
  if (!report_file(args[0], json, container)) return KIVRULE_REJECTED;

  json_object* doc = parse_document(json);
  if (!doc || !json_object_is_type(doc, json_type_array)) {
    json_object_put(doc);
    std::printf(
        "verdict: rejected: %s (\"json_tokener_parse error\"); the daemon keeps its "
        "current rule set\n",
        rule_load_rejection(RULES_PARSE_ERROR));
    return KIVRULE_REJECTED;
  }
  const size_t n = json_object_array_length(doc);
  std::printf("%zu rule%s\n", n, n == 1 ? "" : "s");
  std::vector<int32_t> unusable;
  size_t active = 0;
  for (size_t i = 0; i < n && i <= static_cast<size_t>(INT32_MAX); ++i) {
    json_object* rule = json_object_array_get_idx(doc, i);
    if (check_rule(rule, static_cast<int32_t>(i), id)) unusable.push_back(static_cast<int32_t>(i));
  }
  json_object_put(doc);
  std::printf("\n");

  // The verdict: the whole text through the reader, as the daemon loads it.
  std::atomic<int32_t> pause{kNoPause};
  rule_load whole;
  if (verbose) kiv_log_to_stream(stderr);
  int rc = build_rule_set(json.c_str(), id, &pause, &whole);
  kiv_log_to_stream(nullptr);
  for (int32_t i = 0; i < whole.n; ++i) active += whole.array[i].isActive == 1 ? 1 : 0;
  release_rule_load(&whole);
  if (pause.load() != kNoPause)
    std::printf("Global_Pause after this file: %d%s\n", static_cast<int>(pause.load()),
                rc == RULES_OK ? "" : " (taken even though the load fails)");
  if (rc != RULES_OK) {
    std::printf("verdict: rejected: rule %d: %s; the daemon keeps its current rule set\n",
                static_cast<int>(whole.failed_index), rule_load_rejection(rc));
    return KIVRULE_REJECTED;
  }
  if (!unusable.empty()) {
    std::string list;
    for (int32_t i : unusable) list += (list.empty() ? "" : ", ") + std::to_string(i);
    std::printf("verdict: loads, but %zu active rule%s cannot work (rule %s)\n", unusable.size(),
                unusable.size() == 1 ? "" : "s", list.c_str());
    return KIVRULE_REJECTED;
  }
  std::printf("verdict: loads: %zu rule%s, %zu active\n", n, n == 1 ? "" : "s", active);
  return KIVRULE_OK;
}
