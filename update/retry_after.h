// A rule server that sheds load answers 503 (or 429) with "Retry-After: SECONDS". The router then
// ends the check at once and asks again only once SECONDS have passed plus a random part of at
// most SECONDS again, the whole at most 6 hours, so that a herd the server turned away does not
// come back as one. A 503 or 429 without a usable Retry-After is a failed try as ever.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int64_t KIV_SHED_HOLD_MAX_S = 6 * 60 * 60;
// A Retry-After below this is held as this: 0 or a few seconds, below the scheduler's 30-s tick,
// made a shed router ask on every tick for ever.
inline constexpr int64_t KIV_SHED_HOLD_MIN_S = 60;

// The value of the header line `line` ("Name: value\r\n") when its name is `name` (compared
// without regard to case); blanks around the value and the line end left out.
std::optional<std::string_view> header_value(std::string_view line, std::string_view name);
// A Retry-After value as delta-seconds: decimal digits only (blanks around them left out),
// saturated at KIV_SHED_HOLD_MAX_S; none for an HTTP date, a sign, a fraction or nothing.
std::optional<int64_t> retry_after_seconds(std::string_view value);
// The server's Retry-After seconds when the answer sheds load: status 503 or 429 with a usable
// Retry-After; none for every other answer.
std::optional<int64_t> shed_seconds(long status, const std::optional<std::string>& retry_after);
// How long no check may ask after a shed answer of `seconds` (held as KIV_SHED_HOLD_MIN_S when
// below it): the seconds plus random % (seconds + 1), at most KIV_SHED_HOLD_MAX_S. `random` is a
// non-negative draw.
int64_t shed_hold_back(int64_t seconds, int random);
