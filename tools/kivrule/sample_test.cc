// kivrule test: every rule's sample lines through the daemon's own reader and matcher.
//
// A rule file X.json has its samples beside it in X.samples (or the file given with
// --samples): for each rule, by keyword, lines it must match and lines it must not. The rule set
// is built by the daemon's reader for the router each rule names, and each sample line is cut
// into the follower's pieces and walked over every active profile by walk_profiles, as replay
// walks a log. A sample that does the wrong thing, a rule without enough samples, a keyword twice
// in the file (the heal budget counts heals by keyword) or a file the daemon would refuse fails
// the test.
//
// The samples file, one item a line:
//   # a comment, and blank lines, are skipped
//   [keyword]          the rule the lines below belong to
//   + LINE             a system log line the rule must match
//   - LINE             a line it must not match
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "detect/log_pieces.h"
#include "detect/monitor_syslog.h"
#include "tools/kivrule/kivrule.h"

namespace {

struct sample {
  size_t at = 0;  // line of the samples file
  bool match = false;
  std::string text;
};

struct sample_file {
  std::string name;
  std::map<std::string, std::vector<sample>> by_keyword;
  std::map<std::string, size_t> section_at;  // where each keyword's section starts
  std::vector<std::string> errors;
};

// Minimum samples a rule needs: two lines it matches and one it must not.
constexpr size_t kMinMatch = 2;
constexpr size_t kMinMiss = 1;

sample_file read_samples(const std::string& name, const std::string& text) {
  sample_file f;
  f.name = name;
  std::string keyword;
  size_t at = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++at;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string where = name + ":" + std::to_string(at) + ": ";
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[' && line.back() == ']' && line.size() > 2) {
      keyword = line.substr(1, line.size() - 2);
      if (f.section_at.count(keyword))
        f.errors.push_back(where + "[" + keyword + "] again (first at line " +
                           std::to_string(f.section_at[keyword]) + ")");
      else
        f.section_at[keyword] = at;
      continue;
    }
    if ((line[0] == '+' || line[0] == '-') && line.size() > 2 && line[1] == ' ') {
      if (keyword.empty()) {
        f.errors.push_back(where + "a sample before any [keyword]");
        continue;
      }
      f.by_keyword[keyword].push_back({at, line[0] == '+', line.substr(2)});
      continue;
    }
    f.errors.push_back(where + "neither a comment, a [keyword] nor a '+ ' or '- ' sample");
  }
  return f;
}

// The samples file of a rule file: X.samples for X.json, FILE.samples otherwise.
std::string samples_path(const std::string& rules) {
  const std::string ext = ".json";
  if (rules.size() > ext.size() && rules.compare(rules.size() - ext.size(), ext.size(), ext) == 0)
    return rules.substr(0, rules.size() - ext.size()) + ".samples";
  return rules + ".samples";
}

// The indices of the active profiles that match one line, walked in the follower's pieces. Each
// sample is a line of its own: a profile credits one match to a line number only once.
std::set<int32_t> matching_rules(rule_set& set, const std::string& line) {
  static uint64_t line_number = 0;
  ++line_number;
  std::set<int32_t> hits;
  for_each_piece(line + "\n", [&](std::string_view piece, line_place place) {
    const std::string text(piece.substr(0, piece.find('\n')));
    walk_profiles(set, log_piece{text.c_str(), place, line_number}, 0.0,
                  [&](int32_t i) { hits.insert(i); });
  });
  return hits;
}

struct test_report {
  size_t rules = 0;
  size_t samples = 0;
  std::vector<std::string> failures;
  std::vector<std::string> overlaps;
};

std::string shown(const std::string& s) {
  return quoted_text(s, 160, false);
}

// The rule sets of the routers the rules name, built once each.
struct router_sets {
  const std::string& json;
  std::map<std::string, rule_set> built;

  rule_set* of(const router_identity& id, std::string* err) {
    std::string key = id.productid.value_or("\x01") + '\0' + id.odmpid.value_or("\x01") + '\0' +
                      id.device_fwver + '\0' + id.label_mac;
    auto at = built.find(key);
    if (at != built.end()) return &at->second;
    rule_set set;
    load_report report;
    const int rc = build_rule_set(json.c_str(), id, &set, &report);
    if (rc != RULES_OK) {
      *err = "the daemon would refuse the file on the router " +
             std::string(id.productid ? "\"" + *id.productid + "\"" : "without a productid") +
             (report.failed_index >= 0 ? ": rule " + std::to_string(report.failed_index) : "") +
             ": " + rule_load_rejection(rc);
      return nullptr;
    }
    return &built.emplace(key, std::move(set)).first->second;
  }
};

