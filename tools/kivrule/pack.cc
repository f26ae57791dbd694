// kivrule pack / unpack: JSON rule text to a scrambled container and back.
#include <json-c/json.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "tools/kivrule/kivrule.h"
#include "update/decrypt_file.h"

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
  json_tokener* tok = json_tokener_new();
  if (!tok) return "out of memory";
  json_object* doc = json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size() + 1));
  std::string problem;
  if (!doc) {
    problem = std::string("not JSON: ") + json_tokener_error_desc(json_tokener_get_error(tok)) +
              " near byte " + std::to_string(tok->char_offset);
  } else if (!json_object_is_type(doc, json_type_array)) {
    problem = std::string("the top-level value is ") +
              json_type_to_name(json_object_get_type(doc)) + ", not an array of rules";
  }
  json_object_put(doc);
  json_tokener_free(tok);
  return problem;
}

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: %s\n", message.c_str());
  return status;
}

}  // namespace

int kivrule_pack(std::vector<std::string> args) {
  std::string err;
  std::optional<std::string> ran_text;
  if (!take_option(&args, "--ran", &ran_text, &err)) return fail(err, KIVRULE_USAGE);
  if (args.size() != 2) return fail("usage: kivrule pack IN.json OUT [--ran N]", KIVRULE_USAGE);
  uint32_t ran = 0;
  if (ran_text && !parse_ran(*ran_text, &ran)) {
    return fail("--ran needs a 32-bit number, not '" + *ran_text + "'", KIVRULE_USAGE);
  }
  if (!ran_text) ran = random_ran();
  std::string json;
  if (!read_whole_file(args[0], &json, &err)) return fail(err, KIVRULE_USAGE);
  if (json.find('\0') != std::string::npos) {
    return fail(args[0] + ": contains a zero byte; the daemon would read only up to it",
                KIVRULE_REJECTED);
  }
  std::string problem = array_problem(json);
  if (!problem.empty()) return fail(args[0] + ": " + problem, KIVRULE_REJECTED);
  if (!write_whole_file(args[1], make_container(json, ran), &err)) return fail(err, KIVRULE_USAGE);
  std::printf("packed %zu bytes of rules into %s (Ran=%lu)\n", json.size(), args[1].c_str(),
              static_cast<unsigned long>(ran));
  return KIVRULE_OK;
}

int kivrule_unpack(std::vector<std::string> args) {
  if (args.empty() || args.size() > 2) return fail("usage: kivrule unpack IN [OUT]", KIVRULE_USAGE);
  std::string json, err;
  bool container = false;
  if (!load_rule_text(args[0], &json, &container, &err)) return fail(err, KIVRULE_USAGE);
  if (!container) return fail(args[0] + ": not a rule container (no header)", KIVRULE_REJECTED);
  if (args.size() == 2) {
    if (!write_whole_file(args[1], json, &err)) return fail(err, KIVRULE_USAGE);
    return KIVRULE_OK;
  }
  if (std::fwrite(json.data(), 1, json.size(), stdout) != json.size() || std::fflush(stdout) != 0) {
    return fail("cannot write standard output", KIVRULE_USAGE);
  }
  return KIVRULE_OK;
}
