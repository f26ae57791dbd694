// The event command channel: an arbitrary command string in kiv_service served by
// handle_kiv_event with the host platform. Checked afterwards: the keys it clears, what reached
// the console (only the test hooks' lines), that no service event or reboot was recorded, that
// no settings key appeared, and the word splitting on its own.
#include <set>
#include <string>
#include <vector>

#include "heal/handle_kiv_event.h"
#include "platform/platform.h"
#include "support.h"

using kivfuzz::check;

namespace {

std::set<std::string> keys_now() {
  std::set<std::string> keys;
  for (const auto& kv : nvram_show()) keys.insert(kv.first);
  return keys;
}

std::set<std::string> baseline;

// Every console line is one of the six lines the three test hooks print.
void check_console(const std::string& console) {
  static const std::set<std::string> allowed = {
      "[handle_event_test]start", "[handle_event_test]end",    "[handle_event_test2]start",
      "[handle_event_test2]end",  "[handle_event_test3]start", "[handle_event_test3]end"};
  size_t start = 0;
  while (start < console.size()) {
    size_t nl = console.find('\n', start);
    check(nl != std::string::npos, "console lines end with a line end");
    check(allowed.count(console.substr(start, nl - start)) == 1, "only test hooks print");
    start = nl + 1;
  }
}

void check_words(const std::string& segment) {
  std::vector<std::string> words = kiv_command_words(segment);
  check(words.size() <= 8, "at most 8 words");
  for (std::string& w : words) {
    check(!w.empty() && w.find(' ') == std::string::npos, "words are runs of non-spaces");
    std::string before = w;
    kiv_command_kind(w);
    check(before.size() >= w.size() && before.compare(before.size() - w.size(), w.size(), w) == 0,
          "only a prefix is removed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivfuzz::setup();
  // A forced download meets a closed port on the loopback at once; no network is reached.
  nvram_set("kiv_debug_server", "https://127.0.0.1:9");
  nvram_set("kiv_service_pid", "1");
  nvram_set("kiv_service", "");
  nvram_set_int("kiv_is_JSON_updated", 0);  // a forced download that fails announces nothing
  // Nothing found through PATH can run: the channel starts no program.
  setenv("PATH", kivfuzz::path("no-programs").c_str(), 1);
  baseline = keys_now();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  check_words(raw);
  // The store holds no zero byte and no line end: the value is what a writer could leave.
  std::string value = raw.substr(0, raw.find('\0'));
  value = value.substr(0, value.find('\n'));
  nvram_set("kiv_service", value.c_str());
  nvram_set("kiv_service_pid", "1");
  kivfuzz::write("dev/console", "");

  handle_kiv_event();

  check(nvram_safe_get("kiv_service").empty(), "the command string is cleared");
  check(keys_now() == baseline, "no settings key appears or goes");
  check(!kivfuzz::exists("tmp/service_events.log"), "no service event and no reboot");
  check_console(kivfuzz::read("dev/console"));
  check(!kivfuzz::exists("tmp/kivjson.json"), "a failed download leaves no rule file");
  check(nvram_get_int("kiv_is_JSON_updated") == 0, "a failed download announces nothing");
  return 0;
}
