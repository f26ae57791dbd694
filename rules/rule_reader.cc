#include "rules/rule_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/kiv_log.h"
#include "platform/platform.h"
#include "rules/action_list.h"
#include "rules/pattern_guard.h"
#include "rules/pattern_literals.h"

namespace {

// The reader is one operation to whoever reads the log: the records of its steps carry its name.
#define READ_LOG(fmt, ...) kiv_log("read_json", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

// Text form of a present, non-null member; none otherwise.
std::optional<std::string> member(json_object* rule, const char* key) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(rule, key, &value) || !value) return std::nullopt;
  return std::string(json_object_get_string(value));
}

struct tokener_free {
  void operator()(json_tokener* t) const { json_tokener_free(t); }
};
using tokener_ptr = std::unique_ptr<json_tokener, tokener_free>;

// The element's plain text as json-c writes it inside an array.
void append_plain(std::string* plain, json_object* element) {
  if (plain->size() > 1) *plain += ',';
  *plain += element ? json_object_to_json_string_ext(element, JSON_C_TO_STRING_PLAIN) : "null";
}

// Skips white space and comments as json-c's tokener does between tokens (a form feed is not
// white space to it).
const char* skip_blank(const char* p) {
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    if (p[0] == '/' && p[1] == '*') {
      const char* end = std::strstr(p + 2, "*/");
      if (!end) return p;
      p = end + 2;
    } else if (p[0] == '/' && p[1] == '/') {
      while (*p && *p != '\n') ++p;
    } else {
      return p;
    }
  }
}

// The end of the element that starts at p inside the top-level array: the ',' or ']' at depth
// 0 behind it, strings and comments stepped over; none when the text ends first.
const char* element_end(const char* p) {
  int depth = 0;
  while (*p) {
    const char c = *p;
    if (c == '"' || c == '\'') {
      for (++p; *p && *p != c; ++p)
        if (*p == '\\' && p[1]) ++p;
      if (!*p) return nullptr;
    } else if (c == '/' && (p[1] == '*' || p[1] == '/')) {
      const char* after = skip_blank(p);
      if (after == p) return nullptr;  // a comment never closed
      p = after;
      continue;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0) return c == ']' ? p : nullptr;
      --depth;
    } else if (c == ',' && depth == 0) {
      return p;
    }
    ++p;
  }
  return nullptr;
}

// One element as json-c reads it inside an array: the element in "[...]" of its own, so its
// depth and its neighbours are those it has in the file. False when json-c refuses it.
bool parse_element(json_tokener* tok, const char* begin, const char* end, json_ptr* out) {
  std::string wrapped;
  wrapped.reserve(static_cast<size_t>(end - begin) + 2);
  wrapped += '[';
  wrapped.append(begin, end);
  wrapped += ']';
  json_tokener_reset(tok);
  json_ptr array(json_tokener_parse_ex(tok, wrapped.c_str(), -1));
  if (json_tokener_get_error(tok) != json_tokener_success || !array ||
      !json_object_is_type(array.get(), json_type_array) ||
      json_object_array_length(array.get()) != 1)
    return false;
  out->reset(json_object_get(json_object_array_get_idx(array.get(), 0)));
  return true;
}

// Whether json-c takes the text that follows the array: it reads past blanks and comments and
// then stops at whatever comes, except a '/' that opens no comment. Only that much is shown.
bool tail_accepted(json_tokener* tok, const char* tail) {
  const char* stop = skip_blank(tail);
  std::string probe = "[]";
  probe.append(tail, static_cast<size_t>(stop - tail) + strnlen(stop, 2));
  json_tokener_reset(tok);
  json_ptr array(json_tokener_parse_ex(tok, probe.c_str(), -1));
  return array && json_tokener_get_error(tok) == json_tokener_success;
}

