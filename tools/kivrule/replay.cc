// kivrule replay: a system log walked through a rule set as the daemon would walk it.
//
// The rule set is built by the daemon's reader for the given identity; every line of the log is
// cut into the pieces the syslog monitor reads (at most 255 characters, line end trimmed) and
// each piece goes through match_func and the frequency window of every active profile, in
// profile order, by the daemon's own walk_profiles. The match time is the line's syslog time stamp
// (or a fixed line rate) instead of the uptime. A profile fires at the piece that makes its ring
// full within its period, and its ring is then emptied as the healing executor empties it. Nothing
// is carried out: the report goes to standard output, progress to standard error.
#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "detect/freq_window.h"
#include "detect/monitor_syslog.h"
#include "heal/heal_budget.h"
#include "heal/self_healing.h"
#include "platform/decimal.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "tools/kivrule/kivrule.h"
#include "tools/kivrule/replay_clock.h"
#include "trigger/monitor_statistics.h"

namespace {

constexpr size_t kFiresListed = 200;  // fires listed per profile; all are counted
constexpr size_t kShownBytes = 120;   // longer texts are cut in the report

struct fire_event {
  uint64_t line = 0;
  uint64_t piece = 1;  // piece of the line, 1 unless the line is walked in several
  double time = 0;     // seconds on the replay clock
  std::string stamp;   // the time stamp in force (log clock), "" when none yet
  bool held = false;   // over the heal budget: recorded, not acted on
};

struct profile_report {
  std::optional<std::string> keyword;  // from the rule itself: inactive records own nothing
  bool active = false;
  std::string why_not;
  uint64_t matches = 0;
  uint64_t first_line = 0;  // first matching line, 0 when none
  uint64_t fires = 0;
  uint64_t held = 0;  // fires the heal budget holds back
  std::vector<fire_event> listed;
  std::string self_trigger;  // the profile matches kiv's own system-log lines
};

struct log_stats {
  uint64_t lines = 0;
  uint64_t pieces = 0;
  uint64_t long_lines = 0;        // lines walked as several pieces (255 characters or more)
  uint64_t unstamped = 0;         // lines without a time stamp at their start
  uint64_t binary_lines = 0;      // lines with control bytes other than tab and CR
  uint64_t zero_byte_pieces = 0;  // pieces the daemon reads only up to a zero byte
  uint64_t back_steps = 0;        // time stamps before the previous one (clock held)
  uint64_t year_turns = 0;
  bool unterminated = false;  // last line without a line end
  uint64_t bytes = 0;
};

struct options {
  router_identity id;
  bool json = false;
  bool rate_clock = false;
  double rate = 0;
  int heal_limit = 0;  // kiv_heal_limit: heals per rule per hour, 0 none
};

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: replay: %s\n", message.c_str());
  return status;
}

std::string quoted(const std::string& s) {
  return quoted_text(s, kShownBytes, false);
}

// "log" or "rate=N" with N lines per second, above 0 and at most a billion.
bool parse_clock(const std::string& text, options* o, std::string* err) {
  if (text == "log") return true;
  if (text.rfind("rate=", 0) == 0) {
    const char* digits = text.c_str() + 5;
    char* end = nullptr;
    errno = 0;
    double rate = std::strtod(digits, &end);
    if (*digits && end && *end == '\0' && errno == 0 && std::isfinite(rate) && rate > 0 &&
        rate <= 1e9) {
      o->rate_clock = true;
      o->rate = rate;
      return true;
    }
  }
  *err = "--clock takes log or rate=N with N lines per second above 0, not '" + text + "'";
  return false;
}

// The log, cut into the pieces the syslog monitor's line read gives (detect/log_pieces.h).
struct piece_source {
  FILE* file = nullptr;
  piece_buffer buffer;
  bool at_eof = false;
  bool read_error = false;
  bool newline_seen = false;  // the piece handed out last ended at a line end
};

