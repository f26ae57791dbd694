#include "rules/action_list.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/kiv_log.h"
#include "platform/platform.h"

const check_action_row checkActionList[CHECK_ROWS] = {
    {0, "nop", check_nop_state}, {1, "restart_wan", check_restart_wan}, {2, nullptr, nullptr}};

namespace {

// Leading spaces skipped (returned pointer), trailing spaces cut in place. Spaces only.
char* trim_spaces(char* text) {
  if (!text) return text;
  while (*text == ' ') ++text;
  size_t len = strlen(text);
  while (len > 0 && text[len - 1] == ' ') text[--len] = '\0';
  return text;
}

// The text cut to size - 1 bytes and trimmed of outer spaces (the bounded copy of the list).
std::string trimmed_copy(const char* action, int32_t size) {
  size_t limit = size > 0 ? static_cast<size_t>(size) - 1 : 0;
  std::string buf(action, strnlen(action, limit));
  return std::string(trim_spaces(buf.data()));
}

// Items separated by ';', empty items skipped. Position is kept in locals, not hidden state.
std::vector<std::string> split_items(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) items.emplace_back(text, start, end - start);
    start = end + 1;
  }
  return items;
}

int32_t nop_state = 1;  // touched only by the trigger thread, inside the healing run

}  // namespace

int32_t get_num_of_action(const char* action, int32_t size) {
  if (!action) {
    KIV_LOG("[get_num_of_action]action is NULL!!\n");
    return -1;
  }
  return static_cast<int32_t>(split_items(trimmed_copy(action, size)).size());
}

int32_t parse_action(std::vector<rule_action>* actions, const char* action, int32_t size,
                     int32_t count) {
  if (!actions || !action) {
    KIV_LOG("mp or action is NULL!!\n");
    return -1;
  }
  actions->clear();
  if (count <= 0) return 0;
  std::vector<std::string> items = split_items(trimmed_copy(action, size));
  if (items.size() > static_cast<size_t>(count)) items.resize(static_cast<size_t>(count));
  for (std::string& item : items) {
    actions->push_back(rule_action{std::move(item)});
    search_index(&actions->back(), actions->back().text.c_str());
  }
  return static_cast<int32_t>(actions->size());
}

int32_t search_index(rule_action* action, const char* name) {
  if (!action || !name) {
    KIV_LOG("[search_index]mp is NULL!!\n");
    return 2;
  }
  int32_t result = 2;
  for (int32_t row = 0; row < CHECK_ROWS - 1; ++row) {
    if (std::strcmp(name, checkActionList[row].name) == 0) {
      result = row;
      break;
    }
  }
  action->checkFuncIndex = result;
  return result;
}

int32_t check_nop_state(int32_t) {
  int32_t state = nop_state;
  if (state < 1 || state > 3) return 0;
  cprintf("check_nop_state, %d-th\n", static_cast<int>(state));
  nop_state = state == 3 ? 1 : state + 1;
  return state == 3 ? 0 : -1;
}

int32_t check_restart_wan(int32_t) {
  return 0;
}
