// One HTTPS multipart form post to the rule server, the answer stored in a file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "report/fleet_counts.h"

// What the rule server answered, beyond the body.
struct download_answer {
  long status = 0;                         // the HTTP status, 0 when no answer came
  std::optional<std::string> retry_after;  // its Retry-After header's value
};

// 1 when the transfer completed without error with status 200, 0 otherwise. A failed transfer
// removes the target file it made. Only a 200 answer's body is written; *answer (when given)
// receives the status and Retry-After of whatever answer came.
int curl_download_file(const char* url, const char* path, download_answer* answer = nullptr);
size_t write_file_cb(void* data, size_t size, size_t count, void* file);

// The form fields (name, value) in the order they go on the wire, read from the settings store
// now: the six, "RuleSerial" behind them on a router with a rule-signing key, and last, with
// kiv_fleet_report 1, "KivReport" (update/fleet_report.h), whose counts go to *reported (when
// given) for the answer to settle.
std::vector<std::pair<std::string, std::string>> download_form_fields(
    fleet_counts* reported = nullptr);

// Limits that keep a slow or hostile server from holding the main loop or filling /tmp.
inline constexpr long KIV_CONNECT_TIMEOUT_S = 60;
inline constexpr long KIV_LOW_SPEED_LIMIT = 16;    // bytes per second ...
inline constexpr long KIV_LOW_SPEED_TIME_S = 120;  // ... for this long aborts the transfer
inline constexpr long KIV_TOTAL_TIMEOUT_S = 600;
inline constexpr size_t KIV_MAX_BODY = 4u << 20;
