#include "rules/read_json.h"

#include <json-c/json.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "core/kiv_log.h"
#include "platform/platform.h"
#include "rules/action_list.h"
#include "rules/pattern_literals.h"
#include "rules/rule_cache.h"
#include "update/decrypt_file.h"

namespace {

// The reader is one operation to whoever reads the log: the records of its steps carry its name.
#define READ_LOG(fmt, ...) kiv_log("read_json", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

// The atoi rule without its undefined overflow: leading white space, optional sign, digits up
// to the first other character; the value saturates at the 32-bit limits.
int32_t atoi_rule(const char* s) {
  while (*s && std::isspace(static_cast<unsigned char>(*s))) ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > 2147483648LL) v = 2147483648LL;
  }
  if (neg) v = -v;
  if (v > INT32_MAX) v = INT32_MAX;
  return static_cast<int32_t>(v);
}

// Text form of a present, non-null member; none otherwise.
const char* member(json_object* rule, const char* key) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(rule, key, &value) || !value) return nullptr;
  return json_object_get_string(value);
}

void abandon(rule_load* out, monitor_profile** array, int32_t n, json_object* doc) {
  free_monitor_profile(array, n);
  json_object_put(doc);
  out->array = nullptr;
  out->n = 0;
  out->doc = nullptr;
}

// Applies the filters of one rule; returns its isActive. Every present key is logged.
int32_t filter_rule(json_object* rule, const router_identity& id, rule_note* note) {
  int32_t active = 0;
  auto fail = [&](const std::string& why) {
    if (note->inactive_reason.empty()) note->inactive_reason = why;
    active = 0;
  };
  if (const char* model = member(rule, "model")) {
    READ_LOG("model=[%s]\n", model);
    if (id.productid && *id.productid == model) {
      READ_LOG("Match::model=[%s]\n", model);
      active = 1;
    } else {
      fail(std::string("model \"") + model + "\" is not productid \"" +
           id.productid.value_or("(unset)") + "\"");
    }
  } else {
    fail("no \"model\"");
  }
  if (const char* odmpid = member(rule, "odmpid")) {
    READ_LOG("odmpid=[%s]\n", odmpid);
    if (active) {
      if (id.odmpid && *id.odmpid == odmpid) {
        READ_LOG("Match::odmpid=[%s]\n", odmpid);
      } else {
        READ_LOG("Not match::odmpid=[%s]\n", odmpid);
        fail(std::string("odmpid \"") + odmpid + "\" is not \"" + id.odmpid.value_or("(unset)") +
             "\"");
      }
    }
  }
  if (const char* fw = member(rule, "target_fwver")) {
    READ_LOG("target_fwver=[%s]\n", fw);
    READ_LOG("device_fwver=[%s]\n", id.device_fwver.c_str());
    if (active) {
      if (id.device_fwver == fw) {
        READ_LOG("Match::target_fwver=[%s]\n", fw);
      } else {
        READ_LOG("Not match::target_fwver=[%s]\n", fw);
        fail(std::string("target_fwver \"") + fw + "\" is not \"" + id.device_fwver + "\"");
      }
    }
  }
  if (const char* mac = member(rule, "label_mac")) {
    READ_LOG("label_mac=[%s]\n", mac);
    if (active) {
      if (!id.label_mac.empty() && *mac && std::strstr(mac, id.label_mac.c_str())) {
        READ_LOG("Match::label_mac=[%s]\n", mac);
      } else {
        READ_LOG("Not match::label_mac=[%s]\n", mac);
        fail(std::string("label_mac \"") + mac + "\" does not contain \"" + id.label_mac + "\"");
      }
    }
  }
  if (const char* type = member(rule, "type")) READ_LOG("type=[%s]\n", type);
  return active;
}

}  // namespace

