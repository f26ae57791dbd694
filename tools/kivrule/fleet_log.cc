// kivrule fleet: the request log read line by line into tallies (fleet_log.h has the bounds).
#include "tools/kivrule/fleet_log.h"

#include <json-c/json.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

constexpr int kDepthMax = 8;  // a record holds the report, which holds rules: depth 4

uint64_t saturated_sum(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

using json_ptr = std::unique_ptr<json_object, int (*)(json_object*)>;

// One JSON value that is the whole text (blanks around it allowed), parsed strictly within the
// depth bound; null with *why set otherwise.
json_ptr parse_whole(const std::string& text, std::string* why) {
  std::unique_ptr<json_tokener, void (*)(json_tokener*)> tok(json_tokener_new_ex(kDepthMax),
                                                             json_tokener_free);
  json_ptr doc(nullptr, json_object_put);
  if (!tok) {
    *why = "out of memory";
    return doc;
  }
  json_tokener_set_flags(tok.get(), JSON_TOKENER_STRICT);
  doc.reset(json_tokener_parse_ex(tok.get(), text.data(), static_cast<int>(text.size())));
  const json_tokener_error e = json_tokener_get_error(tok.get());
  if (!doc || e != json_tokener_success) {
    *why = std::string("not JSON (") + json_tokener_error_desc(e) + ")";
    doc.reset();
    return doc;
  }
  for (size_t at = json_tokener_get_parse_end(tok.get()); at < text.size(); ++at)
    if (text[at] != ' ' && text[at] != '\t' && text[at] != '\r') {
      *why = "text after the JSON object";
      doc.reset();
      return doc;
    }
  return doc;
}

// Whether the JSON text holds a whole number above 18446744073709551615 outside its strings:
// json-c reads one as that limit without a word, so the text itself is looked at.
bool number_overflows(const std::string& text) {
  static const std::string kMax = "18446744073709551615";
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c >= '0' && c <= '9') {
      size_t end = i;
      while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
      const std::string digits = text.substr(i, end - i);
      const size_t lead = std::min(digits.find_first_not_of('0'), digits.size());
      const std::string value = digits.substr(lead);
      if (value.size() > kMax.size() || (value.size() == kMax.size() && value > kMax)) return true;
      i = end - 1;
    }
  }
  return false;
}

json_object* member(json_object* obj, const char* name) {
  json_object* v = nullptr;
  return json_object_object_get_ex(obj, name, &v) ? v : nullptr;
}

// A whole number 0..max in *out; false for any other type or value (NaN, 1.5, -1, 1e300).
bool whole_number(json_object* v, uint64_t max, uint64_t* out) {
  if (!v || !json_object_is_type(v, json_type_int) || json_object_get_int64(v) < 0) return false;
  const uint64_t n = json_object_get_uint64(v);
  if (n > max) return false;
  *out = n;
  return true;
}

// The count `name` of a report object (absent: 0).
bool count_member(json_object* obj, const char* name, uint64_t* out, std::string* why) {
  json_object* v = member(obj, name);
  *out = 0;
  if (!v || whole_number(v, FLEET_COUNT_MAX, out)) return true;
  *why = std::string(name) + " is not a whole number 0.." + std::to_string(FLEET_COUNT_MAX);
  return false;
}

// The 64 bits of a router's IDENT (32 hexadecimal digits): its first 16 digits.
bool router_id(json_object* v, uint64_t* id) {
  if (!v || !json_object_is_type(v, json_type_string) || json_object_get_string_len(v) != 32)
    return false;
  const char* s = json_object_get_string(v);
  uint64_t n = 0;
  for (int i = 0; i < 32; ++i) {
    const char c = s[i];
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    if (i < 16) n = n << 4 | static_cast<uint64_t>(d);
  }
  *id = n;
  return true;
}

// One report, read into a tally of its own (one router), its serial and whether it was cut.
struct report {
  uint64_t serial = 0;
  bool cut = false;
  fleet_tally tally;
};

bool read_rule(json_object* counts, rule_tally* t, std::string* why) {
  if (!json_object_is_type(counts, json_type_object)) {
    *why = "a rule's counts are not an object";
    return false;
  }
  return count_member(counts, "matches", &t->matches, why) &&
         count_member(counts, "fires", &t->fires, why) &&
         count_member(counts, "heals", &t->heals, why) &&
         count_member(counts, "unconfirmed", &t->unconfirmed, why) &&
         count_member(counts, "held", &t->held, why);
}

