// kivrule check: which rules of a file would be active on a router, and would they work.
//
// A file on the rule server serves every router its rules name. Without an identity each rule is
// judged on the router it names, and the file on every such router; with one, on that router.
// Every verdict comes from the daemon's own reader steps (rules/rule_reader.h): the file is split
// and each rule's fields read once, each distinct pattern is guarded and compiled once, and a
// router's verdict is the first rule active on it that the reader refuses, exactly where the
// reader would stop. So a file of tens of thousands of rules for as many routers is judged in
// seconds.
#include <json-c/json.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/kiv_log.h"
#include "core/syslog_lines.h"
#include "rules/action_list.h"
#include "rules/libc_differences.h"
#include "rules/pattern_automaton.h"
#include "tools/kivrule/kivrule.h"

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
router_identity named_router(const rule_fields& f) {
  router_identity id;
  id.productid = f.model;
  id.odmpid = f.odmpid;
  id.device_fwver = f.target_fwver.value_or("._").substr(0, KIV_FWVER_MAX);
  id.label_mac = first_mac(f.label_mac.value_or(""));
  return id;
}

namespace {

constexpr size_t kShownBytes = 160;  // longer texts are cut in the report

const char* const kKnownKeys[] = {"model",  "odmpid",  "target_fwver", "label_mac",
                                  "type",   "keyword", "re_pattern",   "frequency",
                                  "period", "action",  "Global_Pause"};

std::string quoted(const std::string& s) {
  return quoted_text(s, kShownBytes, true);
}

std::string shown(const std::optional<std::string>& s) {
  return s ? quoted(*s) : "(unset)";
}

// A pattern as the reader readies it, once for every rule that has it.
struct pattern_verdict {
  std::string error;      // why it does not compile or is refused; empty when it compiles
  monitor_profile probe;  // a record that searches with it, for the warnings
};

// Everything check needs of one rule, read once.
struct checked_rule {
  int32_t index = 0;
  rule_fields f;
  std::vector<std::string> unknown_keys;
  std::shared_ptr<const pattern_verdict> pattern;  // none without "re_pattern"
  rule_steps steps;                                // the reader's steps, its pattern's included
  std::vector<rule_action> actions;                // as the daemon's parser takes them
  int rc = RULES_OK;  // what the reader makes of the rule when it is active, alone in its set
  router_identity named;
};

std::string router_key(const router_identity& id) {
  std::string key = id.productid ? "1" + *id.productid : "0";
  key += '\0';
  key += id.odmpid ? "1" + *id.odmpid : "0";
  return key + '\0' + id.device_fwver + '\0' + id.label_mac;
}

// productid, and odmpid, fwver and label_mac where the router has them.
std::string router_text(const router_identity& id) {
  std::string s = "productid " + shown(id.productid);
  if (id.odmpid) s += ", odmpid " + quoted(*id.odmpid);
  if (id.device_fwver != "._") s += ", fwver " + quoted(id.device_fwver);
  if (!id.label_mac.empty()) s += ", label_mac " + quoted(id.label_mac);
  return s;
}

// Reads every rule of the array once; patterns compiled once each.
std::vector<checked_rule> read_rules(const rule_array& array) {
  std::map<std::string, std::shared_ptr<const pattern_verdict>> patterns;
  std::vector<checked_rule> rules;
  rules.reserve(array.size());
  for (size_t i = 0; i < array.size() && i <= static_cast<size_t>(INT32_MAX); ++i) {
    checked_rule r;
    r.index = static_cast<int32_t>(i);
    json_ptr element = rule_array_element(array, i);
    r.f = read_rule_fields(element.get());
    if (r.f.object) {
      json_object_object_foreach(element.get(), key, value) {
        (void)value;
        if (std::none_of(std::begin(kKnownKeys), std::end(kKnownKeys),
                         [&](const char* k) { return std::strcmp(k, key) == 0; }))
          r.unknown_keys.push_back(key);
      }
    }
    if (r.f.re_pattern) {
      auto& verdict = patterns[*r.f.re_pattern];
      if (!verdict) {
        auto v = std::make_shared<pattern_verdict>();
        v->probe.re_pattern = r.f.re_pattern;
        v->error = compile_pattern(r.f.re_pattern->c_str(), &v->probe.pattern);
        verdict = v;
      }
      r.pattern = verdict;
    }
    r.steps = read_rule_steps(r.f, nullptr);
    if (r.pattern) r.steps.regex_error = r.pattern->error;
    if (r.f.action) r.actions = parse_action_list(r.f.action->c_str()).value_or(r.actions);
    uint64_t alone = 0;
    r.rc = active_rule_status(r.f, r.steps, &alone);
    r.named = named_router(r.f);
    rules.push_back(std::move(r));
  }
  return rules;
}

std::vector<std::string> action_texts(const std::vector<rule_action>& actions) {
  std::vector<std::string> texts;
  for (const rule_action& a : actions) texts.push_back(a.text);
  return texts;
}

// The rules of each model, in file order: only they can be active on a router of that model.
using model_index = std::map<std::string, std::vector<const checked_rule*>>;
model_index index_by_model(const std::vector<checked_rule>& rules) {
  model_index by_model;
  for (const checked_rule& r : rules)
    if (r.f.model) by_model[*r.f.model].push_back(&r);
  return by_model;
}

const std::vector<const checked_rule*>& rules_of(const model_index& by_model,
                                                 const router_identity& id) {
  static const std::vector<const checked_rule*> none;
  if (!id.productid) return none;
  auto at = by_model.find(*id.productid);
  return at == by_model.end() ? none : at->second;
}

// The action items of the rules active on each router, once per router: the lines their
// healing writes to that router's system log.
struct router_actions {
  const model_index& by_model;
  std::map<std::string, own_lines> known;