// The elements' spans, each checked by json-c in its place and written plainly; false when the
// text is not plainly an array of well-formed elements, which is then left to json-c whole.
bool split_elements(const char* text, json_tokener* tok, rule_array* out) {
  const char* p = skip_blank(text);
  if (*p != '[') return false;
  p = skip_blank(p + 1);
  out->plain = "[";
  const char* close = p;  // the array's ']'
  while (*close != ']') {
    close = element_end(p);
    if (!close || skip_blank(p) == close) return false;
    json_ptr element;
    if (!parse_element(tok, p, close, &element)) return false;
    append_plain(&out->plain, element.get());
    out->spans.emplace_back(p, close);
    p = close + 1;
  }
  out->plain += ']';
  return tail_accepted(tok, close + 1);
}

}  // namespace

rule_fields read_rule_fields(json_object* rule) {
  rule_fields f;
  f.object = json_object_is_type(rule, json_type_object);
  f.model = member(rule, "model");
  f.odmpid = member(rule, "odmpid");
  f.target_fwver = member(rule, "target_fwver");
  f.label_mac = member(rule, "label_mac");
  f.type = member(rule, "type");
  f.keyword = member(rule, "keyword");
  f.re_pattern = member(rule, "re_pattern");
  f.frequency = member(rule, "frequency");
  f.period = member(rule, "period");
  f.action = member(rule, "action");
  f.Global_Pause = member(rule, "Global_Pause");
  return f;
}

size_t rule_array::size() const {
  return whole ? json_object_array_length(whole.get()) : spans.size();
}

int read_rule_array(const char* text, rule_array* out) {
  *out = rule_array{};
  if (!text) return RULES_PARSE_ERROR;
  tokener_ptr tok(json_tokener_new());
  if (!tok) return RULES_NO_MEMORY;
  if (split_elements(text, tok.get(), out)) return RULES_OK;
  // Not plainly an array of elements: json-c's verdict on the whole text is the one that counts.
  *out = rule_array{};
  out->whole.reset(json_tokener_parse(text));
  if (!out->whole || !json_object_is_type(out->whole.get(), json_type_array)) {
    out->whole.reset();
    return RULES_PARSE_ERROR;
  }
  out->plain = json_object_to_json_string_ext(out->whole.get(), JSON_C_TO_STRING_PLAIN);
  return RULES_OK;
}

json_ptr rule_array_element(const rule_array& array, size_t i) {
  if (array.whole)
    return json_ptr(json_object_get(json_object_array_get_idx(array.whole.get(), i)));
  tokener_ptr tok(json_tokener_new());
  json_ptr element;
  if (!tok || !parse_element(tok.get(), array.spans[i].first, array.spans[i].second, &element))
    throw std::bad_alloc();  // it parsed when the array was read: only memory can fail now
  return element;
}

filter_verdict judge_filters(const rule_fields& f, const router_identity& id) {
  filter_verdict v;
  auto fail = [&v](const std::string& why) {
    if (v.why_not.empty()) v.why_not = why;
  };
  v.model = f.model && id.productid && *id.productid == *f.model;
  if (!f.model)
    fail("no \"model\"");
  else if (!v.model)
    fail("model \"" + *f.model + "\" is not productid \"" + id.productid.value_or("(unset)") +
         "\"");
  v.odmpid = !f.odmpid || (id.odmpid && *id.odmpid == *f.odmpid);
  if (v.model && !v.odmpid)
    fail("odmpid \"" + *f.odmpid + "\" is not \"" + id.odmpid.value_or("(unset)") + "\"");
  v.fwver = !f.target_fwver || id.device_fwver == *f.target_fwver;
  if (v.model && v.odmpid && !v.fwver)
    fail("target_fwver \"" + *f.target_fwver + "\" is not \"" + id.device_fwver + "\"");
  v.label_mac = !f.label_mac || (!id.label_mac.empty() && !f.label_mac->empty() &&
                                 f.label_mac->find(id.label_mac) != std::string::npos);
  if (v.model && v.odmpid && v.fwver && !v.label_mac)
    fail("label_mac \"" + *f.label_mac + "\" does not contain \"" + id.label_mac + "\"");
  v.active = v.model && v.odmpid && v.fwver && v.label_mac;
  return v;
}

