// kivrule fleet: the request logs read line by line into per-router state (fleet_log.h has the
// bounds).
#include "fleet/verdict/fleet_log.h"

#include <json-c/json.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

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

std::string string_member(json_object* line, const char* name) {
  json_object* v = member(line, name);
  if (!v || !json_object_is_type(v, json_type_string)) return "";
  const size_t n = static_cast<size_t>(json_object_get_string_len(v));
  return std::string(json_object_get_string(v), std::min(n, FLEET_VALUE_MAX));
}

bool is_ident(json_object* v) {
  if (!v || !json_object_is_type(v, json_type_string) || json_object_get_string_len(v) != 32)
    return false;
  const char* s = json_object_get_string(v);
  for (int i = 0; i < 32; ++i)
    if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
  return true;
}

void add_count(fleet_line* out, std::string measure, uint64_t n) {
  if (n) out->counts.push_back({std::move(measure), n});
}

bool read_rule(const std::string& keyword, json_object* counts, fleet_line* out, std::string* why) {
  if (!json_object_is_type(counts, json_type_object)) {
    *why = "a rule's counts are not an object";
    return false;
  }
  uint64_t n[5];
  const char* names[] = {"matches", "fires", "heals", "unconfirmed", "held"};
  for (int i = 0; i < 5; ++i)
    if (!count_member(counts, names[i], &n[i], why)) return false;
  add_count(out, "fires of " + keyword, n[1]);
  add_count(out, "unconfirmed heals of " + keyword, n[3]);
  return true;
}

bool read_refused(json_object* rep, fleet_line* out, std::string* why) {
  json_object* refused = member(rep, "refused");
  if (!refused) return true;
  if (!json_object_is_type(refused, json_type_object)) {
    *why = "refused is not an object";
    return false;
  }
  for (size_t i = 0; i < FLEET_REFUSALS.size(); ++i)
    if (!count_member(refused, FLEET_REFUSALS[i], &out->refused[i], why)) return false;
  return true;
}

bool read_report(json_object* rep, fleet_line* out, std::string* why) {
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
  uint64_t walked = 0, lost = 0, reboots = 0, starts = 0;
  if (!count_member(rep, "seconds", &out->seconds, why) ||
      !count_member(rep, "walked", &walked, why) || !count_member(rep, "lost", &lost, why) ||
      !count_member(rep, "reboots", &reboots, why) || !count_member(rep, "starts", &starts, why) ||
      !read_refused(rep, out, why))
    return false;
  add_count(out, "reboots", reboots);
  add_count(out, "starts", starts);
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
    if (name.empty() || name.size() > FLEET_KEYWORD_MAX ||
        name.find_first_of(std::string("\0\t\n\r\\", 5)) != std::string::npos) {
      *why = "a rule keyword is empty, longer than " + std::to_string(FLEET_KEYWORD_MAX) +
             " bytes or holds a control byte";
      return false;
    }
    if (!read_rule(name, counts, out, why)) return false;
  }
  return true;
}

// The report of a line, read into *out (out->report 1), or refused with its reason (2).
void take_report(json_object* rep_member, fleet_line* out) {
  std::string why;
  json_ptr inner(nullptr, json_object_put);
  json_object* rep = rep_member;
  if (json_object_is_type(rep_member, json_type_string)) {
    const std::string text(json_object_get_string(rep_member),
                           static_cast<size_t>(json_object_get_string_len(rep_member)));
    inner = parse_whole(text, &why);
    if (!inner) why = "KivReport is " + why;
    if (inner && number_overflows(text)) why = "a number above 18446744073709551615";
    rep = inner.get();
  }
  if (why.empty() && read_report(rep, out, &why)) {
    out->report = 1;
    return;
  }
  out->report = 2;
  out->why = why;
  out->serial = out->seconds = 0;
  out->cut = false;
  out->refused = {};
  out->counts.clear();
}

// FNV-1a: the same text, the same key, on every machine.
uint64_t text_key(const std::string& text) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
  return h;
}

