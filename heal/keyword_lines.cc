#include "heal/keyword_lines.h"

#include "platform/decimal.h"

std::string keyword_of_line(const char* keyword) {
  std::string k = std::string(keyword).substr(0, 64);
  for (char& c : k)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return k;
}

std::string keyword_line(const keyword_time& entry) {
  return std::to_string(entry.first) + " " + entry.second + "\n";
}

bool read_keyword_line(const std::string& line, keyword_time* entry) {
  const size_t space = line.find(' ');
  int64_t t = 0;
  if (space == std::string::npos || !whole_decimal(line.substr(0, space), &t)) return false;
  *entry = {t, line.substr(space + 1)};
  return true;
}