filter_verdict filter_rule(const rule_fields& f, const router_identity& id) {
  const filter_verdict v = judge_filters(f, id);
  // A filter is judged (and its Match or Not match written) only while the rule is still active.
  if (f.model) {
    READ_LOG("model=[%s]\n", f.model->c_str());
    if (v.model) READ_LOG("Match::model=[%s]\n", f.model->c_str());
  }
  if (f.odmpid) {
    READ_LOG("odmpid=[%s]\n", f.odmpid->c_str());
    if (v.model && v.odmpid) READ_LOG("Match::odmpid=[%s]\n", f.odmpid->c_str());
    if (v.model && !v.odmpid) READ_LOG("Not match::odmpid=[%s]\n", f.odmpid->c_str());
  }
  const bool before_fwver = v.model && v.odmpid;
  if (f.target_fwver) {
    const char* fw = f.target_fwver->c_str();
    READ_LOG("target_fwver=[%s]\n", fw);
    READ_LOG("device_fwver=[%s]\n", id.device_fwver.c_str());
    if (before_fwver && v.fwver) READ_LOG("Match::target_fwver=[%s]\n", fw);
    if (before_fwver && !v.fwver) READ_LOG("Not match::target_fwver=[%s]\n", fw);
  }
  const bool before_mac = before_fwver && v.fwver;
  if (f.label_mac) {
    const char* mac = f.label_mac->c_str();
    READ_LOG("label_mac=[%s]\n", mac);
    if (before_mac && v.label_mac) READ_LOG("Match::label_mac=[%s]\n", mac);
    if (before_mac && !v.label_mac) READ_LOG("Not match::label_mac=[%s]\n", mac);
  }
  if (f.type) READ_LOG("type=[%s]\n", f.type->c_str());
  return v;
}

std::string compile_pattern(const char* pattern, compiled_pattern* out) {
  std::string refusal = pattern_refusal(pattern);
  if (!refusal.empty()) return refusal;
  auto regex = std::make_unique<regex_t>();
  int rc = regcomp(regex.get(), pattern, REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    char msg[256];
    regerror(rc, regex.get(), msg, sizeof msg);
    return msg;
  }
  std::unique_ptr<regex_t, regex_free> compiled(regex.release());
  // regcomp has judged the pattern; it is then matched by its automaton, whose size is fixed
  // here, where the C library's engine would grow with the lines; only a pattern too small to
  // grow it much is left to that engine.
  out->automaton = build_automaton(pattern);
  refusal = out->automaton ? "" : regexec_refusal(pattern);
  if (!refusal.empty()) return refusal;
  if (!out->automaton) out->regex = std::move(compiled);
  out->literals = required_literals(pattern);
  return {};
}

std::optional<uint32_t> ring_slots(const char* frequency) {
  // A negative value converts to a huge count; such a ring cannot be allocated.
  const uint32_t slots = static_cast<uint32_t>(atoi_rule(frequency));
  if (slots > KIV_MAX_FREQUENCY) return std::nullopt;
  return slots;
}

std::optional<uint32_t> window_seconds(const char* period) {
  const int32_t seconds = atoi_rule(period);
  if (seconds < 0) return std::nullopt;
  return static_cast<uint32_t>(seconds);
}

action_walk walk_action_list(const char* action) {
  action_walk w;
  const int32_t size = static_cast<int32_t>(std::strlen(action) + 1);
  w.count = get_num_of_action(action, size);
  if (w.count >= 0) w.stored = parse_action(&w.items, action, size, w.count);
  return w;
}

std::optional<std::vector<rule_action>> parse_action_list(const char* action) {
  action_walk w = walk_action_list(action);
  if (w.count < 0 || w.stored < 0) return std::nullopt;
  return std::move(w.items);
}

