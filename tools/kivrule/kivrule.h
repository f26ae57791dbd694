// kivrule, the rule author's tool: shared pieces of its commands.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "rules/read_json.h"

// Exit statuses of every command.
inline constexpr int KIVRULE_OK = 0;
inline constexpr int KIVRULE_REJECTED = 1;  // the input is readable but would not work
inline constexpr int KIVRULE_USAGE = 2;     // bad command line or unreadable input

// Whole file in *out; false with *err set when it cannot be read.
bool read_whole_file(const std::string& path, std::string* out, std::string* err);
// Writes the whole file (replacing it); false with *err set on failure.
bool write_whole_file(const std::string& path, const std::string& data, std::string* err);
// The JSON text of a rule file that is either a container or plain JSON. *was_container tells
// which. False with *err set when the file cannot be read.
bool load_rule_text(const std::string& path, std::string* json, bool* was_container,
                    std::string* err);

// A text in double quotes as it is (no JSON escapes, so a pattern reads as regcomp sees it),
// control bytes as \xNN, cut after `limit` bytes with "..." (and the whole length when
// tell_length).
std::string quoted_text(const std::string& s, size_t limit, bool tell_length);

// Why the daemon's reader refused a file, from build_rule_set's result.
const char* rule_load_rejection(int rc);

// Identity options shared by check and replay. Consumes "--productid P" and friends from args
// (removing them); false with *err set on a flag without its value. The firmware version is the
// daemon's: "._" without --fwver, cut to 63 characters (*fwver_cut tells whether it was).
bool take_identity_options(std::vector<std::string>* args, router_identity* id, std::string* err,
                           bool* fwver_cut = nullptr);
// Removes "--name VALUE" from args into *value; false with *err when the value is missing.
bool take_option(std::vector<std::string>* args, const std::string& name,
                 std::optional<std::string>* value, std::string* err);

int kivrule_pack(std::vector<std::string> args);
int kivrule_unpack(std::vector<std::string> args);
int kivrule_check(std::vector<std::string> args);
int kivrule_replay(std::vector<std::string> args);
