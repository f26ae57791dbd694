// The rule file reader: after a first byte that picks the case, build_rule_set on arbitrary
// JSON with identities that make rules active, or read_json on a rule file (a container of the
// text, or the bytes as they stand).
#include "support.h"

static void build(const std::string& text, uint8_t which) {
  // The settings store's identity, a router with no odmpid and no label MAC, nothing set.
  const router_identity ids[] = {{"KV-1000", "KVO-1", "3.0.102_5", "AA:BB:CC:00:11:22"},
                                 {"KV-1000", std::nullopt, "..", ""},
                                 {std::nullopt, std::nullopt, "._", ""}};
  rule_set set;
  load_report report;
  const int rc = build_rule_set(text.c_str(), ids[which % 3], &set, &report);
  if (rc != RULES_OK)
    return check(set.profiles.empty() && set.count == 0 && set.document.empty(),
                 "a failed load holds nothing");
  check(report.notes.size() == static_cast<size_t>(set.count), "a load has one note per rule");
  int32_t last = -1;
  for (const monitor_profile& p : set.profiles) {
    check(
        p.index > last && p.index < set.count && report.notes[static_cast<size_t>(p.index)].active,
        "a record for each active rule, in file order");
    last = p.index;
    check(p.timestamp.size() == p.frequency && has_expression(p) == p.re_pattern.has_value(),
          "a ring of frequency slots, compiled exactly with a re_pattern");
  }
  // The array read element by element is the array json-c reads whole.
  json_ptr whole(json_tokener_parse(text.c_str()));
  check(whole && json_object_is_type(whole.get(), json_type_array) &&
            json_object_array_length(whole.get()) == static_cast<size_t>(set.count) &&
            set.document == json_object_to_json_string_ext(whole.get(), JSON_C_TO_STRING_PLAIN),
        "the rules and the document are json-c's own reading of the text");
}

static void read_file(const std::string& bytes, bool boxed) {
  const std::string file = boxed ? make_container(bytes, 0x5a5a1234u) : bytes;
  put("tmp/kivjson.json", file);
  nvram_set_int("kiv_is_JSON_updated", 1);
  read_json("/tmp/kivjson.json");
  check(nvram_get_int("kiv_is_JSON_updated") == 0 &&
            (file.size() <= KIV_HEADER_LEN || access(path("tmp/kivjson.json").c_str(), F_OK)),
        "the announcement is consumed, a read rule file removed");
  check(has_container_magic(file.data(), file.size()) || !hold_rule_set().set,
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
