// kivrule pack / unpack: JSON rule text to a scrambled container and back. Neither ever writes
// over its input, and each output is replaced whole (a temporary file renamed into place).
#include <json-c/json.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

#include "tools/kivrule/kivrule.h"
#include "update/container.h"

namespace {

// "N" as a 32-bit Ran: 0..4294967295, or a negative number taken modulo 2^32 (the header field
// is read as signed by the daemon's log record, so -1 and 4294967295 are the same key).
bool parse_ran(const std::string& text, uint32_t* ran) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < -2147483648LL || v > 4294967295LL) return false;
  *ran = static_cast<uint32_t>(v);
  return true;
}

uint32_t random_ran() {
  std::random_device rd;
  return static_cast<uint32_t>(rd());
}

// Empty when text is a JSON array; otherwise what is wrong with it.
std::string array_problem(const std::string& text) {
  const std::string problem = json_problem(text);
  if (!problem.empty()) return "not JSON: " + problem;
  json_object* doc = json_tokener_parse(text.c_str());
  std::string what;
  if (!json_object_is_type(doc, json_type_array))
    what = std::string("the top-level value is ") + json_type_to_name(json_object_get_type(doc)) +
           ", not an array of rules";
  json_object_put(doc);
  return what;
}

// The errors, each under its rule, and the verdict of check's report, for pack's refusal.
std::string check_errors(const std::string& report) {
  std::string lines, rule;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("rule ", 0) == 0) rule = line.substr(0, line.find(": ")) + ": ";
    if (line.rfind("  error: ", 0) == 0) lines += "\n  " + rule + line.substr(2);
    if (line.rfind("error: ", 0) == 0 || line.rfind("verdict: ", 0) == 0) lines += "\n  " + line;
  }
  return lines;
}

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: %s\n", message.c_str());
  return status;
}

}  // namespace

int check_before_writing(const std::string& path, const std::string& json, const char* command,
                         std::string* why) {
  char* report = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&report, &size);
  if (!out) {
    *why = input_name(path) + ": out of memory for check's report";
    return KIVRULE_REJECTED;
  }
  rule_text in;
  in.name = input_name(path);
  in.json = json;
  const int status = check_rules(in, nullptr, false, out);
  std::fclose(out);
  *why = input_name(path) + ": check rejects it (kivrule check " + path + " tells all; --force " +
         command + " it all the same):" + check_errors(std::string(report, size));
  std::free(report);
  return status;
}

int kivrule_pack(std::vector<std::string> args) {
  std::string err, json, why;
  std::optional<std::string> ran_text;
  bool force = false;
  if (!take_option(&args, "--ran", &ran_text, &err) || !take_flag(&args, "--force", &force, &err))
    return fail(err, KIVRULE_USAGE);
  if (args.size() != 2)
    return fail("usage: kivrule pack IN.json OUT [--ran N] [--force]", KIVRULE_USAGE);
  uint32_t ran = 0;
  if (ran_text && !parse_ran(*ran_text, &ran)) {
    return fail("--ran needs a 32-bit number, not '" + *ran_text + "'", KIVRULE_USAGE);
  }
  if (!ran_text) ran = random_ran();
  if (!distinct_output(args[0], args[1], &err) || !may_replace(args[1], {}, &err))
    return fail(err, KIVRULE_USAGE);
  if (int status = read_input(args[0], &json, &err)) return fail(err, status);
  if (json.find('\0') != std::string::npos) {
    return fail(input_name(args[0]) + ": contains a zero byte; the daemon would read only up to it",
                KIVRULE_REJECTED);
  }
  std::string problem = array_problem(json);
  if (!problem.empty()) return fail(input_name(args[0]) + ": " + problem, KIVRULE_REJECTED);
  if (!force && check_before_writing(args[0], json, "packs", &why) != KIVRULE_OK)
    return fail(why, KIVRULE_REJECTED);
  if (!write_whole_file(args[1], make_container(json, ran), &err)) return fail(err, KIVRULE_USAGE);
  // The container itself may be going to standard output.
  std::fprintf(args[1] == "-" ? stderr : stdout, "packed %zu bytes of rules into %s (Ran=%lu)\n",
               json.size(), args[1] == "-" ? "standard output" : args[1].c_str(),
               static_cast<unsigned long>(ran));
  return KIVRULE_OK;
}

int kivrule_unpack(std::vector<std::string> args) {
  std::string err, key_path;
  rule_key key;
  if (int status = take_public_key(&args, &key, &err, &key_path)) return fail(err, status);
  if (args.empty() || args.size() > 2)
    return fail("usage: kivrule unpack IN [OUT] [--pubkey KEY.pub]", KIVRULE_USAGE);
  rule_text in;
  std::vector<std::string> keys;
  if (!key_path.empty()) keys.push_back(key_path);
  if (args.size() == 2 &&
      (!distinct_output(args[0], args[1], &err) || !may_replace(args[1], keys, &err)))
    return fail(err, KIVRULE_USAGE);
  if (int status = load_rule_text(args[0], &in, &err, key.get())) return fail(err, status);
  if (!in.container) return fail(in.name + ": not a rule container (no header)", KIVRULE_REJECTED);
  // The trailer's word goes where the JSON text does not.
  const std::string note = signature_note(in);
  if (!note.empty()) std::fprintf(args.size() == 2 ? stdout : stderr, "%s\n", note.c_str());
  if (in.verdict && *in.verdict != rule_sig::ok)
    return fail(in.name + ": a router with that key refuses it", KIVRULE_REJECTED);
  // The daemon never looks at Len, but a body of another length was cut short or added to.
  if (in.len_field != in.json.size())
    return fail(in.name + ": the body holds " + std::to_string(in.json.size()) +
                    " bytes but Len says " + std::to_string(in.len_field) +
                    (in.json.size() < in.len_field ? ": the container is cut short"
                                                   : ": bytes were added behind it"),
                KIVRULE_REJECTED);
  if (!write_whole_file(args.size() == 2 ? args[1] : "-", in.json, &err))
    return fail(err, KIVRULE_USAGE);
  return KIVRULE_OK;
}
