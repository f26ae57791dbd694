// kivrule fleet: the vendor's view of a rollout from the rule server's request logs. Reads every
// log given (or standard input for "-"), judges the published serial against its base and prints
// the verdict (text, --json), a page (--html OUT), or the logs as rows for the analytical
// database (--rows DIR). Exit 0 go on, 1 halt, 2 bad command line or a log that cannot be read.
#include <json-c/json.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fleet/verdict/fleet_verdict.h"
#include "tools/kivrule/kivrule.h"

namespace {

const char kUsage[] =
    "usage: kivrule fleet LOG... [--serial SERIAL] [--base SERIAL] [--factor X] "
    "[--min-routers N] [--floor R] [--json] [--html OUT] [--rows DIR]";

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: fleet: %s\n", message.c_str());
  return status;
}

bool parse_real(const std::string& text, double low, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || errno || !std::isfinite(v) || v < low || v > 1e15) return false;
  *out = v;
  return true;
}

std::string num(uint64_t n) {
  return std::to_string(static_cast<unsigned long long>(n));
}

// A name as it is when it is a plain word, in quotes with control bytes escaped otherwise.
std::string name_text(const std::string& k) {
  for (unsigned char c : k)
    if (!(std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ' ' || c == '#'))
      return quoted_text(k, 64, false);
  return k.empty() ? "\"\"" : k;
}

std::string days_text(uint64_t seconds) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(seconds) / 86400);
  return buf;
}