// The next piece, zero-terminated in place with its line end cut; none at the end of the log.
cut_piece next_piece(piece_source& s) {
  for (;;) {
    const cut_piece piece = take_piece(s.buffer, s.at_eof);
    if (piece.text || s.at_eof) {
      if (piece.text) s.newline_seen = piece.taken > piece.length;
      return piece;
    }
    size_t room = 0;
    char* into = piece_room(s.buffer, &room);
    const size_t got = std::fread(into, 1, room, s.file);
    pieces_read(s.buffer, got);
    if (got == 0) {
      s.at_eof = true;
      s.read_error = std::ferror(s.file) != 0;
    }
  }
}

struct replay_state {
  const options* opt = nullptr;
  rule_set* rules = nullptr;
  std::vector<monitor_profile*> by_index;  // per rule of the file; none when inactive
  std::vector<profile_report> reports;
  log_stats stats;
  replay_clock clock;
  bool paused = false;  // Global_Pause 1: the daemon drops every line
  heal_history heals;   // the heal budget's count, on the replay clock
};

// Counts a line with control bytes once, at its first such piece, and every piece with a zero
// byte (the daemon's walk sees the piece only up to it).
void note_piece_bytes(log_stats& st, const char* piece, size_t len, bool* line_binary) {
  bool binary = false;
  if (std::memchr(piece, '\0', len)) {
    ++st.zero_byte_pieces;
    binary = true;
  }
  for (size_t i = 0; i < len && !binary; ++i) {
    unsigned char c = static_cast<unsigned char>(piece[i]);
    if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f) binary = true;
  }
  if (binary && !*line_binary) ++st.binary_lines;
  *line_binary = *line_binary || binary;
}

// One piece through the daemon's own walk, then the trigger's test for each profile it matched.
void walk_piece(replay_state& rs, char* piece, line_place place, double now, uint64_t line,
                uint64_t nth) {
  walk_profiles(*rs.rules, log_piece{trimNL(piece), place, line}, now, [&](int32_t i) {
    monitor_profile& p = *rs.by_index[static_cast<size_t>(i)];
    profile_report& r = rs.reports[static_cast<size_t>(i)];
    ++r.matches;
    if (r.first_line == 0) r.first_line = line;
    // The trigger's decision and the heal budget's, on the replay clock; a heal takes no time, and
    // a fire over the budget empties the ring all the same.
    if (!trigger_fires(p, -1)) return;
    ++r.fires;
    const bool held =
        !heal_within_budget(rs.heals, text_or_none(p.kiv_keyword),
                            static_cast<int64_t>(rs.clock.seconds()), rs.opt->heal_limit);
    r.held += held ? 1 : 0;
    if (r.listed.size() < kFiresListed)
      r.listed.push_back({line, nth, rs.clock.seconds(), rs.clock.stamp_text(), held});
    empty_ring(p);
  });
}

struct progress {
  long long started = monotonic_ns();
  double next = 1.5;  // seconds since started
  bool shown = false;
  long long total = -1;  // bytes of the log, -1 when unknown
};

void show_progress(progress& pr, const log_stats& st, bool last) {
  double now = seconds_since(pr.started);
  if (!last && now < pr.next) return;
  if (last && !pr.shown) return;
  pr.next = now + 0.5;
  pr.shown = true;
  if (pr.total > 0)
    std::fprintf(
        stderr, "\rkivrule replay: %llu lines, %d%%", static_cast<unsigned long long>(st.lines),
        static_cast<int>(100.0 * static_cast<double>(st.bytes) / static_cast<double>(pr.total)));
  else
    std::fprintf(stderr, "\rkivrule replay: %llu lines", static_cast<unsigned long long>(st.lines));
  if (last) std::fprintf(stderr, ", %.1f s\n", now);
  std::fflush(stderr);
}