bool read_published(json_object* line, fleet_line* out, std::string* why) {
  json_object* st = member(line, "stage");
  json_object* pub = member(line, "published");
  uint64_t s = 0;
  if (!st && !pub) return true;
  if (!st || !pub || !whole_number(st, 100, &s) || s == 0 ||
      !whole_number(pub, UINT64_MAX, &out->published)) {
    *why = "\"published\" and \"stage\" are not a serial and 1..100";
    return false;
  }
  out->has_published = true;
  out->stage = static_cast<uint32_t>(s);
  return true;
}

uint32_t hex_digit(char c) {
  return c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0')
                              : static_cast<uint32_t>(c - 'a' + 10);
}

void note(std::string* first, std::vector<std::string>* notes, const std::string& where,
          const std::string& why) {
  const std::string text = where + ": " + why;
  if (first && first->empty()) *first = text;
  if (notes && notes->size() < FLEET_NOTES_MAX) notes->push_back(text);
}

void leave_out(fleet_state* s, const std::string& where, const std::string& why) {
  ++s->left_out[why];
  note(&s->first_left_out, nullptr, where, why);
}

// The entry of a router for one published set and serial, made when there is room.
fleet_entry* entry_of(fleet_router* r, const fleet_line& line, uint64_t serial) {
  for (fleet_entry& e : r->entries)
    if (e.published == line.published && e.stage == line.stage && e.serial == serial) return &e;
  if (r->entries.size() >= FLEET_ROUTER_ENTRIES_MAX) return nullptr;
  fleet_entry e;
  e.published = line.published;
  e.stage = line.stage;
  e.serial = serial;
  r->entries.push_back(e);
  return &r->entries.back();
}

// Whether the report is new for its router (same IDENT and time: seen already).
bool first_sight(fleet_router* r, uint64_t time_ms) {
  auto at = std::lower_bound(r->report_times.begin(), r->report_times.end(), time_ms);
  if (at != r->report_times.end() && *at == time_ms) return false;
  r->report_times.insert(at, time_ms);
  return true;
}

void add_counts(std::vector<std::pair<uint32_t, uint64_t>>* to,
                const std::vector<std::pair<uint32_t, uint64_t>>& from) {
  for (const auto& [id, n] : from) {
    auto at = std::lower_bound(to->begin(), to->end(), std::make_pair(id, uint64_t{0}));
    if (at == to->end() || at->first != id) at = to->insert(at, {id, 0});
    at->second = saturated_sum(at->second, n);
  }
}

// Folds the held report into the entry's sums.
void fold_held(fleet_entry* e) {
  if (!e->held) return;
  ++e->reports;
  e->seconds += e->held_seconds;
  e->last_ms = std::max(e->last_ms, e->held_ms);
  add_counts(&e->counts, e->held_counts);
  e->held = false;
  e->held_counts.clear();
}

void add_report(fleet_state* s, fleet_entry* e, const fleet_line& line) {
  const uint64_t seconds = std::min(line.seconds, FLEET_REPORT_SECONDS_MAX);
  std::vector<std::pair<uint32_t, uint64_t>> counts;
  for (const fleet_count& c : line.counts)
    add_counts(&counts,
               {{s->measures.id(c.measure, FLEET_MEASURES_MAX, "(more measures)"), c.count}});
  // The earliest report is held apart, whatever order the lines come in.
  if (!e->held || line.time_ms < e->held_ms) {
    fold_held(e);
    e->held = true;
    e->held_ms = line.time_ms;
    e->held_seconds = static_cast<uint32_t>(seconds);
    e->held_counts = counts;
  } else {
    ++e->reports;
    e->seconds += seconds;
    e->last_ms = std::max(e->last_ms, line.time_ms);
    add_counts(&e->counts, counts);
  }
  if (line.time_ms >= e->values_ms) {
    e->values_ms = line.time_ms;
    e->model = s->models.id(line.model, FLEET_VALUES_MAX, "(other values)");
    e->fwver = s->fwvers.id(line.fwver, FLEET_VALUES_MAX, "(other values)");
    e->tcode = s->tcodes.id(line.tcode, FLEET_VALUES_MAX, "(other values)");
  }
  for (size_t i = 0; i < line.refused.size(); ++i)
    e->refused[i] = saturated_sum(e->refused[i], line.refused[i]);
  // The page's daily sums, within a bound a log of any length cannot pass.
  const bool in_stage = fleet_bucket(line.ident) < line.stage;
  const auto key = std::make_tuple(line.published, line.serial, in_stage,
                                   static_cast<int64_t>(line.time_ms / 86400000));
  if (s->days.size() >= FLEET_DAYS_MAX && !s->days.count(key)) return;
  fleet_day& d = s->days[key];
  d.seconds += seconds;
  ++d.reports;
  for (const auto& [id, n] : counts) d.counts[id] = saturated_sum(d.counts[id], n);
}