  const own_lines& of(const router_identity& id) {
    auto [at, fresh] = known.try_emplace(router_key(id));
    if (!fresh) return at->second;
    std::vector<std::string> actions;
    for (const checked_rule* r : rules_of(by_model, id))
      if (judge_filters(r->f, id).active)
        for (const rule_action& a : r->actions) actions.push_back(a.text);
    at->second = kiv_own_lines(actions);
    return at->second;
  }
};

struct rule_report {
  std::vector<std::string> lines;     // what the rule holds
  std::vector<std::string> problems;  // errors (exit 1 for an active rule)
  std::vector<std::string> warnings;  // never change the exit status
};

void report_pattern(const checked_rule& c, const own_lines& actions, rule_report* r) {
  if (!c.pattern) {
    r->lines.push_back("re_pattern: none");
    r->problems.push_back("no \"re_pattern\": the rule can never match a line");
    return;
  }
  const std::string& pattern = *c.f.re_pattern;
  if (!c.pattern->error.empty()) {
    r->lines.push_back("re_pattern " + quoted(pattern) + ": does not compile (" + c.pattern->error +
                       ")");
    r->problems.push_back("re_pattern does not compile (" + c.pattern->error + ")");
    return;
  }
  r->lines.push_back("re_pattern " + quoted(pattern) + ": compiles");
  const monitor_profile& p = c.pattern->probe;
  if (has_expression(p) && profile_regexec(p, "", 0) == 0)
    r->warnings.push_back("re_pattern matches the empty text, so it matches every log line");
  if (repeats_an_anchored_group(pattern.c_str()))
    r->warnings.push_back(
        "re_pattern repeats a group with an anchor in it (by + or a count above 1): kiv matches "
        "it as POSIX reads it, where the C library's matcher also matches some lines on which "
        "the anchor does not hold (\"(^a){2}\" on \"aa\"); write the anchor outside the group");
  for (const std::string& w :
       c_library_differences(pattern.c_str(), p.pattern.automaton.has_value()))
    r->warnings.push_back(w);
  const std::string self = self_trigger_warning(p, action_texts(c.actions), actions);
  if (!self.empty()) r->warnings.push_back(self);
}

// A number written with a fraction or an exponent ("3.6e3", "60.5") reads as its leading digits
// only, as the daemon reads every number.
void warn_not_whole(const char* key, const std::optional<std::string>& text, rule_report* r) {
  if (!text) return;
  const decimal_read d = read_decimal(*text);
  if (d.digits == 0 || d.end >= text->size() || !std::strchr(".eE", (*text)[d.end])) return;
  r->warnings.push_back(std::string(key) + " " + quoted(*text) + " is read as " +
                        std::to_string(atoi_rule(*text)) +
                        ", its digits before the first other character: write a whole number");
}

void report_window(const checked_rule& c, rule_report* r) {
  const std::optional<std::string>& freq = c.f.frequency;
  warn_not_whole("frequency", freq, r);
  warn_not_whole("period", c.f.period, r);
  if (freq && !c.steps.ring) {
    r->lines.push_back("frequency " + quoted(*freq) + ": a ring that cannot be allocated");
    r->problems.push_back("frequency " + quoted(*freq) +
                          " asks for a ring that cannot be allocated (negative, or above " +
                          std::to_string(KIV_MAX_FREQUENCY) + ")");
    return;
  }
  if (c.f.period && !c.steps.window) {
    r->lines.push_back("period " + quoted(*c.f.period) + ": negative");
    r->problems.push_back("period " + quoted(*c.f.period) +
                          " is negative: the daemon refuses the whole file");
    return;
  }
  const uint32_t frequency = c.steps.ring.value_or(0);
  const uint32_t period = c.steps.window.value_or(0);
  r->lines.push_back("frequency " + (freq ? std::to_string(frequency) : "none") + ", period " +
                     (c.f.period ? std::to_string(period) + " s" : "none"));
  if (!freq) {
    r->problems.push_back("no \"frequency\": the rule has no ring and can never fire");
  } else if (frequency == 0) {
    r->problems.push_back("frequency " + quoted(*freq) +
                          " converts to 0: the rule has no ring and can never fire");
  } else if (period == 0 && frequency > 1) {
    r->warnings.push_back("period 0 (or none): the rule fires only when all " +
                          std::to_string(frequency) + " matches fall in the same instant");
  }
}

void report_actions(const checked_rule& c, rule_report* r) {
  if (!c.f.action) {
    r->lines.push_back("actions: none");
    r->problems.push_back("no \"action\": the rule would fire and heal nothing");
    return;
  }
  const size_t n = c.actions.size();
  r->lines.push_back("action " + quoted(*c.f.action) + ": " + std::to_string(n) +
                     (n == 1 ? " item" : " items"));
  if (n == 0)
    r->problems.push_back("the action list has no items: the rule would fire and heal nothing");
  for (size_t k = 0; k < n; ++k) {
    const rule_action& a = c.actions[k];
    const int32_t row = a.checkFuncIndex;
    const char* check = row >= 0 && row < CHECK_ROWS ? checkActionList[row].name : nullptr;
    r->lines.push_back("  action " + std::to_string(k) + ": " + quoted(a.text) +
                       " (check: " + (check ? check : "none") + ")");
    // The executor runs an item as written: with a blank in it no action or service has its name.
    if (a.text.find_first_of(" \t\r\n") != std::string::npos)
      r->problems.push_back("action " + quoted(a.text) +
                            " has blanks in it and is run with them (items are not trimmed)");
  }
}

// A rule that reboots on a line written at every start reboots the router at every start. The
// lines, as the system log holds them after a time stamp: kiv's start line, the boot-up check's
// rule update, the kernel's first line.
void report_reboot_at_start(const checked_rule& c, rule_report* r) {
  static const std::string kStartLines[] = {
      std::string(KIV_SYSLOG_TAG) + ": " + KIV_LINE_SYSLOG_START,
      std::string(KIV_SYSLOG_TAG) + ": " + KIV_LINE_RULES_UPDATED,
      "kernel: Linux version 4.4.198 (root@build) #1 SMP PREEMPT"};
  const bool reboots = std::any_of(c.actions.begin(), c.actions.end(),
                                   [](const rule_action& a) { return a.text == "reboot"; });
  if (!reboots || !c.pattern || !has_expression(c.pattern->probe)) return;
  for (const std::string& line : kStartLines) {
    if (!line_matches(c.pattern->probe, "Jan  1 00:00:10 " + line)) continue;
    r->warnings.push_back("the actions hold \"reboot\" and re_pattern matches " + quoted(line) +
                          ", a line written at every start: the router would reboot at every "
                          "start (kiv_reboot_limit caps such reboots)");
    return;
  }
}

void report_pause(const checked_rule& c, rule_report* r) {
  if (!c.f.Global_Pause) return;
  const int32_t v = atoi_rule(c.f.Global_Pause->c_str());
  r->lines.push_back("Global_Pause " + std::to_string(v) +
                     (v == 1 ? " (pauses the monitors)" : ""));
}

// A pause switch: a rule that only sets Global_Pause, with nothing to match, count or run.
bool pause_switch(const rule_fields& f) {
  return f.Global_Pause && !f.re_pattern && !f.frequency && !f.action;
}

// What one rule comes to on the router it is judged for.
struct rule_verdict {
  bool active = false;
  bool unusable = false;  // active, and it cannot work
};

// Prints one rule, judged as the router `id` names, or without one as the router it names.
rule_verdict check_rule(const checked_rule& c, const router_identity* id, router_actions& on_router,
                        FILE* out) {
  rule_verdict v;
  const router_identity& router = id ? *id : c.named;
  const filter_verdict filter = judge_filters(c.f, router);
  v.active = filter.active;

  std::string head =
      "rule " + std::to_string(c.index) + " " + (c.f.keyword ? quoted(*c.f.keyword) : "");
  if (!c.f.object) {
    std::fprintf(out, "\n%s(not an object): inactive, the reader finds none of its keys\n",
                 head.c_str());
    return v;
  }
  if (!c.f.keyword) head += "(no keyword)";
  std::string state = filter.active ? "active" : "inactive: " + filter.why_not;
  if (!id)
    state = filter.active ? "active on " + router_text(router)
                          : "inactive on every router: " + filter.why_not;
  std::fprintf(out, "\n%s: %s\n", head.c_str(), state.c_str());
  if (c.f.type) std::fprintf(out, "  type %s\n", quoted(*c.f.type).c_str());

  rule_report r;
  if (!pause_switch(c.f)) {
    report_pattern(c, on_router.of(router), &r);
    report_window(c, &r);
    report_actions(c, &r);
    report_reboot_at_start(c, &r);
  }
  report_pause(c, &r);
  for (const std::string& key : c.unknown_keys)
    r.warnings.push_back("unknown key " + quoted(key) + " is ignored");

  for (const std::string& line : r.lines) std::fprintf(out, "  %s\n", line.c_str());
  for (const std::string& p : r.problems)
    std::fprintf(out, "  %s: %s\n", filter.active ? "error" : "note (inactive)", p.c_str());
  for (const std::string& w : r.warnings) std::fprintf(out, "  warning: %s\n", w.c_str());
  v.unusable = filter.active && !r.problems.empty();
  return v;
}

// Where the reader stops on a router: the first rule active on it that it refuses, or whose ring
// takes the set's rings past their bound. failed -1 when the router loads the file.
struct router_load {
  int32_t failed = -1;
  int rc = RULES_OK;
};
router_load load_on(const std::vector<const checked_rule*>& candidates, const router_identity& id) {
  uint64_t slots = 0;
  for (const checked_rule* r : candidates) {
    if (!judge_filters(r->f, id).active) continue;
    const int rc = active_rule_status(r->f, r->steps, &slots);
    if (rc != RULES_OK) return {r->index, rc};
  }
  return {};
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

// Splits the array as the reader does; on failure prints where and why.
int read_document(const std::string& text, rule_array* array, FILE* out) {
  const int rc = read_rule_array(text.c_str(), array);
  if (rc == RULES_NO_MEMORY) return rc;
  size_t end = 0;
  const std::string problem = json_problem(text, &end);
  if (rc == RULES_OK) {
    const size_t len = std::strlen(text.c_str());
    while (end < len && std::strchr(" \t\r\n", text[end])) ++end;
    if (end < len)
      std::fprintf(out, "warning: text after the array, from %s, is ignored\n",
                   text_position(text, end).c_str());
  } else if (!problem.empty()) {
    std::fprintf(out, "error: not JSON: %s\n", problem.c_str());
  } else {
    json_ptr doc(json_tokener_parse(text.c_str()));
    std::fprintf(out, "error: the top-level value is %s, not an array of rules\n",
                 json_type_to_name(json_object_get_type(doc.get())));
  }
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

// The daemon's reader on the whole text for one router, its records to standard error when
// verbose.
int load_whole(const std::string& json, const router_identity& id, bool verbose, rule_set* set,
               load_report* report) {
  if (verbose) kiv_log_to_stream(stderr);
  const int rc = build_rule_set(json.c_str(), id, set, report);
  kiv_log_to_stream(nullptr);
  return rc;
}

// The verdict for the one router of the identity options: the reader on the whole file.
int judge_router(const rule_text& in, const router_identity& id, size_t n,
                 const std::vector<rule_verdict>& verdicts, bool verbose, FILE* out) {
  rule_set set;
  load_report report;
  const int rc = load_whole(in.json, id, verbose, &set, &report);
  if (rc != RULES_OK) {
    std::fprintf(out, "verdict: rejected: rule %d: %s; the daemon keeps its current rule set\n",
                 static_cast<int>(report.failed_index), rule_load_rejection(rc));
    return KIVRULE_REJECTED;
  }
  if (set.pause)
    std::fprintf(out, "Global_Pause after this file: %d\n", static_cast<int>(*set.pause));
  if (const std::string unusable = unusable_verdict(verdicts, false); !unusable.empty()) {
    std::fputs(unusable.c_str(), out);
    return KIVRULE_REJECTED;
  }
  std::fprintf(out, "verdict: loads: %zu rule%s, %zu active\n", n, n == 1 ? "" : "s",
               set.profiles.size());
  return KIVRULE_OK;
}

// The verdict of every router the rules name. A router refuses the file at the first rule
// active on it that the reader refuses, or whose ring takes the set's rings past their bound.
int judge_named_routers(const rule_text& in, const std::vector<checked_rule>& rules,
                        const model_index& by_model, const std::vector<rule_verdict>& verdicts,
                        bool verbose, FILE* out) {
  // Without a refused rule, only a model whose rules' rings pass the bound together can make a
  // router refuse the file, and only then is every router of it looked at.
  std::set<std::string> models_over;
  for (const auto& [model, list] : by_model) {
    uint64_t slots = 0;
    bool over = false;
    for (const checked_rule* r : list)
      over = add_ring(&slots, r->steps.ring.value_or(0)) != RULES_OK || over;
    if (over) models_over.insert(model);
  }
  std::set<std::string> routers, looked_at;
  bool refused = false;
  for (size_t i = 0; i < rules.size(); ++i) {
    const checked_rule& r = rules[i];
    if (!verdicts[i].active) continue;
    const std::string key = router_key(r.named);
    routers.insert(key);
    if (r.rc == RULES_OK && !models_over.count(*r.f.model)) continue;
    if (!looked_at.insert(key).second) continue;
    const router_load load = load_on(rules_of(by_model, r.named), r.named);
    if (load.failed < 0) continue;
    refused = true;
    if (verbose) {
      rule_set set;
      load_whole(in.json, r.named, verbose, &set, nullptr);
    }
    std::fprintf(out,
                 "verdict: rejected on the router rule %zu names (%s): rule %d: %s; that router "
                 "keeps its current rule set\n",
                 i, router_text(r.named).c_str(), static_cast<int>(load.failed),
                 rule_load_rejection(load.rc));
  }
  if (refused) return KIVRULE_REJECTED;
  const std::string unusable = unusable_verdict(verdicts, true);
  if (!unusable.empty()) {
    std::fputs(unusable.c_str(), out);
    return KIVRULE_REJECTED;
  }
  if (routers.empty())
    std::fprintf(out, "verdict: loads, but no rule is active on any router\n");
  else
    std::fprintf(out, "verdict: loads on every router the rules name: %zu router%s, %zu rule%s\n",
                 routers.size(), routers.size() == 1 ? "" : "s", rules.size(),
                 rules.size() == 1 ? "" : "s");
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

  rule_array array;
  const int rc = read_document(in.json, &array, out);
  if (rc != RULES_OK) {
    std::fprintf(out,
                 "verdict: rejected: %s; the daemon logs \"json_tokener_parse error\" and keeps "
                 "its current rule set\n",
                 rule_load_rejection(rc));
    return KIVRULE_REJECTED;
  }
  const std::vector<checked_rule> rules = read_rules(array);
  array = rule_array{};
  std::fprintf(out, "%zu rule%s\n", rules.size(), rules.size() == 1 ? "" : "s");
  const model_index by_model = index_by_model(rules);
  router_actions on_router{by_model, {}};
  std::vector<rule_verdict> verdicts;
  for (const checked_rule& r : rules) verdicts.push_back(check_rule(r, id, on_router, out));
  std::fprintf(out, "\n");
  return id ? judge_router(in, *id, rules.size(), verdicts, verbose, out)
            : judge_named_routers(in, rules, by_model, verdicts, verbose, out);
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
    std::printf("warning: --fwver is cut to %zu characters, as the daemon's device_fwver is\n",
                KIV_FWVER_MAX);
  rule_text in;
  if (int status = load_rule_text(args[0], &in, &err, key.get())) return fail(err, status);
  return check_rules(in, given ? &id : nullptr, verbose, stdout);
}