rule_steps read_rule_steps(const rule_fields& f, compiled_pattern* pattern) {
  rule_steps s;
  if (f.re_pattern && pattern) s.regex_error = compile_pattern(f.re_pattern->c_str(), pattern);
  if (f.frequency) s.ring = ring_slots(f.frequency->c_str());
  if (f.period) s.window = window_seconds(f.period->c_str());
  return s;
}

int add_ring(uint64_t* total, uint32_t slots) {
  *total += slots;
  return *total > KIV_MAX_RING_SLOTS ? RULES_RINGS_TOO_BIG : RULES_OK;
}

int active_rule_status(const rule_fields& f, const rule_steps& s, uint64_t* ring_total) {
  if (f.re_pattern && !s.regex_error.empty()) return RULES_BAD_REGEX;
  if (f.frequency) {
    if (!s.ring) return RULES_RING_TOO_BIG;
    if (add_ring(ring_total, *s.ring) != RULES_OK) return RULES_RINGS_TOO_BIG;
  }
  if (f.period && !s.window) return RULES_BAD_PERIOD;
  return RULES_OK;
}

namespace {

// What build_rule_set carries from one rule to the next.
struct build_state {
  const router_identity& id;
  rule_set* set;
  load_report* report;
  uint64_t ring_slots = 0;  // of the active rules so far
};

int fill_actions(const rule_fields& f, monitor_profile& p) {
  const char* action = f.action->c_str();
  READ_LOG("action=[%s]\n", action);
  action_walk w = walk_action_list(action);
  READ_LOG("count=[%d]\n", static_cast<int>(w.count));
  if (w.count < 0) {
    READ_LOG("Cannot get_num_of_action correctly!!!\n");
    return RULES_ACTION_COUNT;
  }
  READ_LOG("ret=[%d]\n", static_cast<int>(w.stored));
  if (w.stored < 0) {
    READ_LOG("Cannot parse action correctly!!!\n");
    return RULES_ACTION_PARSE;
  }
  p.actions = std::move(w.items);
  for (size_t k = 0; k < p.actions.size(); ++k)
    READ_LOG("action[%d]=[%s]\n", static_cast<int>(k), p.actions[k].text.c_str());
  return RULES_OK;
}

// The records of the rule's ring, as far as the reader got with it (`rc`, its verdict); the ring
// in place when the rule is active and taken.
void fill_ring(const rule_fields& f, const rule_steps& steps, int rc, const build_state& b,
               monitor_profile& p) {
  READ_LOG("frequency=[%s]\n", f.frequency->c_str());
  if (rc == RULES_RING_TOO_BIG) READ_LOG("Cannot malloc for timestamp!!!\n");
  if (rc == RULES_RINGS_TOO_BIG)
    READ_LOG("Too many match times in the rule set: %llu, more than %llu!!!\n",
             static_cast<unsigned long long>(b.ring_slots),
             static_cast<unsigned long long>(KIV_MAX_RING_SLOTS));
  if (rc != RULES_OK || !steps.ring) return;
  p.frequency = *steps.ring;
  p.timestamp.assign(p.frequency, 0.0);
}

// One rule of the file: its records, and its record in the set when it is active. The verdict is
// active_rule_status's; the records follow the reader up to the step that refuses the rule.
int read_rule(json_object* element, int32_t i, build_state& b) {
  READ_LOG("index[%d]==========\n", static_cast<int>(i));
  const rule_fields f = read_rule_fields(element);
  const filter_verdict verdict = filter_rule(f, b.id);
  rule_note scratch;
  rule_note* note = &scratch;
  if (b.report) {
    b.report->notes.emplace_back();
    note = &b.report->notes.back();
    note->keyword = f.keyword;
    note->active = verdict.active;
    note->inactive_reason = verdict.why_not;
  }
  monitor_profile p;
  p.index = i;
  rule_steps steps;
  int rc = RULES_OK;
  if (verdict.active) {
    steps = read_rule_steps(f, &p.pattern);
    note->regex_error = steps.regex_error;
    rc = active_rule_status(f, steps, &b.ring_slots);
  }
  if (f.keyword) {
    READ_LOG("keyword=[%s]\n", f.keyword->c_str());
    if (verdict.active) p.kiv_keyword = f.keyword;
  }
  if (f.re_pattern) {
    READ_LOG("re_pattern=[%s]\n", f.re_pattern->c_str());
    if (verdict.active) p.re_pattern = f.re_pattern;
    if (rc == RULES_BAD_REGEX) READ_LOG("Could not compile regex\n");
    if (rc == RULES_BAD_REGEX) return rc;
  }
  if (f.frequency) {
    fill_ring(f, steps, rc, b, p);
    if (rc == RULES_RING_TOO_BIG || rc == RULES_RINGS_TOO_BIG) return rc;
  }
  if (f.period) {
    READ_LOG("period=[%s]\n", f.period->c_str());
    if (rc == RULES_BAD_PERIOD) READ_LOG("Cannot take a negative period!!!\n");
    if (rc == RULES_BAD_PERIOD) return rc;
    if (verdict.active) p.period = *steps.window;
  }
  if (f.action) {
    if (verdict.active)
      rc = fill_actions(f, p);
    else
      READ_LOG("action=[%s]\n", f.action->c_str());
  }
  if (rc != RULES_OK) return rc;
  if (f.Global_Pause && verdict.active) {
    const int32_t v = atoi_rule(f.Global_Pause->c_str());
    b.set->pause = v;
    READ_LOG("Global_Pause[%d]=[%d]\n", static_cast<int>(i), static_cast<int>(v));
  }
  READ_LOG("isActive=[%d]\n", verdict.active ? 1 : 0);
  if (verdict.active) b.set->profiles.push_back(std::move(p));
  return RULES_OK;
}

}  // namespace

