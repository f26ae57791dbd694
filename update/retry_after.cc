#include "update/retry_after.h"

namespace {

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::optional<std::string_view> header_value(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return std::nullopt;
  for (size_t i = 0; i < name.size(); ++i)
    if (lower(line[i]) != lower(name[i])) return std::nullopt;
  return trimmed(line.substr(name.size() + 1));
}

std::optional<int64_t> retry_after_seconds(std::string_view value) {
  value = trimmed(value);
  if (value.empty()) return std::nullopt;
  int64_t seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
    if (seconds > KIV_SHED_HOLD_MAX_S) seconds = KIV_SHED_HOLD_MAX_S;  // the cap holds anyway
  }
  return seconds;
}

std::optional<int64_t> shed_seconds(long status, const std::optional<std::string>& retry_after) {
  if ((status != 503 && status != 429) || !retry_after) return std::nullopt;
  return retry_after_seconds(*retry_after);
}

int64_t shed_hold_back(int64_t seconds, int random) {
  // Below the floor (0 included) every tick of a shed fleet would ask again.
  seconds = seconds < KIV_SHED_HOLD_MIN_S ? KIV_SHED_HOLD_MIN_S : seconds;
  const int64_t hold = seconds + static_cast<int64_t>(random < 0 ? 0 : random) % (seconds + 1);
  return hold < KIV_SHED_HOLD_MAX_S ? hold : KIV_SHED_HOLD_MAX_S;
}