bool walk_log(replay_state& rs, FILE* file, long long total) {
  piece_source src;
  src.file = file;
  progress pr;
  pr.total = total;
  bool line_binary = false;
  uint64_t line_pieces = 0;
  for (cut_piece piece = next_piece(src); piece.text; piece = next_piece(src)) {
    log_stats& st = rs.stats;
    st.bytes += piece.taken;
    if (piece.place.at_start) {
      st.lines = piece.line;
      line_pieces = 0;
      line_binary = false;
      if (!rs.opt->rate_clock && !rs.clock.take_stamp(piece.text, piece.length)) ++st.unstamped;
      if (rs.opt->rate_clock) rs.clock.set_seconds(static_cast<double>(st.lines) / rs.opt->rate);
    }
    if (++line_pieces == 2) ++st.long_lines;
    note_piece_bytes(st, piece.text, piece.length, &line_binary);
    ++st.pieces;
    if (!rs.paused)
      walk_piece(rs, piece.text, piece.place, rs.clock.ring_time(), piece.line, line_pieces);
    if ((st.pieces & 0xfff) == 0) show_progress(pr, st, false);
  }
  rs.stats.unterminated = rs.stats.lines > 0 && !src.newline_seen;
  rs.stats.back_steps = rs.clock.back_steps();
  rs.stats.year_turns = rs.clock.year_turns();
  show_progress(pr, rs.stats, true);
  return !src.read_error;
}

// Which active profiles kiv's own system-log lines would match, before the walk empties rings.
void note_self_triggers(replay_state& rs) {
  std::vector<std::string> all;
  for (const monitor_profile& p : rs.rules->profiles)
    for (const rule_action& a : p.actions) all.push_back(a.text);
  const own_lines actions = kiv_own_lines(all);
  for (const monitor_profile& p : rs.rules->profiles) {
    std::vector<std::string> own;
    for (const rule_action& a : p.actions) own.push_back(a.text);
    rs.reports[static_cast<size_t>(p.index)].self_trigger = self_trigger_warning(p, own, actions);
  }
}

// The record of rule i, or one that holds nothing for a rule that is not active.
const monitor_profile& profile_of(const replay_state& rs, int32_t i) {
  static const monitor_profile none;
  const monitor_profile* p = rs.by_index[static_cast<size_t>(i)];
  return p ? *p : none;
}

std::string actions_text(const monitor_profile& p) {
  std::string out;
  for (const rule_action& a : p.actions) out += (out.empty() ? "" : ";") + a.text;
  return out.empty() ? "(none)" : out;
}

std::string window_text(const monitor_profile& p) {
  return std::to_string(p.frequency) + (p.frequency == 1 ? " match" : " matches") + " within " +
         std::to_string(p.period) + " s";
}

std::string time_text(const options& o, const fire_event& f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f s", f.time);
  if (o.rate_clock || f.stamp.empty()) return std::string("t=") + buf;
  return f.stamp + " (+" + buf + ")";
}

std::string keyword_of(const profile_report& r) {
  return r.keyword ? *r.keyword : std::string(KIV_NONE_TEXT);
}

std::string line_text(const fire_event& f) {
  std::string s = "line " + std::to_string(f.line);
  if (f.piece > 1) s += " (piece " + std::to_string(f.piece) + ")";
  return s;
}