std::string fwver_text(const std::string& firmver, const std::string& buildno,
                       const std::string& extendno) {
  // Each part a C text, as the settings store hands it out: it ends at its first zero byte.
  std::string text = std::string(firmver.c_str()) + "." + buildno.c_str() + "_" + extendno.c_str();
  if (text.size() > KIV_FWVER_MAX) text.resize(KIV_FWVER_MAX);
  return text;
}

std::string device_fwver() {
  return fwver_text(nvram_safe_get("firmver"), nvram_safe_get("buildno"),
                    nvram_safe_get("extendno"));
}

router_identity router_identity_from_settings() {
  router_identity id;
  id.productid = nvram_get("productid");
  id.odmpid = nvram_get("odmpid");
  id.device_fwver = device_fwver();
  id.label_mac = nvram_safe_get("label_mac");
  return id;
}

int build_rule_set(const char* text, const router_identity& id, rule_set* out,
                   load_report* report) {
  *out = rule_set{};
  int rc = RULES_OK;
  try {
    rule_array array;
    rc = read_rule_array(text, &array);
    if (rc == RULES_PARSE_ERROR) READ_LOG("json_tokener_parse error\n");
    if (rc == RULES_OK) {
      const size_t n = array.size();
      const int32_t count =
          n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
      READ_LOG("arraylen_new=%d\n", static_cast<int>(count));
      build_state b{id, out, report};
      for (int32_t i = 0; i < count && rc == RULES_OK; ++i) {
        rc = read_rule(rule_array_element(array, static_cast<size_t>(i)).get(), i, b);
        if (rc != RULES_OK && report) report->failed_index = i;
      }
      out->count = count;
      out->document = std::move(array.plain);
      if (rc == RULES_OK) out->prefilter = build_shared_prefilter(out->profiles);
    }
  } catch (const std::bad_alloc&) {
    rc = RULES_NO_MEMORY;
  }
  if (rc == RULES_NO_MEMORY) READ_LOG("Cannot malloc for monitor profile!!!\n");
  if (rc != RULES_OK) *out = rule_set{};
  return rc;
}
