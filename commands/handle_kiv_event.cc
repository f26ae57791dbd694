// The command thread: reads kiv_service, serves its ";"-separated segments left to right and
// clears the keys when done. The main loop waits for it.
#include "commands/handle_kiv_event.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "core/kiv_log.h"
#include "core/kiv_say.h"
#include "core/paths.h"
#include "core/stop.h"
#include "platform/platform.h"
#include "update/download_json.h"

namespace {

constexpr size_t kCommandBuffer = 256;
constexpr size_t kMaxWords = 8;
// Exit values are static texts, safe to log on every path.
const char kEndValue[] = "End of handle_kiv_event() thread.";
const char kEmptyValue[] = "End of handle_kiv_event() thread (empty event).";

void force_download_json() {
  download_json(KIV_JSON_PATH);
}

// The commands the channel knows; "skip" is known and does nothing.
struct command {
  const char* name;
  void (*run)();
};
const command kCommands[] = {{"test", handle_event_test},
                             {"test2", handle_event_test2},
                             {"test3", handle_event_test3},
                             {"force_download_json", force_download_json},
                             {"skip", nullptr}};

// The record is the command thread's, as every record of a served command is.
bool run_command(const std::string& cmd) {
  for (const command& c : kCommands) {
    if (cmd != c.name) continue;
    kiv_log("_handle_kiv_event", __LINE__, "this is %s\n", cmd.c_str());
    if (c.run) c.run();
    return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> kiv_command_words(const std::string& segment) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < segment.size() && words.size() < kMaxWords) {
    while (i < segment.size() && segment[i] == ' ') ++i;
    if (i >= segment.size()) break;
    size_t end = segment.find(' ', i);
    if (end == std::string::npos) end = segment.size();
    words.push_back(segment.substr(i, end - i));
    i = end;
  }
  return words;
}

const char* kiv_command_kind(std::string& word) {
  struct prefix {
    const char* text;
    const char* kind;
  };
  static const prefix prefixes[] = {
      {"start_", "start"}, {"stop_", "stop"}, {"restart_", "restart"}, {"recreate_", "specific"}};
  for (const auto& p : prefixes) {
    size_t n = strlen(p.text);
    if (word.compare(0, n, p.text) == 0) {
      word.erase(0, n);
      return p.kind;
    }
  }
  return "specific";
}

void handle_event_test() {
  cprintf("[%s]start\n", __func__);
  cprintf("[%s]end\n", __func__);
}

void handle_event_test2() {
  cprintf("[%s]start\n", __func__);
  cprintf("[%s]end\n", __func__);
}

void handle_event_test3() {
  cprintf("[%s]start\n", __func__);
  cprintf("[%s]end\n", __func__);
}

void* _handle_kiv_event(void*) {
  KIV_LOG("Start\n");
  std::string buffer = nvram_safe_get("kiv_service");
  if (buffer.size() > kCommandBuffer - 1) buffer.resize(kCommandBuffer - 1);
  KIV_LOG("nv=[%s]\n", buffer.c_str());

  size_t start = 0;
  for (;;) {
    size_t semi = buffer.find(';', start);
    std::string segment =
        buffer.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
    std::vector<std::string> words = kiv_command_words(segment);
    for (size_t i = 0; i < words.size(); ++i)
      KIV_LOG("kiv cmd[%d]=[%s]\n", static_cast<int>(i), words[i].c_str());
    if (words.empty()) {
      nvram_set("kiv_service", "");
      KIV_LOG("End due to empty event\n");
      return const_cast<char*>(kEmptyValue);
    }
    std::string cmd = words[0];
    const char* kind = kiv_command_kind(cmd);
    KIV_LOG("kiv running: %s %s\n", kind, cmd.c_str());
    run_command(cmd);
    if (semi == std::string::npos) break;
    KIV_LOG("goto again(%ld)...\n", static_cast<long>(getpid()));
    start = semi + 1;
  }
  nvram_set("kiv_service", "");
  nvram_set("kiv_service_pid", "");
  KIV_LOG("End\n");
  return const_cast<char*>(kEndValue);
}

void handle_kiv_event() {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, _handle_kiv_event, nullptr) != 0) {
    KIV_LOG("Create pthread1 error!\n");
    kiv_exit(1);
  }
  void* value = nullptr;
  pthread_join(thread, &value);
  KIV_LOG("[handle_kiv_event]%s\n", value ? static_cast<const char*>(value) : "");
}