// The report of a line that names a published set, judged and counted.
void count_report(fleet_state* s, fleet_router* r, fleet_entry* e, const fleet_line& line,
                  const std::string& where) {
  if (line.rule_serial != std::to_string(line.serial))
    return leave_out(s, where, "serial is not the line's RuleSerial");
  if (line.serial > line.published) return leave_out(s, where, "serial above the published one");
  if (!e) return leave_out(s, where, "a router on more than 4 sets and serials");
  if (r->report_times.size() >= FLEET_ROUTER_REPORTS_MAX)
    return leave_out(s, where, "a router's reports past 256");
  if (!first_sight(r, line.time_ms)) return leave_out(s, where, "seen twice (same IDENT and time)");
  ++s->reports;
  if (line.cut) ++s->cut;
  add_report(s, e, line);
}

}  // namespace

fleet_ident fleet_ident_of(const std::string& hex) {
  fleet_ident id;
  for (size_t i = 0; i < 32 && i < hex.size(); ++i)
    (i < 16 ? id.hi : id.lo) = (i < 16 ? id.hi : id.lo) << 4 | hex_digit(hex[i]);
  return id;
}

std::string fleet_ident_text(const fleet_ident& id) {
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(id.hi),
                static_cast<unsigned long long>(id.lo));
  return text;
}

uint32_t fleet_bucket(const fleet_ident& id) {
  return static_cast<uint32_t>(id.hi >> 48) % 100;
}

size_t fleet_ident_hash::operator()(const fleet_ident& id) const noexcept {
  static const uint64_t seed = std::random_device()() * 0x9e3779b97f4a7c15ULL + 1;
  uint64_t x = id.hi ^ seed;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL ^ id.lo;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return static_cast<size_t>(x ^ (x >> 31));
}

uint32_t fleet_bucket(const std::string& ident) {
  if (ident.size() < 4) return 0;
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n = n << 4 | hex_digit(ident[static_cast<size_t>(i)]);
  return n % 100;
}

uint32_t fleet_names::id(const std::string& name, size_t max, const char* rest) {
  auto at = ids.find(name);
  if (at != ids.end()) return at->second;
  if (names.size() + 1 >= max) {
    const uint32_t last = static_cast<uint32_t>(max - 1);
    if (names.size() == last) {
      names.push_back(rest);
      ids.emplace(rest, last);
    }
    return last;
  }
  names.push_back(name);
  return ids.emplace(name, static_cast<uint32_t>(names.size() - 1)).first->second;
}

bool parse_fleet_line(const std::string& text, fleet_line* out, std::string* why) {
  *out = fleet_line();
  json_ptr doc = parse_whole(text, why);
  if (!doc) return false;
  json_object* line = doc.get();
  if (!json_object_is_type(line, json_type_object)) {
    *why = "not a JSON object";
    return false;
  }
  json_object* time = member(line, "time");
  const bool number_time = time && (json_object_is_type(time, json_type_int) ||
                                    json_object_is_type(time, json_type_double));
  const double t = number_time ? json_object_get_double(time) : -1;
  if (!std::isfinite(t) || t < 0 || t >= 4102444800) {
    *why = "no \"time\" in Unix seconds";
    return false;
  }
  out->time_ms = static_cast<uint64_t>(std::llround(t * 1000));
  json_object* status = member(line, "status");
  if (status && !whole_number(status, 999, &out->status)) {
    *why = "\"status\" is not an HTTP status";
    return false;
  }
  if (!read_published(line, out, why)) return false;
  out->key = text_key(text);
  if (is_ident(member(line, "IDENT"))) out->ident = json_object_get_string(member(line, "IDENT"));
  out->model = string_member(line, "Model");
  out->fwver = string_member(line, "FWVER");
  out->tcode = string_member(line, "TCode");
  out->rule_serial = string_member(line, "RuleSerial");
  json_object* rep = member(line, "KivReport");
  if (!rep) return true;
  if (number_overflows(text)) {
    out->report = 2;
    out->why = "a number above 18446744073709551615";
    return true;
  }
  take_report(rep, out);
  return true;
}

