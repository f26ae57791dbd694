// The rule file reader: build_rule_set on arbitrary JSON with identities that make rules
// active, and read_json on a rule file (a container of the text, or the bytes as they stand).
#include <json-c/json.h>

#include <atomic>
#include <string>

#include "platform/platform.h"
#include "rules/read_json.h"
#include "support.h"
#include "update/decrypt_file.h"

using kivfuzz::check;

namespace {

router_identity identity(uint8_t which) {
  router_identity id;
  switch (which % 3) {
    case 0:  // what the settings store holds
      id.productid = "KV-1000";
      id.odmpid = "KVO-1";
      id.device_fwver = "3.0.102_5";
      id.label_mac = "AA:BB:CC:00:11:22";
      break;
    case 1:  // a router with no odmpid and no label MAC
      id.productid = "KV-1000";
      id.device_fwver = "..";
      break;
    default:  // nothing set: no rule can be active
      id.device_fwver = "._";
      break;
  }
  return id;
}

// What a load leaves in each record (the invariants after a load).
void check_records(const rule_load& load) {
  check(load.notes.size() == static_cast<size_t>(load.n), "one note per rule");
  for (int32_t i = 0; i < load.n; ++i) {
    const monitor_profile& p = load.array[i];
    check(p.front == -1 && p.rear == 0 && p.isHealing == 0 && p.actionIndex == 0,
          "fresh runtime state");
    check(p.action.size() == static_cast<size_t>(p.action_num) &&
              p.checkFuncIndex.size() == p.action.size() &&
              p.actionResult.size() == p.action.size() && p.actionRetry.size() == p.action.size(),
          "action arrays of action_num entries");
    check(p.timestamp.size() == p.frequency, "a ring of frequency slots");
    for (float t : p.timestamp) check(t == 0.0f, "an empty ring");
    check(p.regex_compiled == p.re_pattern.has_value(), "compiled exactly with a re_pattern");
    if (p.isActive == 0) {
      check(!p.kiv_keyword && !p.re_pattern && p.action.empty() && p.timestamp.empty() &&
                p.frequency == 0 && p.period == 0 && p.action_num == 0,
            "an inactive record owns nothing");
    } else {
      check(p.isActive == 1, "isActive is 0 or 1");
    }
  }
}

void build(const std::string& text, uint8_t which) {
  std::atomic<int32_t> pause{7};
  rule_load load;
  int rc = build_rule_set(text.c_str(), identity(which), &pause, &load);
  if (rc == RULES_OK) {
    check(load.array != nullptr && load.doc != nullptr, "a load owns its array and document");
    check_records(load);
  } else {
    check(load.array == nullptr && load.doc == nullptr && load.n == 0,
          "a failed load owns nothing");
  }
  release_rule_load(&load);
  check(load.array == nullptr && load.doc == nullptr, "release clears the load");
}

// read_json on a rule file: the installed set is what build_rule_set makes of the same text.
void read_file(const std::string& bytes, bool boxed) {
  const std::string file = boxed ? make_container(bytes, 0x5a5a1234u) : bytes;
  kivfuzz::write("tmp/kivjson.json", file);
  nvram_set_int("kiv_is_JSON_updated", 1);
  read_json("/tmp/kivjson.json");
  check(nvram_get_int("kiv_is_JSON_updated") == 0, "the announcement is consumed");
  if (file.size() > KIV_HEADER_LEN)
    check(!kivfuzz::exists("tmp/kivjson.json"), "a read rule file is removed");
  if (!has_container_magic(file.data(), file.size()))
    check(mp == nullptr && gJsonObj == nullptr, "a file without the magic is never installed");
  if (mp) check(gJsonObj != nullptr, "an installed set keeps its document");
  kivfuzz::reset_rule_set();
  kivfuzz::remove("tmp/kivjson.json");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivfuzz::setup();
  kivfuzz::set_identity();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (mode % 8) {
    case 6:
      read_file(text, true);
      break;
    case 7:
      read_file(text, false);
      break;
    default:
      build(text, static_cast<uint8_t>(mode % 8));
      break;
  }
  return 0;
}