void print_text(const replay_state& rs, const std::string& rules_path,
                const std::string& log_path) {
  const options& o = *rs.opt;
  const log_stats& st = rs.stats;
  size_t active = 0;
  for (const profile_report& r : rs.reports) active += r.active ? 1 : 0;
  std::printf(
      "rules: %s: %d rule%s, %zu active for productid %s, odmpid %s, fwver %s, "
      "label_mac %s\n",
      rules_path.c_str(), static_cast<int>(rs.rules->count), rs.rules->count == 1 ? "" : "s",
      active, o.id.productid ? quoted(*o.id.productid).c_str() : "(unset)",
      o.id.odmpid ? quoted(*o.id.odmpid).c_str() : "(unset)", quoted(o.id.device_fwver).c_str(),
      quoted(o.id.label_mac).c_str());
  std::printf("log: %s: %llu lines in %llu pieces", log_path.c_str(),
              static_cast<unsigned long long>(st.lines),
              static_cast<unsigned long long>(st.pieces));
  if (o.rate_clock)
    std::printf("; clock: %g lines per second\n", o.rate);
  else
    std::printf("; clock: the lines' time stamps, %.0f s from first to last\n", rs.clock.seconds());
  if (st.long_lines)
    std::printf("note: %llu lines of %zu characters or more, walked as several pieces\n",
                static_cast<unsigned long long>(st.long_lines), KIV_PIECE_MAX);
  if (!o.rate_clock && st.unstamped)
    std::printf("note: %llu lines without a time stamp keep the time before them\n",
                static_cast<unsigned long long>(st.unstamped));
  if (st.binary_lines)
    std::printf("note: %llu lines hold control or binary bytes\n",
                static_cast<unsigned long long>(st.binary_lines));
  if (st.zero_byte_pieces)
    std::printf("note: %llu pieces hold a zero byte: the daemon reads a piece only up to it\n",
                static_cast<unsigned long long>(st.zero_byte_pieces));
  if (st.back_steps)
    std::printf("note: %llu time stamp%s run back; the clock holds until the log passes it\n",
                static_cast<unsigned long long>(st.back_steps), st.back_steps == 1 ? "" : "s");
  if (st.year_turns)
    std::printf("note: the year turns %llu time%s in the log\n",
                static_cast<unsigned long long>(st.year_turns), st.year_turns == 1 ? "" : "s");
  if (st.unterminated) std::printf("note: the last line has no line end\n");
  if (rs.paused)
    std::printf("warning: Global_Pause is 1 after these rules: the daemon walks no line\n");

  for (int32_t i = 0; i < rs.rules->count; ++i) {
    const monitor_profile& p = profile_of(rs, i);
    const profile_report& r = rs.reports[static_cast<size_t>(i)];
    std::printf("\nprofile %d %s: ", static_cast<int>(i),
                r.keyword ? quoted(*r.keyword).c_str() : "(no keyword)");
    if (!r.active) {
      std::printf("inactive: %s\n", r.why_not.c_str());
      continue;
    }
    std::printf("active, %s, actions %s\n", window_text(p).c_str(), actions_text(p).c_str());
    if (r.matches == 0) {
      std::printf("  no line matches\n");
      continue;
    }
    std::printf("  %llu match%s, first at line %llu; %llu fire%s",
                static_cast<unsigned long long>(r.matches), r.matches == 1 ? "" : "es",
                static_cast<unsigned long long>(r.first_line),
                static_cast<unsigned long long>(r.fires), r.fires == 1 ? "" : "s");
    if (o.heal_limit > 0)
      std::printf(", %llu held back by the heal budget (%d an hour)",
                  static_cast<unsigned long long>(r.held), o.heal_limit);
    std::printf("\n");
    for (size_t k = 0; k < r.listed.size(); ++k)
      std::printf("  fire %zu at %s, %s: %s\n", k + 1, line_text(r.listed[k]).c_str(),
                  time_text(o, r.listed[k]).c_str(),
                  r.listed[k].held ? "held back (heal budget spent)" : actions_text(p).c_str());
    if (r.fires > r.listed.size())
      std::printf("  ... %llu more fires not listed\n",
                  static_cast<unsigned long long>(r.fires - r.listed.size()));
  }

  std::printf("\nsummary\n%-5s  %-24s  %-32s  %8s  %6s\n", "index", "keyword", "state", "matches",
              "fires");
  std::vector<int32_t> silent;
  for (int32_t i = 0; i < rs.rules->count; ++i) {
    const profile_report& r = rs.reports[static_cast<size_t>(i)];
    std::string state = r.active ? "active" : "inactive: " + r.why_not;
    if (state.size() > 32) state = state.substr(0, 29) + "...";
    std::string kw = keyword_of(rs.reports[static_cast<size_t>(i)]);
    if (kw.size() > 24) kw = kw.substr(0, 21) + "...";
    if (r.active && r.matches == 0) silent.push_back(i);
    std::printf("%-5d  %-24s  %-32s  %8llu  %6llu%s\n", static_cast<int>(i), kw.c_str(),
                state.c_str(), static_cast<unsigned long long>(r.matches),
                static_cast<unsigned long long>(r.fires),
                r.active && r.matches == 0 ? "  <- matched nothing" : "");
  }
  for (int32_t i : silent)
    std::printf("warning: active profile %d %s matched no line of the log\n", static_cast<int>(i),
                quoted(keyword_of(rs.reports[static_cast<size_t>(i)])).c_str());
  for (size_t i = 0; i < rs.reports.size(); ++i)
    if (!rs.reports[i].self_trigger.empty())
      std::printf("warning: active profile %zu %s: %s\n", i,
                  quoted(keyword_of(rs.reports[i])).c_str(), rs.reports[i].self_trigger.c_str());
}

