#include "platform/decimal.h"

#include <limits>

namespace {

bool white(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

decimal_read read_decimal(std::string_view text) {
  decimal_read r;
  size_t i = 0;
  while (i < text.size() && white(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  constexpr uint64_t kLimit = uint64_t{1} << 63;  // the magnitude of the most negative value
  uint64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++r.digits) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (magnitude > (kLimit - digit) / 10) {
      magnitude = kLimit;
      r.saturated = true;
    } else {
      magnitude = magnitude * 10 + digit;
    }
  }
  r.end = i;
  r.saturated = r.saturated || (!negative && magnitude >= kLimit);
  if (negative)
    r.value = magnitude >= kLimit ? std::numeric_limits<int64_t>::min()
                                  : -static_cast<int64_t>(magnitude);
  else
    r.value =
        magnitude >= kLimit ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(magnitude);
  return r;
}

int32_t atoi_rule(std::string_view text) {
  const int64_t v = read_decimal(text).value;
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

bool whole_decimal(std::string_view text, int64_t* out) {
  if (text.empty() || white(text[0]) || text[0] == '+') return false;
  const decimal_read r = read_decimal(text);
  if (r.digits == 0 || r.end != text.size() || r.saturated) return false;
  *out = r.value;
  return true;
}
