// kivrule pick: one model's rule file made from chosen parts of a rule library.
//
// Each library file is a JSON array of rules written for no router in particular; pick copies
// the rules asked for (all of a file, or those named by keyword after a colon), fills in the
// model, and the odmpid, target_fwver and label_mac when given, and writes one array that must
// pass check before it is written, ready for pack.
#include <json-c/json.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/kivrule/kivrule.h"

namespace {

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: pick: %s\n", message.c_str());
  return status;
}

struct part {
  std::string path;
  std::set<std::string> keywords;  // none: every rule of the file
};

// "FILE" or "FILE:kw1,kw2". A colon is taken as the separator only when a keyword list follows
// that holds no '/', so a path with a colon in it still reads as a path.
part parse_part(const std::string& arg) {
  part p{arg, {}};
  const size_t colon = arg.rfind(':');
  if (colon == std::string::npos || colon + 1 >= arg.size() ||
      arg.find('/', colon) != std::string::npos)
    return p;
  p.path = arg.substr(0, colon);
  const std::string list = arg.substr(colon + 1);
  for (size_t pos = 0; pos <= list.size();) {
    size_t end = list.find(',', pos);
    if (end == std::string::npos) end = list.size();
    if (end > pos) p.keywords.insert(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return p;
}

void set_text(json_object* rule, const char* key, const std::optional<std::string>& value) {
  if (value)
    json_object_object_add(
        rule, key, json_object_new_string_len(value->data(), static_cast<int>(value->size())));
}

struct picked {
  json_object* array = json_object_new_array();
  std::map<std::string, std::string> from;  // keyword -> the file it came from
  ~picked() { json_object_put(array); }
};

// The rules of one part, with the identity filled in, appended to out. KIVRULE_OK or the status
// with *err set.
int take_part(const part& p, const std::map<std::string, std::optional<std::string>>& fill,
              picked* out, std::string* err) {
  rule_text in;
  if (int status = load_rule_text(p.path, &in, err)) return status;
  json_object* doc = json_tokener_parse(in.json.c_str());
  if (!doc || !json_object_is_type(doc, json_type_array)) {
    json_object_put(doc);
    *err = in.name + ": not a JSON array of rules";
    return KIVRULE_REJECTED;
  }
  std::set<std::string> found;
  int status = KIVRULE_OK;
  for (size_t i = 0; i < json_object_array_length(doc) && status == KIVRULE_OK; ++i) {
    json_object* rule = json_object_array_get_idx(doc, i);
    json_object* kw = nullptr;
    if (!json_object_is_type(rule, json_type_object) ||
        !json_object_object_get_ex(rule, "keyword", &kw) ||
        !json_object_is_type(kw, json_type_string)) {
      *err = in.name + ": rule " + std::to_string(i) + " has no keyword to pick it by";
      status = KIVRULE_REJECTED;
      break;
    }
    const std::string keyword = json_object_get_string(kw);
    if (!p.keywords.empty() && !p.keywords.count(keyword)) continue;
    found.insert(keyword);
    auto [at, fresh] = out->from.emplace(keyword, in.name);
    if (!fresh) {
      *err = "keyword \"" + keyword + "\" is in " + at->second + " and " + in.name +
             ": the heal budget counts heals by keyword, so each must be one rule";
      status = KIVRULE_REJECTED;
      break;
    }
    json_object* copy = nullptr;
    if (json_object_deep_copy(rule, &copy, nullptr) != 0) {
      *err = "out of memory";
      status = KIVRULE_REJECTED;
      break;
    }
    for (const auto& [key, value] : fill) {
      json_object_object_del(copy, key.c_str());
      set_text(copy, key.c_str(), value);
    }
    json_object_array_add(out->array, copy);
  }
  json_object_put(doc);
  for (const std::string& k : p.keywords)
    if (status == KIVRULE_OK && !found.count(k)) {
      *err = in.name + ": no rule has the keyword \"" + k + "\"";
      status = KIVRULE_REJECTED;
    }
  return status;
}

const char kPickUsage[] =
    "usage: kivrule pick --model M [--odmpid O] [--fwver F] [--label-mac L] OUT "
    "LIBRARY.json[:keyword,...] ...";

}  // namespace

int kivrule_pick(std::vector<std::string> args) {
  std::string err;
  std::optional<std::string> model, odmpid, fwver, label_mac;
  if (!take_option(&args, "--model", &model, &err) ||
      !take_option(&args, "--odmpid", &odmpid, &err) ||
      !take_option(&args, "--fwver", &fwver, &err) ||
      !take_option(&args, "--label-mac", &label_mac, &err))
    return fail(err, KIVRULE_USAGE);
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-') return fail("unknown option '" + a + "'", KIVRULE_USAGE);
  if (!model || model->empty() || args.size() < 2) return fail(kPickUsage, KIVRULE_USAGE);
  const std::string out_path = args[0];
  // Every copied rule loses the library's own identity keys: those not given are left out.
  const std::map<std::string, std::optional<std::string>> fill = {
      {"model", model}, {"odmpid", odmpid}, {"target_fwver", fwver}, {"label_mac", label_mac}};
  picked rules;
  for (size_t i = 1; i < args.size(); ++i) {
    const part p = parse_part(args[i]);
    if (!distinct_output(p.path, out_path, &err)) return fail(err, KIVRULE_USAGE);
    if (int status = take_part(p, fill, &rules, &err)) return fail(err, status);
  }
  if (!may_replace(out_path, {}, &err)) return fail(err, KIVRULE_USAGE);
  const std::string json =
      std::string(json_object_to_json_string_ext(
          rules.array, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE)) +
      "\n";
  std::string why;
  if (check_before_writing(out_path, json, "writes", &why) != KIVRULE_OK)
    return fail(why, KIVRULE_REJECTED);
  if (!write_whole_file(out_path, json, &err)) return fail(err, KIVRULE_USAGE);
  std::fprintf(stderr, "kivrule: pick: %zu rules for model \"%s\" in %s\n",
               json_object_array_length(rules.array), model->c_str(), input_name(out_path).c_str());
  return KIVRULE_OK;
}
