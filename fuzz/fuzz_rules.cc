// The rule file reader: after a first byte that picks the case, build_rule_set on arbitrary
// JSON with identities that make rules active, or read_json on a rule file (a container of the
// text, or the bytes as they stand).
#include "support.h"

static void build(const std::string& text, uint8_t which) {
  // The settings store's identity, a router with no odmpid and no label MAC, nothing set.
  const router_identity ids[] = {{"KV-1000", "KVO-1", "3.0.102_5", "AA:BB:CC:00:11:22"},
                                 {"KV-1000", std::nullopt, "..", ""},
                                 {std::nullopt, std::nullopt, "._", ""}};
  rule_load load;
  if (build_rule_set(text.c_str(), ids[which % 3], &global_pause, &load) != RULES_OK)
    return check(!load.array && !load.doc && load.n == 0, "a failed load owns nothing");
  check(load.array && load.doc && load.notes.size() == static_cast<size_t>(load.n),
        "a load owns its array and document, and has one note per rule");
  for (const monitor_profile* p = load.array; p < load.array + load.n; ++p) {
    const size_t n = p->action.size();
    check(n == static_cast<size_t>(p->action_num) && p->checkFuncIndex.size() == n &&
              p->actionResult.size() == n && p->actionRetry.size() == n &&
              p->timestamp.size() == p->frequency && has_expression(*p) == p->re_pattern.has_value(),
          "action_num actions, a ring of frequency slots, compiled exactly with a re_pattern");
    check(p->isActive == 1 || (p->isActive == 0 && !p->kiv_keyword && !p->re_pattern && n == 0 &&
                               p->frequency == 0 && p->period == 0),
          "an active record, or an inactive one that owns nothing");
  }
  release_rule_load(&load);
}

static void read_file(const std::string& bytes, bool boxed) {
  const std::string file = boxed ? make_container(bytes, 0x5a5a1234u) : bytes;
  put("tmp/kivjson.json", file);
  nvram_set_int("kiv_is_JSON_updated", 1);
  read_json("/tmp/kivjson.json");
  check(nvram_get_int("kiv_is_JSON_updated") == 0 &&
            (file.size() <= KIV_HEADER_LEN || access(path("tmp/kivjson.json").c_str(), F_OK)),
        "the announcement is consumed, a read rule file removed");
  check(has_container_magic(file.data(), file.size()) || (!mp && !gJsonObj),
        "a file without the magic is never installed");
  release_rule_set();
  unlink(path("tmp/kivjson.json").c_str());
}

void init() {  // the first identity, which read_json takes from the settings store
  const char* settings[][2] = {{"productid", "KV-1000"}, {"odmpid", "KVO-1"},
                               {"firmver", "3.0"},       {"buildno", "102"},
                               {"extendno", "5"},        {"label_mac", "AA:BB:CC:00:11:22"}};
  for (const auto& kv : settings) nvram_set(kv[0], kv[1]);
}

void one(const std::string& input) {
  if (input.empty()) return;
  const uint8_t mode = static_cast<uint8_t>(input[0]) % 8;
  if (mode >= 6) return read_file(input.substr(1), mode == 6);
  build(input.substr(1), mode);
}
