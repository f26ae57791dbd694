// The rule file reader: a newly installed rule file becomes the live rule set.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rules/monitor_profile.h"
#include "rules/pattern_guard.h"

struct router_identity {
  std::optional<std::string> productid;
  std::optional<std::string> odmpid;
  std::string device_fwver;  // "%s.%s_%s" of firmver, buildno, extendno
  std::string label_mac;     // unset reads as empty
};

// "%s.%s_%s" with firmver, buildno and extendno from the settings store, at most 63 characters.
std::string device_fwver();
// The identity the filters compare with, from the settings store.
router_identity router_identity_from_settings();

// Largest ring a rule may ask for; a larger "frequency" (also a negative one, which converts
// to a huge unsigned count) is treated as a ring that cannot be allocated.
inline constexpr uint32_t KIV_MAX_FREQUENCY = 65536;
inline constexpr const char* KIV_DECJSONOBJ_PATH = "/tmp/decjsonobj.txt";

// Outcome of building a rule set from JSON text.
enum rule_load_status : int {
  RULES_OK = 0,
  RULES_PARSE_ERROR = -1,   // not JSON, or the top-level value is not an array
  RULES_ACTION_COUNT = -2,  // get_num_of_action failed
  RULES_ACTION_PARSE = -3,  // parse_action failed
  RULES_BAD_REGEX = -4,     // an active rule's re_pattern does not compile, or is refused
  RULES_RING_TOO_BIG = -5,  // an active rule's ring cannot be allocated
  RULES_NO_MEMORY = -6,     // a genuine out-of-memory
};

// What the reader found out about one rule (for the rule author's tool).
struct rule_note {
  bool active = false;
  std::string inactive_reason;  // the first filter that failed
  std::string regex_error;      // regerror text when the pattern did not compile
};

// A new rule set built privately, not yet installed.
struct rule_load {
  monitor_profile* array = nullptr;
  int32_t n = 0;
  json_object* doc = nullptr;
  std::vector<rule_note> notes;  // one per rule examined
  int32_t failed_index = -1;     // the rule that made the load fail, -1 when none
};

// Parses text, filters every rule against id, copies, compiles and parses actions, logging
// each step. "Global_Pause" of an active rule is stored at once into *pause (when given).
// On RULES_OK *out owns the array and the document; on failure they are released (notes and
// failed_index stay for the caller to report).
// Readies a profile to search with its pattern: the cost guard, regcomp, the literal prefilter
// and, for a plain pattern, the automaton. Empty on success, else the reason (regerror's words
// for what regcomp refuses).
std::string compile_pattern(const char* pattern, monitor_profile& p);

int build_rule_set(const char* text, const router_identity& id, std::atomic<int32_t>* pause,
                   rule_load* out);
// Releases what a rule_load still owns.
void release_rule_load(rule_load* load);

// The reader's steps from the parse on, for JSON text restored from a container: build, debug
// copy, swap. RULES_OK once the new set is live; on failure the set in force stays.
int install_rule_text(const char* text);

// Loads the file at `path` when kiv_is_JSON_updated is 1 (the daemon's entry point).
void read_json(const char* path);