bool read_report(json_object* rep, report* out, std::string* why) {
  if (!json_object_is_type(rep, json_type_object)) {
    *why = "KivReport is not a JSON object";
    return false;
  }
  json_object* v = member(rep, "v");
  if (!v || !json_object_is_type(v, json_type_int) || json_object_get_int64(v) != 1) {
    *why = "KivReport is not of version 1";
    return false;
  }
  if (!whole_number(member(rep, "serial"), UINT64_MAX, &out->serial)) {
    *why = "serial is not a whole number 0..18446744073709551615";
    return false;
  }
  fleet_tally& t = out->tally;
  if (!count_member(rep, "seconds", &t.seconds, why) ||
      !count_member(rep, "walked", &t.walked, why) || !count_member(rep, "lost", &t.lost, why) ||
      !count_member(rep, "reboots", &t.reboots, why))
    return false;
  json_object* cut = member(rep, "cut");
  out->cut = cut && json_object_is_type(cut, json_type_boolean) && json_object_get_boolean(cut);
  json_object* rules = member(rep, "rules");
  if (!rules) return true;
  if (!json_object_is_type(rules, json_type_object)) {
    *why = "rules is not an object";
    return false;
  }
  json_object_object_foreach(rules, keyword, counts) {
    const std::string name = keyword;
    if (name.empty() || name.size() > FLEET_KEYWORD_MAX) {
      *why =
          "a rule keyword is empty or longer than " + std::to_string(FLEET_KEYWORD_MAX) + " bytes";
      return false;
    }
    if (!read_rule(counts, &t.rules[name], why)) return false;
  }
  return true;
}

void add_rule(rule_tally* a, const rule_tally& b) {
  a->matches = saturated_sum(a->matches, b.matches);
  a->fires = saturated_sum(a->fires, b.fires);
  a->heals = saturated_sum(a->heals, b.heals);
  a->unconfirmed = saturated_sum(a->unconfirmed, b.unconfirmed);
  a->held = saturated_sum(a->held, b.held);
}

// The report's stage: the published stage when the line says the router's serial was the one
// published at that moment; 0 (not known) otherwise.
bool stage_of(json_object* line, uint64_t serial, uint32_t* stage, std::string* why) {
  json_object* st = member(line, "stage");
  json_object* pub = member(line, "published");
  uint64_t s = 0, published = 0;
  *stage = 0;
  if (st && !whole_number(st, 100, &s)) {
    *why = "stage is not a whole number 1..100";
    return false;
  }
  if (pub && !whole_number(pub, UINT64_MAX, &published)) {
    *why = "published is not a serial";
    return false;
  }
  if (st && pub && published == serial) *stage = static_cast<uint32_t>(s);
  return true;
}

struct line_reader {
  FILE* f;
  uint64_t number = 0;
};

// The next line (without its line end) in *line; *too_long when it passed FLEET_LINE_MAX (the
// rest is skipped, never stored). False at the end of the input.
bool next_line(line_reader* r, std::string* line, bool* too_long) {
  line->clear();
  *too_long = false;
  int c = getc_unlocked(r->f);
  if (c == EOF) return false;
  ++r->number;
  for (; c != EOF && c != '\n'; c = getc_unlocked(r->f)) {
    if (line->size() < FLEET_LINE_MAX)
      line->push_back(static_cast<char>(c));
    else
      *too_long = true;
  }
  return true;
}

void note_unreadable(fleet_log* log, uint64_t number, const std::string& why) {
  ++log->unreadable;
  if (log->notes.size() < FLEET_NOTES_MAX)
    log->notes.push_back("line " + std::to_string(number) + ": " + why);
}

void refuse(fleet_log* log, uint64_t number, const std::string& why) {
  ++log->refused;
  if (log->first_refusal.empty())
    log->first_refusal = "line " + std::to_string(number) + ": " + why;
}