void print_json(const replay_state& rs, const std::string& rules_path,
                const std::string& log_path) {
  const options& o = *rs.opt;
  const log_stats& st = rs.stats;
  json_object* root = json_object_new_object();
  json_object_object_add(root, "rules", json_text(rules_path));
  json_object_object_add(root, "log", json_text(log_path));
  json_object_object_add(root, "clock", json_text(o.rate_clock ? "rate" : "log"));
  if (o.rate_clock) json_object_object_add(root, "rate", json_object_new_double(o.rate));
  json_object* log = json_object_new_object();
  json_object_object_add(log, "lines", json_u64(st.lines));
  json_object_object_add(log, "pieces", json_u64(st.pieces));
  json_object_object_add(log, "long_lines", json_u64(st.long_lines));
  json_object_object_add(log, "unstamped_lines", json_u64(o.rate_clock ? 0 : st.unstamped));
  json_object_object_add(log, "binary_lines", json_u64(st.binary_lines));
  json_object_object_add(log, "zero_byte_pieces", json_u64(st.zero_byte_pieces));
  json_object_object_add(log, "back_steps", json_u64(st.back_steps));
  json_object_object_add(log, "year_turns", json_u64(st.year_turns));
  json_object_object_add(log, "unterminated_last_line", json_object_new_boolean(st.unterminated));
  json_object_object_add(log, "seconds", json_object_new_double(rs.clock.seconds()));
  json_object_object_add(root, "log_stats", log);
  json_object_object_add(root, "global_pause", json_object_new_boolean(rs.paused));

  json_object* profiles = json_object_new_array();
  json_object* silent = json_object_new_array();
  for (int32_t i = 0; i < rs.rules->count; ++i) {
    const monitor_profile& p = profile_of(rs, i);
    const profile_report& r = rs.reports[static_cast<size_t>(i)];
    json_object* one = json_object_new_object();
    json_object_object_add(one, "index", json_object_new_int(i));
    json_object_object_add(one, "keyword", r.keyword ? json_text(*r.keyword) : nullptr);
    json_object_object_add(one, "active", json_object_new_boolean(r.active));
    if (!r.active) json_object_object_add(one, "inactive_reason", json_text(r.why_not));
    json_object* actions = json_object_new_array();
    for (const rule_action& a : p.actions) json_object_array_add(actions, json_text(a.text));
    json_object_object_add(one, "actions", actions);
    json_object_object_add(one, "frequency", json_object_new_int64(p.frequency));
    json_object_object_add(one, "period", json_object_new_int64(p.period));
    json_object_object_add(one, "matches", json_u64(r.matches));
    json_object_object_add(one, "first_match_line", json_u64(r.first_line));
    json_object_object_add(one, "fires", json_u64(r.fires));
    if (o.heal_limit > 0) json_object_object_add(one, "fires_held_back", json_u64(r.held));
    json_object* list = json_object_new_array();
    for (const fire_event& f : r.listed) {
      json_object* e = json_object_new_object();
      json_object_object_add(e, "line", json_u64(f.line));
      json_object_object_add(e, "piece", json_u64(f.piece));
      json_object_object_add(e, "time", json_object_new_double(f.time));
      if (!f.stamp.empty() && !o.rate_clock) json_object_object_add(e, "stamp", json_text(f.stamp));
      if (o.heal_limit > 0) json_object_object_add(e, "held_back", json_object_new_boolean(f.held));
      json_object_array_add(list, e);
    }
    json_object_object_add(one, "fire_list", list);
    json_object_object_add(one, "fires_not_listed", json_u64(r.fires - r.listed.size()));
    if (!r.self_trigger.empty())
      json_object_object_add(one, "self_trigger", json_text(r.self_trigger));
    json_object_array_add(profiles, one);
    if (r.active && r.matches == 0) json_object_array_add(silent, json_object_new_int(i));
  }
  json_object_object_add(root, "profiles", profiles);
  json_object_object_add(root, "matched_nothing", silent);
  std::puts(json_object_to_json_string_ext(root, JSON_C_TO_STRING_PRETTY));
  json_object_put(root);
}