// One rule's samples on the router it names.
void test_rule(int32_t index, const rule_fields& f, rule_set& set, const sample_file& samples,
               const std::vector<std::string>& keywords, test_report* r) {
  const std::string& kw = *f.keyword;
  const std::string head = "[" + kw + "] ";
  bool active = false;
  for (const monitor_profile& p : set.profiles) active = active || p.index == index;
  if (!active) {
    r->failures.push_back(head + "rule " + std::to_string(index) +
                          " is not active on the router it names");
    return;
  }
  auto it = samples.by_keyword.find(kw);
  size_t matches = 0, misses = 0;
  if (it != samples.by_keyword.end()) {
    for (const sample& s : it->second) {
      ++r->samples;
      (s.match ? matches : misses)++;
      const std::set<int32_t> hits = matching_rules(set, s.text);
      const std::string where = samples.name + ":" + std::to_string(s.at) + ": " + head;
      if (hits.count(index) != (s.match ? 1u : 0u))
        r->failures.push_back(where + (s.match ? "does not match " : "matches ") + shown(s.text));
      for (int32_t other : hits)
        if (other != index && s.match)
          r->overlaps.push_back(where + "also matches rule " + std::to_string(other) + " \"" +
                                keywords[static_cast<size_t>(other)] + "\": " + shown(s.text));
    }
  }
  if (matches < kMinMatch || misses < kMinMiss)
    r->failures.push_back(head + "has " + std::to_string(matches) + " lines to match and " +
                          std::to_string(misses) + " not to match; it needs at least " +
                          std::to_string(kMinMatch) + " and " + std::to_string(kMinMiss));
}

// Every rule of one file against its samples. KIVRULE_OK, or the status with the report filled.
int test_file(const std::string& rules_path, const std::string& samples_arg, test_report* r,
              std::string* err) {
  rule_text in;
  if (int status = load_rule_text(rules_path, &in, err)) return status;
  const std::string spath = samples_arg.empty() ? samples_path(rules_path) : samples_arg;
  std::string stext;
  if (int status = read_input(spath, &stext, err)) return status;
  const sample_file samples = read_samples(input_name(spath), stext);
  r->failures.insert(r->failures.end(), samples.errors.begin(), samples.errors.end());

  rule_array array;
  if (read_rule_array(in.json.c_str(), &array) != RULES_OK) {
    *err = in.name + ": not a JSON array of rules";
    return KIVRULE_REJECTED;
  }
  std::vector<rule_fields> fields;
  std::vector<std::string> keywords;
  for (size_t i = 0; i < array.size(); ++i) {
    fields.push_back(read_rule_fields(rule_array_element(array, i).get()));
    keywords.push_back(fields.back().keyword.value_or(""));
  }
  router_sets sets{in.json, {}};
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < fields.size(); ++i) {
    const rule_fields& f = fields[i];
    if (!f.object || (f.Global_Pause && !f.re_pattern)) continue;  // pause switches match nothing
    ++r->rules;
    if (!f.keyword || f.keyword->empty()) {
      r->failures.push_back("rule " + std::to_string(i) + ": no keyword to find its samples by");
      continue;
    }
    if (!seen.emplace(*f.keyword, i).second) {
      r->failures.push_back("[" + *f.keyword + "] rule " + std::to_string(i) +
                            " has the keyword of rule " + std::to_string(seen[*f.keyword]) +
                            ": the heal budget would count both as one");
      continue;
    }
    std::string why;
    rule_set* set = sets.of(named_router(f), &why);
    if (!set) {
      r->failures.push_back("[" + *f.keyword + "] " + why);
      continue;
    }
    test_rule(static_cast<int32_t>(i), f, *set, samples, keywords, r);
  }
  for (const auto& [kw, at] : samples.section_at)
    if (!seen.count(kw))
      r->failures.push_back(samples.name + ":" + std::to_string(at) + ": [" + kw +
                            "] names no rule of " + in.name);
  return KIVRULE_OK;
}

const char kTestUsage[] = "usage: kivrule test RULES... [--samples FILE] [--no-overlap]";

}  // namespace

int kivrule_test(std::vector<std::string> args) {
  std::string err;
  bool no_overlap = false;
  std::optional<std::string> samples;
  if (!take_flag(&args, "--no-overlap", &no_overlap, &err) ||
      !take_option(&args, "--samples", &samples, &err)) {
    std::fprintf(stderr, "kivrule: test: %s\n", err.c_str());
    return KIVRULE_USAGE;
  }
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "kivrule: test: unknown option '%s'\n", a.c_str());
      return KIVRULE_USAGE;
    }
  if (args.empty() || (samples && args.size() != 1)) {
    std::fprintf(stderr, "kivrule: test: %s (--samples with one RULES file)\n", kTestUsage);
    return KIVRULE_USAGE;
  }
  int status = KIVRULE_OK;
  for (const std::string& path : args) {
    test_report r;
    const int rc = test_file(path, samples.value_or(""), &r, &err);
    if (rc != KIVRULE_OK) {
      std::fprintf(stderr, "kivrule: test: %s\n", err.c_str());
      if (status != KIVRULE_USAGE) status = rc;
      continue;
    }
    for (const std::string& o : r.overlaps)
      std::printf("%s: %s\n", no_overlap ? "FAIL" : "note", o.c_str());
    for (const std::string& f : r.failures) std::printf("FAIL: %s\n", f.c_str());
    const bool ok = r.failures.empty() && (!no_overlap || r.overlaps.empty());
    std::printf("%s: %zu rules, %zu samples: %s\n", input_name(path).c_str(), r.rules, r.samples,
                ok ? "ok" : "FAILED");
    if (!ok && status == KIVRULE_OK) status = KIVRULE_REJECTED;
  }
  return status;
}