std::string utc_text(uint64_t ms) {
  const time_t t = static_cast<time_t>(ms / 1000);
  struct tm tm {};
  char buf[40] = "?";
  if (gmtime_r(&t, &tm)) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

void print_summary(const fleet_state& s) {
  uint64_t left = 0;
  for (const auto& [why, n] : s.left_out) left += n;
  std::printf("requests %s; reports counted %s", num(s.requests).c_str(), num(s.reports).c_str());
  if (s.cut) std::printf(" (%s cut short)", num(s.cut).c_str());
  std::printf(", without a report %s, answered other than 200 %s (sent again), left out %s\n",
              num(s.no_report).c_str(), num(s.not_answered).c_str(), num(left).c_str());
  for (const auto& [why, n] : s.left_out)
    std::printf("  left out: %s: %s\n", why.c_str(), num(n).c_str());
  if (!s.first_left_out.empty()) std::printf("first left out: %s\n", s.first_left_out.c_str());
  if (s.shed_unplaced)
    std::printf("answered other than 200 in more minutes than kept: %s (in no time)\n",
                num(s.shed_unplaced).c_str());
}

void print_taking(const fleet_verdict& v) {
  std::printf("routers in the stage's buckets since: %s; took serial %s: %s",
              num(v.in_stage).c_str(), num(v.serial).c_str(), num(v.taken).c_str());
  for (size_t i = 0; i < v.refused.size(); ++i)
    if (v.refused[i])
      std::printf("; refused for %s: %s (%s routers)", FLEET_REFUSALS[i], num(v.refused[i]).c_str(),
                  num(v.refusing[i]).c_str());
  std::printf("\nanswered other than 200 since: %s with an IDENT, %s without (not attributed)\n",
              num(v.shed_with_ident).c_str(), num(v.shed_without).c_str());
  if (v.before_publication)
    std::printf("not counted: %s earliest reports of a router, which began before publication\n",
                num(v.before_publication).c_str());
  if (v.outside_stage)
    std::printf("left out: %s reports of serial %s from routers outside its buckets\n",
                num(v.outside_stage).c_str(), num(v.serial).c_str());
}

void print_segment(const fleet_segment& seg, const fleet_verdict& v) {
  const std::string head = seg.dimension == "all" ? std::string("the stage")
                                                  : seg.dimension + " " + name_text(seg.value);
  std::printf("\n%s: %s routers, %s router-days on serial %s against %s routers, %s router-days",
              head.c_str(), num(seg.rollout_routers).c_str(),
              days_text(seg.rollout_seconds).c_str(), num(v.serial).c_str(),
              num(seg.base_routers).c_str(), days_text(seg.base_seconds).c_str());
  std::printf(v.base ? " on serial %s\n" : "%s (no base: every base rate is 0)\n",
              v.base ? num(*v.base).c_str() : "");
  if (seg.measures.empty()) return;
  std::printf("  %-34s %12s %12s\n", "per 1,000 router-days", "rollout", "base");
  for (const fleet_measure& m : seg.measures) {
    std::printf("  %-34s %12s %12s%s", name_text(m.name).c_str(),
                fleet_rate_text(m.rollout).c_str(), fleet_rate_text(m.base).c_str(),
                m.rose ? "  rose" : "");
    for (size_t i = 0; i < m.top.size(); ++i)
      std::printf("%s%s %s", i ? ", " : "  highest: ", m.top[i].ident.c_str(),
                  fleet_rate_text(m.top[i].rate).c_str());
    std::printf("\n");
  }
}

int print_verdict(const fleet_verdict& v, const fleet_options& o) {
  if (!v.published) {
    std::printf(o.serial ? "verdict: go on: serial %s was not published in these logs\n"
                         : "verdict: go on: no set was published in these logs%s\n",
                o.serial ? num(*o.serial).c_str() : "");
    return KIVRULE_OK;
  }
  std::printf(
      "\npublished serial %s at %u%%, first at %s; base %s\n", num(v.serial).c_str(), v.stage,
      utc_text(v.first_ms).c_str(),
      v.base ? ("serial " + num(*v.base)).c_str() : "none (no router outside the stage reports)");
  print_taking(v);
  std::printf(
      "halt above %g times the base's rate (a base rate under %g per 1,000 router-days counts as "
      "%g), with at least %s routers; each group's rate leaves out its 2 highest routers and 1 "
      "in 50 more (of those with a count)\n",
      o.factor, o.floor, o.floor, num(o.min_routers).c_str());
  for (const fleet_segment& seg : v.segments) print_segment(seg, v);
  const fleet_segment& all = v.segments.front();
  if (!all.judged && !v.halt) {
    std::printf("verdict: go on: %s of the %s routers needed to judge report serial %s\n",
                num(all.rollout_routers).c_str(), num(o.min_routers).c_str(),
                num(v.serial).c_str());
    return KIVRULE_OK;
  }
  if (v.halt) {
    std::string why;
    for (const std::string& r : v.reasons) why += (why.empty() ? "" : ", ") + r;
    std::printf("verdict: halt: %s rose above %g times the base's\n", why.c_str(), o.factor);
    return KIVRULE_REJECTED;
  }
  std::printf("verdict: go on\n");
  return KIVRULE_OK;
}

using json_ptr = std::unique_ptr<json_object, int (*)(json_object*)>;

void put(json_object* o, const char* k, json_object* v) {
  json_object_object_add(o, k, v);
}
json_object* real(double r) {
  return std::isinf(r) ? json_object_new_string("inf") : json_object_new_double(r);
}

json_object* segment_json(const fleet_segment& seg) {
  json_object* j = json_object_new_object();
  put(j, "dimension", json_text(seg.dimension));
  put(j, "value", json_text(seg.value));
  put(j, "rollout_routers", json_u64(seg.rollout_routers));
  put(j, "base_routers", json_u64(seg.base_routers));
  put(j, "rollout_seconds", json_u64(seg.rollout_seconds));
  put(j, "base_seconds", json_u64(seg.base_seconds));
  put(j, "judged", json_object_new_boolean(seg.judged));
  json_object* ms = json_object_new_array();
  for (const fleet_measure& m : seg.measures) {
    json_object* jm = json_object_new_object();
    put(jm, "measure", json_text(m.name));
    put(jm, "rollout", real(m.rollout));
    put(jm, "base", real(m.base));
    put(jm, "rose", json_object_new_boolean(m.rose));
    json_object* top = json_object_new_array();
    for (const fleet_top& t : m.top) {
      json_object* jt = json_object_new_object();
      put(jt, "ident", json_text(t.ident));
      put(jt, "rate", real(t.rate));
      json_object_array_add(top, jt);
    }
    put(jm, "highest", top);
    json_object_array_add(ms, jm);
  }
  put(j, "measures", ms);
  return j;
}

int print_json(const fleet_state& s, const fleet_verdict& v, const fleet_options& o) {
  json_ptr doc(json_object_new_object(), json_object_put);
  json_object* j = doc.get();
  put(j, "lines", json_u64(s.lines));
  put(j, "requests", json_u64(s.requests));
  put(j, "reports", json_u64(s.reports));
  put(j, "cut", json_u64(s.cut));
  put(j, "without_report", json_u64(s.no_report));
  put(j, "not_answered", json_u64(s.not_answered));
  json_object* left = json_object_new_object();
  for (const auto& [why, n] : s.left_out) put(left, why.c_str(), json_u64(n));
  put(j, "left_out", left);
  put(j, "unreadable", json_u64(s.unreadable));
  json_object* notes = json_object_new_array();
  for (const std::string& n : s.notes) json_object_array_add(notes, json_text(n));
  put(j, "unreadable_lines", notes);
  put(j, "serial", v.published ? json_u64(v.serial) : nullptr);
  put(j, "stage", json_u64(v.stage));
  put(j, "first_published_ms", json_u64(v.first_ms));
  put(j, "base", v.base ? json_u64(*v.base) : nullptr);
  put(j, "routers_in_stage", json_u64(v.in_stage));
  put(j, "taken", json_u64(v.taken));
  json_object* refused = json_object_new_object();
  json_object* refusing = json_object_new_object();
  for (size_t i = 0; i < v.refused.size(); ++i) {
    put(refused, FLEET_REFUSALS[i], json_u64(v.refused[i]));
    put(refusing, FLEET_REFUSALS[i], json_u64(v.refusing[i]));
  }
  put(j, "refused", refused);
  put(j, "refusing_routers", refusing);
  put(j, "other_than_200_with_ident", json_u64(v.shed_with_ident));
  put(j, "other_than_200_without_ident", json_u64(v.shed_without));
  put(j, "outside_stage", json_u64(v.outside_stage));
  put(j, "began_before_publication", json_u64(v.before_publication));
  json_object* segs = json_object_new_array();
  for (const fleet_segment& seg : v.segments) json_object_array_add(segs, segment_json(seg));
  put(j, "segments", segs);
  const bool judged = v.published && (v.halt || v.segments.front().judged);
  put(j, "judged", json_object_new_boolean(judged));
  put(j, "verdict", json_text(v.halt ? "halt" : "go on"));
  json_object* reasons = json_object_new_array();
  for (const std::string& r : v.reasons) json_object_array_add(reasons, json_text(r));
  put(j, "rose", reasons);
  std::printf("%s\n", json_object_to_json_string_ext(j, JSON_C_TO_STRING_PLAIN));
  (void)o;
  return v.halt ? KIVRULE_REJECTED : KIVRULE_OK;
}

int take_options(std::vector<std::string>* args, fleet_options* o, std::string* err) {
  std::optional<std::string> base, serial, factor, min_routers, floor, html, rows;
  if (!take_option(args, "--base", &base, err) || !take_option(args, "--serial", &serial, err) ||
      !take_option(args, "--factor", &factor, err) ||
      !take_option(args, "--min-routers", &min_routers, err) ||
      !take_option(args, "--floor", &floor, err) || !take_option(args, "--html", &html, err) ||
      !take_option(args, "--rows", &rows, err) || !take_flag(args, "--json", &o->json, err))
    return KIVRULE_USAGE;
  uint64_t n = 0;
  for (auto [text, out] : {std::pair{&base, &o->base}, std::pair{&serial, &o->serial}}) {
    if (!*text) continue;
    if (!parse_serial(**text, &n)) {
      *err = "a serial is a number 0..18446744073709551615, not '" + **text + "'";
      return KIVRULE_USAGE;
    }
    *out = n;
  }
  if (factor && !parse_real(*factor, 1, &o->factor)) {
    *err = "--factor needs a number of at least 1, not '" + *factor + "'";
    return KIVRULE_USAGE;
  }
  if (floor && !parse_real(*floor, 0, &o->floor)) {
    *err = "--floor needs a rate of at least 0, not '" + *floor + "'";
    return KIVRULE_USAGE;
  }
  if (min_routers && (!parse_serial(*min_routers, &o->min_routers) || o->min_routers == 0)) {
    *err = "--min-routers needs a whole number of at least 1, not '" + *min_routers + "'";
    return KIVRULE_USAGE;
  }
  o->html = html.value_or("");
  o->rows = rows.value_or("");
  if ((html && html->empty()) || (rows && rows->empty())) {
    *err = kUsage;
    return KIVRULE_USAGE;
  }
  for (const std::string& a : *args)
    if (a.size() > 1 && a[0] == '-') {
      *err = "unknown option '" + a + "'\n" + kUsage;
      return KIVRULE_USAGE;
    }
  if (args->empty()) {
    *err = kUsage;
    return KIVRULE_USAGE;
  }
  o->logs = *args;
  return KIVRULE_OK;
}

// A log as a stream: standard input for "-"; a directory or an unreadable file is refused.
FILE* open_log(const std::string& path, std::string* err) {
  if (path == "-") return stdin;
  FILE* f = std::fopen(path.c_str(), "r");
  struct stat st;
  if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    errno = EISDIR;
    f = nullptr;
  }
  if (!f) *err = input_name(path) + ": cannot read it (" + std::strerror(errno) + ")";
  return f;
}