const char kReplayUsage[] =
    "usage: kivrule replay RULES LOG [--productid P] [--odmpid O] [--fwver F] "
    "[--label-mac M] [--clock log|rate=N] [--heal-limit N] [--json]";

}  // namespace

int kivrule_replay(std::vector<std::string> args) {
  std::string err;
  options o;
  if (!take_flag(&args, "--json", &o.json, &err) || !take_identity_options(&args, &o.id, &err))
    return fail(err, KIVRULE_USAGE);
  std::optional<std::string> clock;
  if (!take_option(&args, "--clock", &clock, &err)) return fail(err, KIVRULE_USAGE);
  if (clock && !parse_clock(*clock, &o, &err)) return fail(err, KIVRULE_USAGE);
  std::optional<std::string> limit;
  if (!take_option(&args, "--heal-limit", &limit, &err)) return fail(err, KIVRULE_USAGE);
  if (limit) {
    int64_t n = 0;
    if (!whole_decimal(*limit, &n) || n < 0 || n > INT32_MAX)
      return fail("--heal-limit takes a number of heals an hour (0: none), not '" + *limit + "'",
                  KIVRULE_USAGE);
    o.heal_limit = static_cast<int>(n);
  }
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-') return fail("unknown option '" + a + "'", KIVRULE_USAGE);
  if (args.size() != 2) return fail(kReplayUsage, KIVRULE_USAGE);
  const std::string& rules_path = args[0];
  const std::string& log_path = args[1];
  if (rules_path == "-" && log_path == "-")
    return fail("only one of RULES and LOG can be standard input", KIVRULE_USAGE);

  rule_text in;
  if (int status = load_rule_text(rules_path, &in, &err)) return fail(err, status);
  const std::string& json = in.json;
  if (json.empty())
    return fail(in.name + " would be rejected by the daemon: it holds no rule text",
                KIVRULE_REJECTED);

  FILE* file = log_path == "-" ? stdin : std::fopen(log_path.c_str(), "rb");
  if (!file) return fail("cannot open " + log_path + ": " + std::strerror(errno), KIVRULE_USAGE);
  long long total = -1;
  if (file != stdin && std::fseek(file, 0, SEEK_END) == 0) {
    total = std::ftell(file);
    std::rewind(file);
  }

  rule_set rules;
  load_report report;
  int rc = build_rule_set(json.c_str(), o.id, &rules, &report);
  if (rc != RULES_OK) {
    if (file != stdin) std::fclose(file);
    std::string where =
        report.failed_index >= 0 ? "rule " + std::to_string(report.failed_index) + ": " : "";
    return fail(in.name + " would be rejected by the daemon: " + where + rule_load_rejection(rc),
                KIVRULE_REJECTED);
  }

  replay_state rs;
  rs.opt = &o;
  rs.rules = &rules;
  rs.paused = rules.pause.value_or(0) == 1;
  rs.reports.resize(static_cast<size_t>(rules.count));
  rs.by_index.assign(static_cast<size_t>(rules.count), nullptr);
  for (monitor_profile& p : rules.profiles) rs.by_index[static_cast<size_t>(p.index)] = &p;
  for (int32_t i = 0; i < rules.count; ++i) {
    profile_report& r = rs.reports[static_cast<size_t>(i)];
    r.active = rs.by_index[static_cast<size_t>(i)] != nullptr;
    if (static_cast<size_t>(i) < report.notes.size()) {
      r.why_not = report.notes[static_cast<size_t>(i)].inactive_reason;
      r.keyword = report.notes[static_cast<size_t>(i)].keyword;
    }
    if (!r.active && r.why_not.empty()) r.why_not = "filtered out";
  }

  note_self_triggers(rs);
  bool read_ok = walk_log(rs, file, total);
  if (file != stdin) std::fclose(file);
  if (!read_ok) {
    return fail("cannot read " + log_path + ": " + std::strerror(errno), KIVRULE_USAGE);
  }
  if (o.json)
    print_json(rs, in.name, input_name(log_path));
  else
    print_text(rs, in.name, input_name(log_path));
  std::fflush(stdout);
  if (rs.stats.lines == 0)
    return fail(log_path + " holds no lines: nothing was replayed", KIVRULE_REJECTED);
  return KIVRULE_OK;
}