// Folds one router's report into its group, within the caps on groups and keywords.
void tally_report(fleet_log* log, uint64_t number, uint64_t router, uint32_t stage,
                  const report& rep) {
  const fleet_group key{rep.serial, stage};
  auto at = log->groups.find(key);
  if (at == log->groups.end()) {
    if (log->groups.size() >= FLEET_GROUPS_MAX) {
      refuse(log, number, "more than " + std::to_string(FLEET_GROUPS_MAX) + " serials and stages");
      return;
    }
    at = log->groups.emplace(key, fleet_tally()).first;
  }
  fleet_tally one = rep.tally;
  one.routers.insert(router);
  one.reports = 1;
  add_tally(&at->second, one, &log->entries);
  ++log->counted;
  if (rep.cut) ++log->cut;
}

// One line: a request record, perhaps with a report to count.
void read_record(fleet_log* log, uint64_t number, const std::string& text) {
  std::string why;
  json_ptr doc = parse_whole(text, &why);
  if (!doc) return note_unreadable(log, number, why);
  json_object* line = doc.get();
  if (!json_object_is_type(line, json_type_object))
    return note_unreadable(log, number, "not a JSON object");
  json_object* time = member(line, "time");
  const bool number_time = time && (json_object_is_type(time, json_type_int) ||
                                    json_object_is_type(time, json_type_double));
  if (!number_time || !std::isfinite(json_object_get_double(time)) ||
      json_object_get_double(time) < 0)
    return note_unreadable(log, number, "no \"time\" in Unix seconds");
  json_object* status = member(line, "status");
  uint64_t code = 200;
  if (status && !whole_number(status, 999, &code))
    return note_unreadable(log, number, "\"status\" is not an HTTP status");
  ++log->requests;

  json_object* rep_member = member(line, "KivReport");
  if (!rep_member) {
    ++log->no_report;
    return;
  }
  // A report the server did not answer with 200 is sent again by the router, counts and all.
  if (code != 200) {
    ++log->not_answered;
    return;
  }
  if (number_overflows(text)) return refuse(log, number, "a number above 18446744073709551615");
  uint64_t router = 0;
  if (!router_id(member(line, "IDENT"), &router))
    return refuse(log, number, "IDENT is not 32 lower-case hexadecimal digits");
  json_ptr inner(nullptr, json_object_put);
  json_object* rep_obj = rep_member;
  if (json_object_is_type(rep_member, json_type_string)) {
    const std::string inner_text(json_object_get_string(rep_member),
                                 static_cast<size_t>(json_object_get_string_len(rep_member)));
    inner = parse_whole(inner_text, &why);
    if (!inner) return refuse(log, number, "KivReport is " + why);
    if (number_overflows(inner_text))
      return refuse(log, number, "a number above 18446744073709551615");
    rep_obj = inner.get();
  }
  report rep;
  uint32_t stage = 0;
  if (!read_report(rep_obj, &rep, &why) || !stage_of(line, rep.serial, &stage, &why))
    return refuse(log, number, why);
  tally_report(log, number, router, stage, rep);
}

bool blank(const std::string& text) {
  return text.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

void add_tally(fleet_tally* a, const fleet_tally& b, size_t* entries) {
  a->routers.insert(b.routers.begin(), b.routers.end());
  a->reports = saturated_sum(a->reports, b.reports);
  a->seconds = saturated_sum(a->seconds, b.seconds);
  a->walked = saturated_sum(a->walked, b.walked);
  a->lost = saturated_sum(a->lost, b.lost);
  a->reboots = saturated_sum(a->reboots, b.reboots);
  for (const auto& [keyword, counts] : b.rules) {
    auto at = a->rules.find(keyword);
    if (at == a->rules.end()) {
      const bool room =
          a->rules.size() < FLEET_RULES_MAX && (!entries || *entries < FLEET_ENTRIES_MAX);
      const size_t before = a->rules.size();
      at = a->rules.try_emplace(room ? keyword : std::string()).first;
      if (entries && a->rules.size() > before) ++*entries;
    }
    add_rule(&at->second, counts);
  }
}

void read_fleet_log(FILE* f, fleet_log* log) {
  line_reader r{f};
  std::string text;
  bool too_long = false;
  while (next_line(&r, &text, &too_long)) {
    log->lines = r.number;
    if (too_long)
      note_unreadable(log, r.number, "longer than " + std::to_string(FLEET_LINE_MAX) + " bytes");
    else if (!blank(text))
      read_record(log, r.number, text);
  }
  log->read_error = ferror(f) != 0;
}
