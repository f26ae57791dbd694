// The fleet report (kiv_fleet_report 1): the request's field "KivReport", after the six and
// RuleSerial, a JSON object of what kiv did since the last request answered with status 200:
//   {"v":1,"serial":N,"bucket":B,"seconds":S,"walked":L,"lost":X,"reboots":R,"starts":T,
//    "refused":{"signature":a,"stage":b,"serial":c,"rules":d,"download":e},
//    "rules":{"KEYWORD":{"matches":m,"fires":f,"heals":h,"unconfirmed":u,"held":k}}}
// serial is the set in force's (0 when none is known), bucket this router's, starts kiv's starts;
// "refused" holds the reasons counted (none with 0; report/fleet_counts.h). Counts only, and
// the rules' own keywords: no log text, no address, no settings value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/fleet_counts.h"

inline constexpr size_t KIV_REPORT_MAX = 2048;

// The text as a JSON string, quotes included: '"', '\' and control characters escaped, a byte
// that is no part of a UTF-8 character as '?' (JSON is UTF-8), every other byte as it is.
std::string json_string(std::string_view text);
// The report of `counts`, at most KIV_REPORT_MAX bytes: over it, the rules with the fewest fires
// go (then the fewest heals, matches, the last keyword first) and "cut":true is added.
std::string fleet_report_json(const fleet_counts& counts, uint64_t serial, int bucket);
// Whether the request carries the report (kiv_fleet_report 1).
bool fleet_report_on();
