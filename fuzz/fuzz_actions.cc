// The action list grammar: get_num_of_action, parse_action and search_index on arbitrary text,
// after a first byte that picks a buffer size and a count. The grammar is
// computed here apart: outer spaces dropped, split at ';', empty items skipped; "nop" binds check
// row 0, "restart_wan" row 1, any other name row 2.
#include "support.h"

static std::vector<std::string> items(const std::string& text) {
  const size_t b = text.find_first_not_of(' ');
  std::istringstream in(b == text.npos ? "" : text.substr(b, text.find_last_not_of(' ') + 1 - b));
  std::vector<std::string> out;
  for (std::string item; std::getline(in, item, ';');)
    if (!item.empty()) out.push_back(item);
  return out;
}

static int32_t row_of(const std::string& name) {
  return name == "nop" ? 0 : name == "restart_wan" ? 1 : 2;
}

static std::vector<std::string> texts(const std::vector<rule_action>& actions) {
  std::vector<std::string> out;
  for (const rule_action& a : actions) out.push_back(a.text);
  return out;
}

void one(const std::string& input) {
  if (input.empty()) return;
  const uint8_t mode = input[0];
  const std::string text(input.c_str() + 1);  // as the reader hands it over: up to a zero byte
  const int32_t full = static_cast<int32_t>(text.size() + 1);
  const std::vector<std::string> want = items(text);
  const int32_t count = get_num_of_action(text.c_str(), full);
  check(count == static_cast<int32_t>(want.size()), "get_num_of_action counts the items");
  std::vector<rule_action> p;
  check(parse_action(&p, text.c_str(), full, count) == count && texts(p) == want,
        "parse_action stores exact copies in list order");
  for (size_t k = 0; k < p.size(); ++k)
    check(
        p[k].checkFuncIndex == row_of(want[k]) && p[k].actionResult == -1 && p[k].actionRetry == 0,
        "each item is bound to its check row, with no run yet");

  // A buffer size shorter than the text cuts it, a larger one changes nothing; a count beyond
  // the items keeps what there is, a smaller one the first items.
  const int32_t cut = mode - 2;
  const int32_t cut_count = get_num_of_action(text.c_str(), cut);
  check(cut_count == static_cast<int32_t>(items(text.substr(0, std::max(cut - 1, 0))).size()),
        "a buffer size cuts the text before it is counted");
  std::vector<rule_action> q;
  const int32_t asked = cut_count + (mode & 3) - 1;
  check(parse_action(&q, text.c_str(), cut, asked) == std::max(0, std::min(asked, cut_count)),
        "parse_action stores at most the count asked for, from what fits in the buffer");
  rule_action one;
  check(search_index(&one, text.c_str()) == row_of(text) && one.checkFuncIndex == row_of(text),
        "search_index gives the name's check row");
}
