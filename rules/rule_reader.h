// The rule file reader as steps that touch nothing but what they are given: split the rule array
// into its rules, read a rule's fields, filter it for a router, guard and compile its pattern,
// parse its ring and action list, and build the whole set. The daemon's install step
// (update/install_rules) and the rule author's tool both run exactly these steps; each writes
// the reader's records ("[KIV][read_json:(N)]...") as the daemon's log has always shown them.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/decimal.h"
#include "rules/rule_set.h"

struct router_identity {
  std::optional<std::string> productid;
  std::optional<std::string> odmpid;
  std::string device_fwver;  // device_fwver(): "%s.%s_%s" of firmver, buildno, extendno
  std::string label_mac;     // unset reads as empty
};

// Most characters of the firmware version text; a longer one is cut.
inline constexpr size_t KIV_FWVER_MAX = 127;
// The router's firmware version text: "%s.%s_%s" with firmver, buildno and extendno from the
// settings store, at most KIV_FWVER_MAX characters. The one text the download request sends as
// FWVER and a rule's target_fwver is compared with: a rule the server picked for the version the
// router told it is active on that router.
std::string device_fwver();
// The same text of given parts, cut the same way (the rule author's tools take it from options).
std::string fwver_text(const std::string& firmver, const std::string& buildno,
                       const std::string& extendno);
// The identity the filters compare with, from the settings store.
router_identity router_identity_from_settings();

// Largest ring a rule may ask for; a larger "frequency" (also a negative one, which converts
// to a huge unsigned count) is treated as a ring that cannot be allocated.
inline constexpr uint32_t KIV_MAX_FREQUENCY = 65536;
// Most match times the rings of one set's active rules may hold together (8 MiB): a file of
// many large rings is refused like one ring too large, not left to exhaust the router.
inline constexpr uint64_t KIV_MAX_RING_SLOTS = uint64_t{1} << 20;

// Outcome of building a rule set from JSON text.
enum rule_load_status : int {
  RULES_OK = 0,
  RULES_PARSE_ERROR = -1,    // not JSON, or the top-level value is not an array
  RULES_ACTION_COUNT = -2,   // get_num_of_action failed
  RULES_ACTION_PARSE = -3,   // parse_action failed
  RULES_BAD_REGEX = -4,      // an active rule's re_pattern does not compile, or is refused
  RULES_RING_TOO_BIG = -5,   // an active rule's ring cannot be allocated
  RULES_NO_MEMORY = -6,      // an allocation failed while the file was read
  RULES_RINGS_TOO_BIG = -7,  // the active rules' rings together hold more than the bound
  RULES_BAD_PERIOD = -8,     // an active rule's period is negative
};

// The text of every key the reader knows, as json-c gives it (a number as its decimal text);
// none when the key is absent or null. `object` is false for an element that is no object.
struct rule_fields {
  bool object = false;
  std::optional<std::string> model, odmpid, target_fwver, label_mac, type, keyword, re_pattern,
      frequency, period, action, Global_Pause;
};
rule_fields read_rule_fields(json_object* rule);

struct json_put {
  void operator()(json_object* o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;

// The elements of a rule file's array as json-c reads the text (text after the array is
// ignored). Where the text allows, each element is kept as the span of text it stands in and
// parsed when it is needed, so that a large file never stands in memory as one tree.
struct rule_array {
  std::vector<std::pair<const char*, const char*>> spans;  // each element's text, when split
  json_ptr whole;     // the whole document, when its text could not be split
  std::string plain;  // the array as json-c writes it plainly
  size_t size() const;
};
// RULES_OK, RULES_PARSE_ERROR when the text is not a JSON array, or RULES_NO_MEMORY. The text
// must outlive *out.
int read_rule_array(const char* text, rule_array* out);
// Element i, parsed again from its span (or taken from the whole document).
json_ptr rule_array_element(const rule_array& array, size_t i);

// Whether a rule is active on the router; why not (the first filter that fails) when it is not.
// Each filter's own verdict too (true for a key the rule does not have).
struct filter_verdict {
  bool active = false;
  std::string why_not;
  bool model = false, odmpid = true, fwver = true, label_mac = true;
};
filter_verdict judge_filters(const rule_fields& f, const router_identity& id);
// The same, writing the reader's records of the filter keys.
filter_verdict filter_rule(const rule_fields& f, const router_identity& id);

// Readies a pattern to search with: the cost guard, regcomp, the literal prefilter and, for a
// plain pattern, the automaton. Empty on success, else the reason (regerror's words for what
// regcomp refuses).
std::string compile_pattern(const char* pattern, compiled_pattern* out);
// The ring a "frequency" text asks for; none when it cannot be allocated (above
// KIV_MAX_FREQUENCY, or negative).
std::optional<uint32_t> ring_slots(const char* frequency);
// The window a "period" text asks for; none when it is negative (as an unsigned count it would
// be a window of some 136 years, in which any N matches fire).
std::optional<uint32_t> window_seconds(const char* period);
// An action list as the reader walks it: how many items get_num_of_action counts, how many
// parse_action stores (each negative on failure), and the items with their check rows.
struct action_walk {
  int32_t count = -1;
  int32_t stored = -1;
  std::vector<rule_action> items;
};
action_walk walk_action_list(const char* action);
// The items of an action list with their check rows; none when it cannot be parsed.
std::optional<std::vector<rule_action>> parse_action_list(const char* action);

// What the reader's steps make of one rule's fields, each step taken once before a verdict is
// asked for: the daemon's build takes it for the one router it runs on, the rule author's check
// for every router a file names.
struct rule_steps {
  std::string regex_error;         // with "re_pattern": why it is refused; empty when it compiles
  std::optional<uint32_t> ring;    // with "frequency": none when it cannot be allocated
  std::optional<uint32_t> window;  // with "period": none when it is negative
};
// The steps of the rule's fields; its pattern compiled into *pattern, when one is given (else
// regex_error is left to the caller, who may compile each distinct pattern once).
rule_steps read_rule_steps(const rule_fields& f, compiled_pattern* pattern);
// Adds a ring of `slots` to *total, the rings of a set's active rules so far; RULES_RINGS_TOO_BIG
// when they then hold more than KIV_MAX_RING_SLOTS.
int add_ring(uint64_t* total, uint32_t slots);
// The reader's verdict on a rule that is active, at the first step that refuses it, in the order
// the reader meets them: its pattern, its ring (added to *ring_total by add_ring), its period.
// An action list that is present always parses. RULES_OK when the reader takes the rule.
int active_rule_status(const rule_fields& f, const rule_steps& s, uint64_t* ring_total);

// What the reader found out about one rule (for the rule author's tool).
struct rule_note {
  std::optional<std::string> keyword;
  bool active = false;
  std::string inactive_reason;  // the first filter that failed
  std::string regex_error;      // why the pattern does not compile or is refused
};

// What a build found besides the set (the rule author's tool asks for it).
struct load_report {
  std::vector<rule_note> notes;  // one per rule examined
  int32_t failed_index = -1;     // the rule that made the load fail, -1 when none
};

// The whole set for the router `id` from JSON text, logging each step. RULES_OK with *out
// filled; on failure *out is left empty.
int build_rule_set(const char* text, const router_identity& id, rule_set* out,
                   load_report* report = nullptr);
