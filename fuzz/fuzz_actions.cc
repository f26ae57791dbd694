// The action list grammar: get_num_of_action, parse_action and search_index on arbitrary text.
#include <algorithm>
#include <cstring>
#include <string>

#include "rules/action_list.h"
#include "support.h"

using kivfuzz::check;

namespace {

// The items as the grammar defines them, computed independently: outer spaces dropped, split
// at ';', empty items skipped.
std::vector<std::string> expected_items(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  std::vector<std::string> items;
  std::string cur;
  for (size_t i = b; i < e; ++i) {
    if (text[i] == ';') {
      if (!cur.empty()) items.push_back(cur);
      cur.clear();
    } else {
      cur += text[i];
    }
  }
  if (!cur.empty()) items.push_back(cur);
  return items;
}

int32_t row_of(const std::string& name) {
  if (name == "nop") return 0;
  if (name == "restart_wan") return 1;
  return 2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivfuzz::setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  // The text as the reader hands it over: a zero-terminated copy of the rule's value.
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const char* action = text.c_str();
  const int32_t full = static_cast<int32_t>(std::strlen(action) + 1);

  const std::vector<std::string> want = expected_items(std::string(action));
  const int32_t count = get_num_of_action(action, full);
  check(count == static_cast<int32_t>(want.size()), "get_num_of_action counts the items");

  monitor_profile p;
  p.action_num = count;
  const int32_t ret = parse_action(&p, action, full);
  check(ret == count, "parse_action stores every counted item");
  check(p.action.size() == static_cast<size_t>(count) &&
            p.checkFuncIndex.size() == static_cast<size_t>(count) &&
            p.actionResult.size() == static_cast<size_t>(count) &&
            p.actionRetry.size() == static_cast<size_t>(count),
        "four arrays of action_num entries");
  for (size_t k = 0; k < want.size(); ++k) {
    check(p.action[k] == want[k], "items are exact copies in list order");
    check(p.checkFuncIndex[k] == row_of(want[k]), "each item is bound to its check row");
    check(p.actionResult[k] == -1 && p.actionRetry[k] == 0, "fresh per-action state");
  }

  // A buffer size shorter than the text cuts it, a larger one changes nothing; an action_num
  // above the item count leaves the extra slots without a name.
  const int32_t cut = static_cast<int32_t>(mode) - 2;
  const int32_t cut_count = get_num_of_action(action, cut);
  const size_t kept = cut > 0 ? std::min(std::strlen(action), static_cast<size_t>(cut) - 1) : 0;
  check(cut_count == static_cast<int32_t>(expected_items(std::string(action, kept)).size()),
        "a buffer size cuts the text before it is counted");
  monitor_profile q;
  q.action_num = cut_count + (mode & 3);
  const int32_t cut_ret = parse_action(&q, action, cut);
  check(cut_ret == cut_count, "parse_action stores what fits in the buffer");
  check(q.action.size() == static_cast<size_t>(q.action_num), "arrays follow action_num");

  // search_index with any name and position, also positions outside the arrays.
  const int32_t position = static_cast<int32_t>(static_cast<int8_t>(mode)) % 8;
  check(search_index(&p, action, position) == row_of(std::string(action)), "search_index row");
  return 0;
}
