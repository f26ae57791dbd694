// The flash records of heals and reboots: text lines "T KEYWORD", T a wall-clock time in seconds
// and KEYWORD the rule's keyword.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

using keyword_time = std::pair<int64_t, std::string>;

// The keyword as it goes into a line: cut to 64 bytes, so that a file stays far below what its
// reader takes, and control characters as '?', so that it stays one line.
std::string keyword_of_line(const char* keyword);
// "T KEYWORD\n".
std::string keyword_line(const keyword_time& entry);
// One line (without its end) read as "T KEYWORD"; false when it is not one.
bool read_keyword_line(const std::string& line, keyword_time* entry);
