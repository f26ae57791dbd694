// The event command channel: an arbitrary command string in kiv_service served by
// handle_kiv_event with the host platform. Afterwards the string is cleared, no settings key
// appeared or went, no service event, reboot or rule file happened, and only the test hooks
// printed. The word splitting is checked on its own.
#include "support.h"

static std::set<std::string> keys() {
  std::set<std::string> out;
  for (const auto& kv : nvram_show()) out.insert(kv.first);
  return out;
}

void init() {
  // A forced download meets a closed port on the loopback at once and announces nothing.
  nvram_set("kiv_debug_server", "https://127.0.0.1:9");
  nvram_set_int("kiv_is_JSON_updated", 0);
  setenv("PATH", path("no-programs").c_str(), 1);  // the channel can start no program
}

void one(const std::string& raw) {
  const std::vector<std::string> words = kiv_command_words(raw);
  check(words.size() <= 8, "at most 8 words");
  for (std::string w : words) {
    const std::string before = w;
    kiv_command_kind(w);
    check(!before.empty() && before.find(' ') == before.npos && before.ends_with(w),
          "words are runs of non-spaces; the kind takes off only a prefix");
  }
  // What a writer could leave: the store holds no line end, and c_str() stops at a zero byte.
  nvram_set("kiv_service", raw.substr(0, raw.find('\n')).c_str());
  nvram_set("kiv_service_pid", "1");
  static const std::set<std::string> baseline = keys();  // the keys before the first command
  put("dev/console", "");
  handle_kiv_event();
  check(nvram_safe_get("kiv_service").empty(), "the command string is cleared");
  check(keys() == baseline, "no settings key appears or goes");
  check(access(path("tmp/service_events.log").c_str(), F_OK) != 0 &&
            access(path("tmp/kivjson.json").c_str(), F_OK) != 0 &&
            nvram_get_int("kiv_is_JSON_updated") == 0,
        "no service event or reboot; a failed download leaves no rule file, announces nothing");
  static const std::regex hook_line(R"(\[handle_event_test[23]?\](start|end)\n)");
  check(std::regex_replace(slurp("dev/console"), hook_line, "").empty(), "only test hooks print");
}
