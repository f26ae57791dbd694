// kivrule fleet's reading of a rule server's request log: one JSON object a line, the fleet
// reports in it tallied per serial and stage. Every line is read within fixed bounds (its
// length, its depth, the numbers it holds), so a hostile or broken log costs at most a counted
// refusal; the memory grows with the routers and the rules, never with a line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

inline constexpr size_t FLEET_LINE_MAX = 65536;   // bytes of one log line
inline constexpr size_t FLEET_KEYWORD_MAX = 255;  // bytes of one rule keyword
inline constexpr size_t FLEET_RULES_MAX = 4096;   // distinct keywords of one serial and stage
inline constexpr size_t FLEET_GROUPS_MAX = 4096;  // distinct serials and stages
// Keywords of all serials and stages together: 4096 of each alone would let a log of 150 MB
// (one line per serial, each with 4096 made-up keywords) take 2 GB and print 16 million lines.
inline constexpr size_t FLEET_ENTRIES_MAX = 65536;
inline constexpr uint64_t FLEET_COUNT_MAX = 1000000000000000ULL;  // any count in one report
inline constexpr size_t FLEET_NOTES_MAX = 10;  // unreadable lines named one by one

struct rule_tally {
  uint64_t matches = 0, fires = 0, heals = 0, unconfirmed = 0, held = 0;
};

// What the counted reports of one serial (at one stage) add up to.
struct fleet_tally {
  std::unordered_set<uint64_t> routers;  // the first 64 bits of each IDENT
  uint64_t reports = 0, seconds = 0, walked = 0, lost = 0, reboots = 0;
  std::map<std::string, rule_tally> rules;  // by keyword; "" gathers those past the cap
};

// A stage of 0: the set was not the one published when the report came (or the log does not
// say), so its stage is not known.
using fleet_group = std::pair<uint64_t, uint32_t>;  // serial, stage

struct fleet_log {
  std::map<fleet_group, fleet_tally> groups;
  uint64_t lines = 0;              // every line, blank ones too
  uint64_t requests = 0;           // lines read as a request
  uint64_t counted = 0;            // reports tallied
  uint64_t no_report = 0;          // requests without a KivReport (shed, refused, reports off)
  uint64_t not_answered = 0;       // reports answered other than 200: the router sends them again
  uint64_t refused = 0;            // reports that are not what a router writes
  uint64_t cut = 0;                // counted reports that left rules out to stay short
  std::string first_refusal;       // "line N: why" of the first refused report
  uint64_t unreadable = 0;         // lines that are no request record
  std::vector<std::string> notes;  // "line N: why" of the first unreadable ones
  bool read_error = false;
  size_t entries = 0;  // keywords kept over all groups, at most FLEET_ENTRIES_MAX
};

// Reads the whole log from f into *log.
void read_fleet_log(FILE* f, fleet_log* log);

// Adds b's counts to a (sums saturate). A keyword a lacks is added while a holds fewer than
// FLEET_RULES_MAX and, with `entries`, while *entries (counted up) is below FLEET_ENTRIES_MAX;
// the rest go to the keyword "".
void add_tally(fleet_tally* a, const fleet_tally& b, size_t* entries = nullptr);
