// kivrule, the rule author's tool: shared pieces of its commands.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "detect/own_lines.h"
#include "rules/rule_reader.h"
#include "update/rule_signature.h"

// Exit statuses of every command.
inline constexpr int KIVRULE_OK = 0;
inline constexpr int KIVRULE_REJECTED = 1;  // the input is readable but would not work
inline constexpr int KIVRULE_USAGE = 2;     // bad command line or unreadable input

// The whole input in *out: the file at path, or standard input for "-". KIVRULE_OK, or the exit
// status with *err set: a directory or an unreadable file is KIVRULE_USAGE, an empty one
// KIVRULE_REJECTED.
int read_input(const std::string& path, std::string* out, std::string* err);
// "N" as a serial or a count: decimal digits only, 0..18446744073709551615; false otherwise.
bool parse_serial(const std::string& text, uint64_t* out);
// How messages name an input: the path, or "standard input" for "-".
std::string input_name(const std::string& path);
// False with *err set when the output path names the same file as the input (compared by device
// and inode, so another spelling or a link is caught too): writing would destroy the input.
bool distinct_output(const std::string& in, const std::string& out, std::string* err);
// False with *err set when the output must not be replaced: it is the same file as one of the
// key files named on the command line (by device and inode), an existing file that holds a PEM
// key of any kind, private or public, whatever its name (or that cannot be read to tell), or
// something other than a regular file (a device such as /dev/null, a FIFO, a directory), in
// whose place the rename would put a file. A lost signing key cannot be made again while
// routers in the field hold its public half.
bool may_replace(const std::string& out, const std::vector<std::string>& keys, std::string* err);
// Replaces the file at path with data through a temporary file in the same directory renamed
// into place, so no reader ever sees half of it; "-" is standard output. False with *err set.
bool write_whole_file(const std::string& path, const std::string& data, std::string* err);
// Creates the file at path with data and the given mode; never replaces an existing file (nor
// writes through a link), and removes what it created when a write fails. False with *err set.
bool write_new_file(const std::string& path, const std::string& data, mode_t mode,
                    std::string* err);

// A rule file as the tool reads it: a container (its body restored, without a well-formed
// signature trailer) or plain JSON.
struct rule_text {
  std::string name;  // for messages
  std::string json;
  bool container = false;
  uint32_t len_field = 0;           // a container's Len
  signed_parts sig;                 // its signature trailer: ok, missing or malformed
  bool magic_last = false;          // the file ends in the trailer's magic
  std::optional<rule_sig> verdict;  // with a key: the verdict of a router that holds it
};
// As read_input, for a rule file; with a public key, also the signature's verdict.
int load_rule_text(const std::string& path, rule_text* out, std::string* err,
                   EVP_PKEY* key = nullptr);
// The same for a file's bytes already read; out->name is left as it is.
void take_rule_text(std::string data, rule_text* out, EVP_PKEY* key = nullptr);
// A trailer's stage in words: "stage 100 (every router)", "stage 5 (the routers in buckets 0..4)".
std::string stage_text(const signed_parts& sig);
// What the file's trailer says, in a line (the verdict too with a key); empty for a file without
// a trailer read without a key.
std::string signature_note(const rule_text& in);
// Consumes "--pubkey FILE" from args and loads the key into *key (left empty without the
// option; *path, when given, receives FILE). KIVRULE_OK, or KIVRULE_USAGE with *err set.
int take_public_key(std::vector<std::string>* args, rule_key* key, std::string* err,
                    std::string* path = nullptr);
// Why a key file could not be used, naming it.
std::string key_problem(const std::string& path, rule_sig r, bool private_key);

// A JSON number of a count (the whole uint64_t range) and a JSON string of a text, for the
// commands' --json output.
struct json_object;
json_object* json_u64(uint64_t v);
json_object* json_text(const std::string& s);

// Where the JSON reader stopped in text, as "line L, column C: what is wrong" in words a person
// can act on; empty when the text is one JSON value. *end (when given) is the byte just past the
// value when it parses.
std::string json_problem(const std::string& text, size_t* end = nullptr);
// "line L, column C" of a byte offset (columns count characters, not bytes).
std::string text_position(const std::string& text, size_t offset);

// A text in double quotes as it is (no JSON escapes, so a pattern reads as regcomp sees it),
// control bytes as \xNN, cut after `limit` bytes with "..." (and the whole length when
// tell_length).
std::string quoted_text(const std::string& s, size_t limit, bool tell_length);

// The first MAC of a label_mac list (MACs separated by anything that is no part of one); the
// whole text when it holds none.
std::string first_mac(const std::string& list);
// The router a rule names: its model, odmpid, target_fwver (cut as the daemon cuts its own
// device_fwver) and the first MAC of its label_mac list. The rule is active on that router
// whenever it can be active on any.
router_identity named_router(const rule_fields& f);

// Why the daemon's reader refused a file, from build_rule_set's result.
const char* rule_load_rejection(int rc);

// Identity options shared by check and replay. Consumes "--productid P" and friends from args
// (removing them); false with *err set on a flag without its value. The firmware version is the
// daemon's: "._" without --fwver, cut to KIV_FWVER_MAX characters (*fwver_cut tells whether it
// was).
// *given (when given) tells whether any identity option was there.
bool take_identity_options(std::vector<std::string>* args, router_identity* id, std::string* err,
                           bool* fwver_cut = nullptr, bool* given = nullptr);
// Removes "--name VALUE" or "--name=VALUE" from args into *value; false with *err when the value
// is missing or the option is given twice.
bool take_option(std::vector<std::string>* args, const std::string& name,
                 std::optional<std::string>* value, std::string* err);
// Removes the flag "--name" from args into *present; false with *err when it is given twice or
// with a value.
bool take_flag(std::vector<std::string>* args, const std::string& name, bool* present,
               std::string* err);

// The warning for an active profile that matches kiv's own lines, those of its own actions and
// of the router's (every action of its rule set) included; empty when it matches none.
std::string self_trigger_warning(const monitor_profile& p, const std::vector<std::string>& own,
                                 const own_lines& router);

// The whole report of check on a rule file, to out: judged as the router `id` names, or without
// one as every router the rules name. Returns the exit status.
int check_rules(const rule_text& in, const router_identity* id, bool verbose, FILE* out);

// check (without identity) on a rule text about to be packed or signed: KIVRULE_OK, or the
// refusal in *why (`command` names what --force does: "packs", "signs").
int check_before_writing(const std::string& path, const std::string& json, const char* command,
                         std::string* why);

int kivrule_pack(std::vector<std::string> args);
int kivrule_unpack(std::vector<std::string> args);
int kivrule_check(std::vector<std::string> args);
int kivrule_replay(std::vector<std::string> args);
int kivrule_keygen(std::vector<std::string> args);
int kivrule_sign(std::vector<std::string> args);
int kivrule_verify(std::vector<std::string> args);
int kivrule_bucket(std::vector<std::string> args);
int kivrule_fleet(std::vector<std::string> args);
int kivrule_test(std::vector<std::string> args);
int kivrule_pick(std::vector<std::string> args);
