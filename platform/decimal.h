// The one reader of decimal numbers in the text kiv reads: rule fields, settings values, the PID
// file and the reboot record. It follows the atoi rule (leading white space, an optional sign,
// then digits up to the first other character; no digits gives 0) without atoi's undefined
// overflow: the value saturates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct decimal_read {
  int64_t value = 0;       // saturated at the 64-bit limits
  size_t digits = 0;       // how many digits were read
  size_t end = 0;          // where reading stopped
  bool saturated = false;  // the digits ran past the 64-bit limits
};
decimal_read read_decimal(std::string_view text);

// read_decimal's value saturated at the 32-bit limits, as a rule field or a settings value.
int32_t atoi_rule(std::string_view text);
// A number that is the whole text: digits with an optional leading '-', nothing else, within
// the 64-bit limits (the files kiv writes itself); false otherwise.
bool whole_decimal(std::string_view text, int64_t* out);