std::string compile_pattern(const char* pattern, monitor_profile& p) {
  std::string refusal = pattern_refusal(pattern);
  if (!refusal.empty()) return refusal;
  int rc = regcomp(&p.regex, pattern, REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    char msg[256];
    regerror(rc, &p.regex, msg, sizeof msg);
    p.regex = regex_t{};
    return msg;
  }
  // regcomp has judged the pattern; it is then matched by its automaton, whose size is fixed
  // here, where the C library's engine would grow with the lines; only a pattern too small to
  // grow it much is left to that engine.
  p.automaton = build_automaton(pattern);
  refusal = p.automaton ? "" : regexec_refusal(pattern);
  if (p.automaton || !refusal.empty()) {
    regfree(&p.regex);
    p.regex = regex_t{};
    if (!refusal.empty()) return refusal;
  } else {
    p.regex_compiled = true;
  }
  p.literals = required_literals(pattern);
  return {};
}

namespace {

// Fills record p from an element; returns RULES_OK or the failure.
int fill_record(json_object* rule, int32_t i, const router_identity& id,
                std::atomic<int32_t>* pause, monitor_profile& p, rule_note* note) {
  READ_LOG("index[%d]==========\n", static_cast<int>(i));
  p.isActive = filter_rule(rule, id, note);
  note->active = p.isActive == 1;
  if (const char* keyword = member(rule, "keyword")) {
    READ_LOG("keyword=[%s]\n", keyword);
    if (p.isActive) p.kiv_keyword = keyword;
  }
  if (const char* pattern = member(rule, "re_pattern")) {
    READ_LOG("re_pattern=[%s]\n", pattern);
    if (p.isActive) {
      p.re_pattern = pattern;
      note->regex_error = compile_pattern(pattern, p);
      if (!note->regex_error.empty()) {
        READ_LOG("Could not compile regex\n");
        return RULES_BAD_REGEX;
      }
    }
  }
  if (const char* freq = member(rule, "frequency")) {
    READ_LOG("frequency=[%s]\n", freq);
    if (p.isActive) {
      p.frequency = static_cast<uint32_t>(atoi_rule(freq));
      // A negative value converts to a huge count; such a ring cannot be allocated.
      if (p.frequency > KIV_MAX_FREQUENCY) {
        READ_LOG("Cannot malloc for timestamp!!!\n");
        return RULES_RING_TOO_BIG;
      }
      p.timestamp.assign(p.frequency, 0.0f);
    }
  }
  if (const char* period = member(rule, "period")) {
    READ_LOG("period=[%s]\n", period);
    if (p.isActive) p.period = static_cast<uint32_t>(atoi_rule(period));
  }
  if (const char* action = member(rule, "action")) {
    READ_LOG("action=[%s]\n", action);
    if (p.isActive) {
      const int32_t size = static_cast<int32_t>(std::strlen(action) + 1);
      int32_t count = get_num_of_action(action, size);
      READ_LOG("count=[%d]\n", static_cast<int>(count));
      if (count < 0) {
        READ_LOG("Cannot get_num_of_action correctly!!!\n");
        return RULES_ACTION_COUNT;
      }
      p.action_num = count;
      int32_t ret = parse_action(&p, action, size);
      READ_LOG("ret=[%d]\n", static_cast<int>(ret));
      if (ret < 0) {
        READ_LOG("Cannot parse action correctly!!!\n");
        return RULES_ACTION_PARSE;
      }
      for (int32_t k = 0; k < ret; ++k)
        READ_LOG("action[%d]=[%s]\n", static_cast<int>(k),
                 p.action[static_cast<size_t>(k)].c_str());
    }
  }
  if (const char* gp = member(rule, "Global_Pause")) {
    if (p.isActive) {
      int32_t v = atoi_rule(gp);
      if (pause) pause->store(v);
      READ_LOG("Global_Pause[%d]=[%d]\n", static_cast<int>(i), static_cast<int>(v));
    }
  }
  READ_LOG("isActive=[%d]\n", static_cast<int>(p.isActive));
  p.front = -1;
  return RULES_OK;
}

}  // namespace

std::string device_fwver() {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s.%s_%s", nvram_safe_get("firmver").c_str(),
                nvram_safe_get("buildno").c_str(), nvram_safe_get("extendno").c_str());
  return buf;
}

router_identity router_identity_from_settings() {
  router_identity id;
  id.productid = nvram_get("productid");
  id.odmpid = nvram_get("odmpid");
  id.device_fwver = device_fwver();
  id.label_mac = nvram_safe_get("label_mac");
  return id;
}