// The loader's rows: one a request, one a count, tab-separated as the analytical database reads
// them (fleet/clickhouse/schema.sql).
struct row_files {
  FILE* requests = nullptr;
  FILE* counts = nullptr;
  bool ok = true;
};

void tsv_text(FILE* f, const std::string& s) {
  for (unsigned char c : s) {
    switch (c) {
      case '\\':
        std::fputs("\\\\", f);
        break;
      case '\t':
        std::fputs("\\t", f);
        break;
      case '\n':
        std::fputs("\\n", f);
        break;
      case '\r':
        std::fputs("\\r", f);
        break;
      case '\0':
        std::fputs("\\0", f);
        break;
      default:
        std::fputc(c, f);
    }
  }
}

void write_rows(const fleet_line& l, void* arg) {
  row_files* out = static_cast<row_files*>(arg);
  const std::string day = utc_text(l.time_ms).substr(0, 10);
  FILE* f = out->requests;
  std::fprintf(f, "%s\t%llu\t%llu\t%llu\t", day.c_str(), static_cast<unsigned long long>(l.time_ms),
               static_cast<unsigned long long>(l.key), static_cast<unsigned long long>(l.status));
  for (const std::string* s : {&l.ident, &l.model, &l.fwver, &l.tcode, &l.rule_serial}) {
    tsv_text(f, *s);
    std::fputc('\t', f);
  }
  std::fprintf(f, "%d\t%s\t%u\t%d\t", l.has_published ? 1 : 0, num(l.published).c_str(), l.stage,
               l.report);
  tsv_text(f, l.why);
  std::fprintf(f, "\t%s\t%s\t%d", num(l.serial).c_str(), num(l.seconds).c_str(), l.cut ? 1 : 0);
  for (uint64_t r : l.refused) std::fprintf(f, "\t%s", num(r).c_str());
  std::fputc('\n', f);
  for (const fleet_count& c : l.counts) {
    std::fprintf(out->counts, "%s\t%llu\t%llu\t", day.c_str(),
                 static_cast<unsigned long long>(l.time_ms),
                 static_cast<unsigned long long>(l.key));
    tsv_text(out->counts, l.ident);
    std::fputc('\t', out->counts);
    tsv_text(out->counts, c.measure);
    std::fprintf(out->counts, "\t%s\t%s\t", num(c.count).c_str(), num(l.status).c_str());
    tsv_text(out->counts, l.rule_serial);
    std::fprintf(out->counts, "\t%s\t%u\t%s\t%s\n", num(l.published).c_str(), l.stage,
                 num(l.serial).c_str(), num(l.seconds).c_str());
  }
}

