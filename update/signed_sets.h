// Trust in rule sets for a router with a rule-signing key: the settings key kiv_rule_pubkey names
// a PEM file of an Ed25519 public key (in the firmware image; below $KIV_ROOT on the host). Such a
// router takes a rule container only with a valid signature over its exact bytes and a serial not
// below that of the signed set it holds, which is kept in flash (/jffs/kiv/rule_serial) across
// restarts and reboots; the same bytes again are no update. A router without a key takes signed
// and unsigned containers alike, the trailer left out. Every router keeps to the stage of a
// well-formed staged trailer (update/rule_stage.h): it takes such a set only when its bucket lies
// below the stage; a router with a key verifies both signatures first, and the set it installed
// stays "the installed set" at whatever stage it comes again.
//
// File /jffs/kiv/rule_serial, one line: the serial in 16 hexadecimal digits, a space, the
// signature in 128, written the safe way the rule cache is (temporary file, sync, rename).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/fleet_counts.h"
#include "update/container.h"

enum class set_verdict {
  take,     // no key, or a valid signature with a serial above the installed one
  same,     // the installed signed set again: no update
  refused,  // see `reason`
};

struct set_check {
  set_verdict verdict = set_verdict::take;
  signed_parts parts;  // where the container ends (its trailer left out) and its serial
  bool keyed = false;  // judged under a key: the serial is to be kept once installed
  // Refused for no fault of the file: the key could not be used (missing, not a regular file, too
  // large, no Ed25519 key) or the crypto library failed. A cache so refused is kept.
  bool blameless = false;
  std::string reason;                       // why it is refused, or what `same` means, for the log
  bool staged_out = false;                  // refused by the stage: the system log is told as well
  refusal counted_as = refusal::signature;  // for the fleet report, when refused
};

// This router's verdict on a container's bytes as they came.
set_check check_rule_set(std::string_view file);
// The refusal's words: the record "Rule file not taken: REASON" with the caller's name and line
// and, for a set staged for other routers, the same line in the system log.
void tell_not_taken(const set_check& c, const char* func, int line);
// After a set was installed: it is the set in force; a signed set's serial and signature kept in
// flash on a router with a key.
void keep_rule_serial(std::string_view file, const set_check& c);
// The serial of the set in force when it came with a well-formed trailer; 0 otherwise.
uint64_t serial_in_force();
// The serial of the signed set in force, for the request: 0 when none is (after a restart without
// the rule cache, although the flash record holds a serial); none when the router has no key.
std::optional<uint64_t> request_rule_serial();