int build_rule_set(const char* text, const router_identity& id, std::atomic<int32_t>* pause,
                   rule_load* out) {
  *out = rule_load{};
  json_object* doc = text ? json_tokener_parse(text) : nullptr;
  // Only an array can be walked as a rule list; anything else counts as a parse failure.
  if (!doc || !json_object_is_type(doc, json_type_array)) {
    json_object_put(doc);
    READ_LOG("json_tokener_parse error\n");
    return RULES_PARSE_ERROR;
  }
  const size_t len = json_object_array_length(doc);
  const int32_t n = len > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(len);
  READ_LOG("arraylen_new=%d\n", static_cast<int>(n));
  monitor_profile* array = alloc_monitor_profile(n);
  if (!array) {
    json_object_put(doc);
    READ_LOG("Cannot malloc for monitor profile!!!\n");
    return RULES_NO_MEMORY;
  }
  try {
    out->notes.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      json_object* rule = json_object_array_get_idx(doc, static_cast<size_t>(i));
      int rc = fill_record(rule, i, id, pause, array[i], &out->notes[static_cast<size_t>(i)]);
      if (rc != RULES_OK) {
        out->failed_index = i;
        out->notes.resize(static_cast<size_t>(i) + 1);
        abandon(out, &array, n, doc);
        return rc;
      }
    }
  } catch (const std::bad_alloc&) {
    abandon(out, &array, n, doc);
    return RULES_NO_MEMORY;
  }
  out->array = array;
  out->n = n;
  out->doc = doc;
  return RULES_OK;
}

void release_rule_load(rule_load* load) {
  if (!load) return;
  free_monitor_profile(&load->array, load->n);
  json_object_put(load->doc);
  load->doc = nullptr;
  load->n = 0;
}

int install_rule_text(const char* text) {
  rule_load load;
  int rc = build_rule_set(text, router_identity_from_settings(), &global_pause, &load);
  if (rc != RULES_OK) return rc;
  if (nvram_match("kiv_debug_flag", "1")) {
    const char* doc_text = json_object_to_json_string_ext(load.doc, JSON_C_TO_STRING_PLAIN);
    write_file_nofollow(kiv_path(KIV_DECJSONOBJ_PATH), doc_text, std::strlen(doc_text));
  }
  std::lock_guard<std::mutex> lock(mp_mutex);
  READ_LOG("lock mutex in read json\n");
  if (mp) {
    READ_LOG("free monitor_profile\n");
    free_monitor_profile(&mp, gArraylen);
  }
  if (gJsonObj) json_object_put(gJsonObj);
  gJsonObj = load.doc;
  mp = load.array;
  gArraylen = load.n;
  READ_LOG("New arraylen=%d\n", static_cast<int>(gArraylen));
  READ_LOG("unlock mutex in read json\n");
  return RULES_OK;
}

void read_json(const char* path) {
  READ_LOG("start of read_json\n");
  if (nvram_get_int("kiv_is_JSON_updated") != 1) {
    READ_LOG("JSON is not updated yet\n");
    return;
  }
  nvram_set_int("kiv_is_JSON_updated", 0);
  long long flen = get_file_size(path);
  READ_LOG("flen=[%lld]\n", flen);
  if (static_cast<unsigned long long>(flen) < KIV_HEADER_LEN + 1) {
    READ_LOG("Empty JSON file!!!\n");
    return;
  }
  std::unique_ptr<char[]> buffer;
  size_t len = 0;
  int ret = decryptFile(path, &buffer, &len);
  const bool debug = nvram_match("kiv_debug_flag", "1");
  if (!debug && path) std::remove(kiv_path(path).c_str());
  if (ret != 0) {
    READ_LOG("Cannot decrypt JSON file, ret=[%d]\n", ret);
    return;
  }
  int rc = install_rule_text(buffer.get() + KIV_HEADER_LEN);
  if (rc == RULES_NO_MEMORY) kiv_exit(1);  // the only load failure the daemon cannot survive
  if (rc != RULES_OK) return;              // the current rule set stays in force
  logmessage_normal("kiv", "[%s]Update kiv JSON file.\n", "read_json");
  keep_rule_container(buffer.get(), len);
  READ_LOG("end of read_json\n");
}