void print_unreadable(const fleet_state& s) {
  for (const std::string& n : s.notes) std::fprintf(stderr, "kivrule: fleet: %s\n", n.c_str());
  if (s.unreadable)
    std::fprintf(stderr,
                 "kivrule: fleet: %s lines cannot be read (longer than %zu bytes or no request "
                 "record): the verdict leaves them out\n",
                 num(s.unreadable).c_str(), FLEET_LINE_MAX);
}

}  // namespace

int kivrule_fleet(std::vector<std::string> args) {
  fleet_options o;
  std::string err;
  if (take_options(&args, &o, &err) != KIVRULE_OK) return fail(err, KIVRULE_USAGE);
  row_files rows;
  if (!o.rows.empty()) {
    rows.requests = std::fopen((o.rows + "/requests.tsv").c_str(), "w");
    rows.counts = std::fopen((o.rows + "/counts.tsv").c_str(), "w");
    if (!rows.requests || !rows.counts)
      return fail(o.rows + ": cannot write the rows (" + std::strerror(errno) + ")", KIVRULE_USAGE);
  }
  fleet_state s;
  for (const std::string& path : o.logs) {
    FILE* f = open_log(path, &err);
    if (!f) return fail(err, KIVRULE_USAGE);
    const bool ok =
        read_fleet_log(f, input_name(path), &s, rows.requests ? write_rows : nullptr, &rows);
    if (f != stdin) std::fclose(f);
    if (!ok) return fail(input_name(path) + ": a read failed", KIVRULE_USAGE);
  }
  if (rows.requests) {
    const bool written = std::fclose(rows.requests) == 0 && std::fclose(rows.counts) == 0;
    print_unreadable(s);
    if (!written) return fail(o.rows + ": a write failed", KIVRULE_USAGE);
    std::printf("rows of %s requests written to %s\n", num(s.requests).c_str(), o.rows.c_str());
    return KIVRULE_OK;
  }
  const fleet_verdict v = judge_fleet(s, o);
  int status = KIVRULE_OK;
  if (o.json) {
    status = print_json(s, v, o);
  } else {
    print_summary(s);
    status = print_verdict(v, o);
  }
  print_unreadable(s);
  if (!o.html.empty() && !write_fleet_html(o.html, s, v, o))
    return fail(o.html + ": cannot write the page (" + std::strerror(errno) + ")", KIVRULE_USAGE);
  return status;
}
