// Text cut into lines: the records kiv keeps in flash, the settings the firmware lists.
#pragma once

#include <string>

// Calls fn with each line of text, without its line end; a last line without one counts too.
template <typename Fn>
void for_each_line(const std::string& text, Fn&& fn) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    fn(text.substr(at, end - at));
    at = end + 1;
  }
}
