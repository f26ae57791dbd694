// kivrule fleet's reading of the rule server's request logs: one JSON object a line, read into
// one record (fleet_line) and folded into per-router state (fleet_state). Every line is read
// within fixed bounds (its length, its depth, the numbers it holds); the state grows with the
// routers, never with the log's length, and the result does not depend on the order of the lines.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

inline constexpr size_t FLEET_LINE_MAX = 65536;     // bytes of one log line
inline constexpr size_t FLEET_KEYWORD_MAX = 255;    // bytes of one rule keyword
inline constexpr size_t FLEET_VALUE_MAX = 64;       // bytes of a Model, FWVER or TCode kept
inline constexpr size_t FLEET_MEASURES_MAX = 4096;  // distinct measures ("fires of K", ...)
inline constexpr size_t FLEET_VALUES_MAX = 65536;   // distinct values of Model, FWVER, TCode each
inline constexpr size_t FLEET_ROUTERS_MAX = 1u << 22;
inline constexpr size_t FLEET_ROUTER_REPORTS_MAX = 256;  // reports of one router told apart
inline constexpr size_t FLEET_ROUTER_ENTRIES_MAX = 4;    // published sets and serials a router
inline constexpr size_t FLEET_SERIALS_MAX = 4096;        // published serials remembered
inline constexpr uint64_t FLEET_COUNT_MAX = 1000000000000000ULL;  // any count in one report
inline constexpr uint64_t FLEET_REPORT_SECONDS_MAX = 3 * 86400;   // one report covers at most
inline constexpr size_t FLEET_NOTES_MAX = 10;          // unreadable lines named one by one
inline constexpr size_t FLEET_DAYS_MAX = 65536;        // daily sums kept for the page
inline constexpr size_t FLEET_MINUTES_MAX = 1u << 20;  // minutes with a request not answered 200

// The reasons a router gives for a set it did not take, in the report's "refused" object.
inline constexpr std::array<const char*, 5> FLEET_REFUSALS = {"signature", "stage", "serial",
                                                              "rules", "download"};

struct fleet_count {
  std::string measure;  // "reboots", "starts", "fires of K", "unconfirmed heals of K"
  uint64_t count = 0;
};

// One request line as read: what the log says, before any judgement across lines.
struct fleet_line {
  uint64_t time_ms = 0;
  uint64_t status = 200;
  uint64_t key = 0;   // a hash of the line's text: the same line loaded twice is one row
  std::string ident;  // 32 lower-case hexadecimal digits, or "" when it has none or another
  std::string model, fwver, tcode, rule_serial;  // as sent, cut to FLEET_VALUE_MAX bytes
  bool has_published = false;
  uint64_t published = 0;  // the serial the server published when the request came
  uint32_t stage = 0;      // and its stage, 1..100
  int report = 0;          // 0 none, 1 read, 2 not what a router writes (why says why)
  std::string why;
  uint64_t serial = 0, seconds = 0;
  bool cut = false;
  std::array<uint64_t, FLEET_REFUSALS.size()> refused{};
  std::vector<fleet_count> counts;  // the nonzero ones
};

// The router's bucket 0..99: the first four hexadecimal digits of its IDENT modulo 100.
uint32_t fleet_bucket(const std::string& ident);

// One line's text into *out: false, with *why, when it is no request record at all.
bool parse_fleet_line(const std::string& text, fleet_line* out, std::string* why);

// What one router sent on the lines that name one published set (serial and stage) and one
// serial of its own (RuleSerial): its counted reports added up.
struct fleet_entry {
  uint64_t published = 0, serial = 0;
  uint32_t stage = 0;
  uint32_t requests = 0, reports = 0;
  uint64_t seconds = 0;
  uint64_t first_ms = UINT64_MAX, last_ms = 0;  // of its lines; last_ms of its reports
  uint32_t model = 0, fwver = 0, tcode = 0;     // from its latest report
  uint64_t values_ms = 0;
  std::array<uint64_t, FLEET_REFUSALS.size()> refused{};
  std::vector<std::pair<uint32_t, uint64_t>> counts;  // measure id, count; sorted by id
  // Its earliest report, held apart: it may have begun before the set was published, and then
  // the verdict leaves it out (the others began after it).
  bool held = false;
  uint64_t held_ms = 0;
  uint32_t held_seconds = 0;
  std::vector<std::pair<uint32_t, uint64_t>> held_counts;
};

struct fleet_router {
  std::vector<uint64_t> report_times;  // sorted: a report seen twice counts once
  std::vector<fleet_entry> entries;
};

// Names kept once, given small numbers; past `max`, every new name is the last id, `rest`.
struct fleet_names {
  std::unordered_map<std::string, uint32_t> ids;
  std::vector<std::string> names;
  uint32_t id(const std::string& name, size_t max, const char* rest);
};

// Per day and group, plain sums for the page's charts.
struct fleet_day {
  uint64_t seconds = 0, reports = 0;
  std::map<uint32_t, uint64_t> counts;
};

// A router's IDENT as its 128 bits: 16 bytes a router rather than a string of 32.
struct fleet_ident {
  uint64_t hi = 0, lo = 0;
  auto operator<=>(const fleet_ident&) const = default;  // the order of the hexadecimal text
};
fleet_ident fleet_ident_of(const std::string& hex);  // 32 lower-case hexadecimal digits
std::string fleet_ident_text(const fleet_ident& id);
uint32_t fleet_bucket(const fleet_ident& id);

// Keyed with a seed of the process's own, so that made-up IDENTs cannot be chosen to collide.
struct fleet_ident_hash {
  size_t operator()(const fleet_ident& id) const noexcept;
};

struct fleet_state {
  std::unordered_map<fleet_ident, fleet_router, fleet_ident_hash> routers;
  std::map<uint64_t, uint64_t> first_published;  // serial -> first time seen published (ms)
  std::map<uint64_t, uint32_t> widest_stage;     // serial -> widest stage it was published at
  fleet_names measures, models, fwvers, tcodes;
  // (published, serial, router in the stage's buckets, day) -> sums
  std::map<std::tuple<uint64_t, uint64_t, bool, int64_t>, fleet_day> days;
  std::map<int64_t, std::pair<uint64_t, uint64_t>> shed_minutes;  // with, without an IDENT
  uint64_t shed_unplaced = 0;  // past FLEET_MINUTES_MAX minutes: in no time
  uint64_t lines = 0, requests = 0, reports = 0, no_report = 0, not_answered = 0, cut = 0;
  std::map<std::string, uint64_t> left_out;  // reports left out, by why
  std::string first_left_out;                // "FILE line N: why" of the first
  uint64_t unreadable = 0;
  std::vector<std::string> notes;  // "FILE line N: why" of the first unreadable ones
};

// Folds one request into the state.
void fleet_add(fleet_state* s, const fleet_line& line, const std::string& where);

// Reads a whole log (a stream) into the state; `name` names it in notes. With `each`, every
// request is handed to it instead (the loader's rows) and only the counts of lines are kept.
// False when a read failed.
bool read_fleet_log(FILE* f, const std::string& name, fleet_state* s,
                    void (*each)(const fleet_line&, void*) = nullptr, void* arg = nullptr);
