// Fetches the rule file into `path` and announces it through kiv_is_JSON_updated.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The Retry-After seconds when the rule server shed load (update/retry_after.h): that answer
// ended the check, with no further try; none otherwise.
std::optional<int64_t> download_json(const char* path);

// "%s/%s" of the base URL (kiv_debug_server when set and not empty, else the build's default)
// and the script chosen by apps_sq, at most 255 characters.
std::string download_target_url();

inline constexpr int KIV_DOWNLOAD_RETRIES = 5;
inline constexpr long long KIV_UPDATE_THRESHOLD = 41;