void fleet_add(fleet_state* s, const fleet_line& line, const std::string& where) {
  ++s->requests;
  if (line.status != 200) {
    const int64_t at = static_cast<int64_t>(line.time_ms / 60000);
    if (s->shed_minutes.size() < FLEET_MINUTES_MAX || s->shed_minutes.count(at)) {
      auto& minute = s->shed_minutes[at];
      ++(line.ident.empty() ? minute.second : minute.first);
    } else {
      ++s->shed_unplaced;
    }
  }
  if (line.has_published) {
    auto at = s->first_published.find(line.published);
    if (at != s->first_published.end())
      at->second = std::min(at->second, line.time_ms);
    else if (s->first_published.size() < FLEET_SERIALS_MAX)
      s->first_published.emplace(line.published, line.time_ms);
    uint32_t& widest = s->widest_stage[line.published];
    widest = std::max(widest, line.stage);
  }
  if (!line.report) {
    ++s->no_report;
  } else if (line.status != 200) {
    ++s->not_answered;  // the router sends the same counts again
    return;
  }
  if (line.report == 2) return leave_out(s, where, "not what a router writes (" + line.why + ")");
  if (line.ident.empty()) {
    if (line.report) leave_out(s, where, "IDENT is not 32 lower-case hexadecimal digits");
    return;
  }
  if (!line.has_published) {
    if (line.report) leave_out(s, where, "no set published when it came");
    return;
  }
  const fleet_ident id = fleet_ident_of(line.ident);
  auto at = s->routers.find(id);
  if (at == s->routers.end()) {
    if (s->routers.size() >= FLEET_ROUTERS_MAX) {
      if (line.report) leave_out(s, where, "more routers than kivrule fleet keeps");
      return;
    }
    at = s->routers.emplace(id, fleet_router()).first;
  }
  fleet_router* r = &at->second;
  uint64_t serial = UINT64_MAX;  // a RuleSerial that is no number names no set
  if (!line.rule_serial.empty() && line.rule_serial.size() <= 20 &&
      line.rule_serial.find_first_not_of("0123456789") == std::string::npos &&
      (line.rule_serial.size() < 20 || line.rule_serial <= "18446744073709551615"))
    serial = std::stoull(line.rule_serial);
  fleet_entry* e = entry_of(r, line, serial);
  if (e) {
    ++e->requests;
    e->first_ms = std::min(e->first_ms, line.time_ms);
  }
  if (line.report) count_report(s, r, e, line, where);
}

bool read_fleet_log(FILE* f, const std::string& name, fleet_state* s,
                    void (*each)(const fleet_line&, void*), void* arg) {
  std::string text, why;
  fleet_line line;
  uint64_t number = 0;
  for (int c = getc_unlocked(f); c != EOF; c = getc_unlocked(f)) {
    ++number;
    ++s->lines;
    text.clear();
    bool too_long = false;
    for (; c != EOF && c != '\n'; c = getc_unlocked(f)) {
      if (text.size() < FLEET_LINE_MAX)
        text.push_back(static_cast<char>(c));
      else
        too_long = true;
    }
    const std::string where = name + " line " + std::to_string(number);
    if (too_long) {
      ++s->unreadable;
      note(nullptr, &s->notes, where, "longer than " + std::to_string(FLEET_LINE_MAX) + " bytes");
    } else if (text.find_first_not_of(" \t\r") == std::string::npos) {
      // a blank line is no request
    } else if (!parse_fleet_line(text, &line, &why)) {
      ++s->unreadable;
      note(nullptr, &s->notes, where, why);
    } else if (each) {  // the loader's rows alone: no router's state is kept
      ++s->requests;
      each(line, arg);
    } else {
      fleet_add(s, line, where);
    }
    if (c == EOF) break;
  }
  return ferror(f) == 0;
}
