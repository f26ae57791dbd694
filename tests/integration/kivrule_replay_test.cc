// kivrule replay as built: its fires agree with the real daemon fed the same rules and lines on
// the test clock, its report (text and JSON) on the example rules and log, the line-rate and
// year-turning clocks, and bad input (binary bytes, huge lines, empty logs, rejected rules).
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

const std::string kLog = "tmp/kiv.log";
const std::string kHealStart = ")]===============self_healing start===============\n";
const std::string kHealEnd = ")]===============self_healing end===============\n";
const std::vector<std::string> kIdentity = {"--productid", "KV-1000",     "--fwver",
                                            "3.0.0.4_388", "--label-mac", "02:00:5E:10:00:02"};

using kivtest::now_s;
using namespace std::string_literals;

using kivtest::run_result;

// Runs the built kivrule with args (no shell), for at most 30 seconds.
run_result kivrule(const kivtest::sandbox& sb, std::vector<std::string> args) {
  args.insert(args.begin(), kivtest::bin("kivrule"));
  return kivtest::run_program(sb, args);
}

run_result replay(const kivtest::sandbox& sb, const std::string& rules, const std::string& log,
                  std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"replay", rules, log};
  args.insert(args.end(), kIdentity.begin(), kIdentity.end());
  args.insert(args.end(), extra.begin(), extra.end());
  return kivrule(sb, args);
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string source(const char* rel) {
  return std::string(KIV_SOURCE_DIR) + "/" + rel;
}

// Fires per profile of a --json report; empty when the report is not the expected JSON.
std::vector<long long> json_fires(const std::string& report) {
  std::vector<long long> fires;
  json_object* doc = json_tokener_parse(report.c_str());
  json_object* profiles = nullptr;
  if (doc && json_object_object_get_ex(doc, "profiles", &profiles) &&
      json_object_is_type(profiles, json_type_array)) {
    for (size_t i = 0; i < json_object_array_length(profiles); ++i) {
      json_object* f = nullptr;
      json_object_object_get_ex(json_object_array_get_idx(profiles, i), "fires", &f);
      fires.push_back(f ? json_object_get_int64(f) : -1);
    }
  }
  json_object_put(doc);
  return fires;
}

// A router in a sandbox root that loads the rule set it is given from the loopback rule server
// and otherwise stays offline, with the test clock in proc/uptime.
struct router {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};

  router() {
    kivtest::router_settings(box, server);
    box.set("firmver", "3.0.0.4");
    box.set("buildno", "388");
    box.set("extendno", "");
    box.set("label_mac", "02:00:5E:10:00:02");
    clock(100);
  }

  bool start() {
    return server.port > 0 && box.start_kiv() > 0 && box.wait_for(kLog, ")]End\n", 10) &&
           box.wait_ready(10) && box.wait_for(kLog, "[KIV][_monitor_syslog:(", 10);
  }

  bool load(const std::string& json) { return kivtest::install_rules(box, server, json, 0, 30); }

  void clock(double uptime) const { kivtest::set_uptime(box, uptime); }

  // Appends the lines and waits until the daemon has walked them (a marker line behind them
  // has been read), then gives the trigger thread a full round over `profiles` and waits for a
  // healing run it started to end.
  bool feed(const std::string& lines, int profiles) {
    std::string marker = "-- marker " + std::to_string(++markers) + " --";
    box.append("tmp/syslog.log", lines + marker + "\n");
    written += lines + marker + "\n";
    if (!box.wait_for(kLog, ")]pBuf=[" + marker + "]\n", 10)) return false;
    usleep(static_cast<useconds_t>((profiles + 1) * 2.0 * box.time_scale * 1e6));
    double deadline = now_s() + 10;
    while (box.count(kLog, kHealStart) != box.count(kLog, kHealEnd)) {
      if (now_s() > deadline) return false;
      usleep(20000);
    }
    return true;
  }

  size_t fires(int index) const {
    return box.count(kLog, ")]monitor_profile index=" + std::to_string(index) + "\n");
  }

  int markers = 0;
  std::string written;  // every line appended, in order
};

// "Dec  7 HH:MM:SS" for a time in seconds after 08:00:00.
std::string stamp(int seconds) {
  int t = 8 * 3600 + seconds;
  char buf[32];
  std::snprintf(buf, sizeof buf, "Dec  7 %02d:%02d:%02d", t / 3600 % 24, t / 60 % 60, t % 60);
  return buf;
}

using kivtest::kv1000_rule;

const std::string kAgreementRules =
    "[" +
    kv1000_rule(
        "\"keyword\":\"wan_down\",\"re_pattern\":\"WAN: link down\",\"frequency\":\"3\","
        "\"period\":\"60\",\"action\":\"restart_wan\"") +
    "," +
    kv1000_rule(
        "\"keyword\":\"dns_crash\",\"re_pattern\":\"dnsmasq\\\\[[0-9]+\\\\]: segfault\","
        "\"frequency\":\"2\",\"period\":\"30\",\"action\":\"restart_dnsmasq\"") +
    "," +
    kv1000_rule(
        "\"keyword\":\"never\",\"re_pattern\":\"no such fault\",\"frequency\":\"1\","
        "\"period\":\"10\",\"action\":\"restart_wan\"") +
    "," +
    kv1000_rule(
        "\"keyword\":\"oom\",\"re_pattern\":\"Out of memory\",\"frequency\":\"1\","
        "\"period\":\"10\",\"action\":\"nop\"") +
    "," +
    "{\"model\":\"KV-2000\",\"keyword\":\"other_model\",\"re_pattern\":\"WAN\","
    "\"frequency\":\"1\",\"period\":\"10\",\"action\":\"restart_wan\"}]";

struct timed_line {
  int uptime;  // the daemon's clock when the line is walked; its stamp is this after 08:00:00
  std::string text;
  bool stamped = true;  // false: a continuation line without time stamp, at the same time
};

// Windows that do not hold, windows that slide until they do, rings emptied by a fire, a match
// in the second piece of a long line, a pattern cut by the piece boundary, unstamped lines.
std::vector<timed_line> agreement_lines() {
  // A stamped line starts with 24 characters before the padding (stamp, blank, "kernel: ").
  const std::string pad(250, 'x');
  return {
      {110, "kernel: WAN: link down"},
      {120, "kernel: WAN: link down"},
      {130, "dnsmasq[411]: segfault at 0 ip 00401234"},
      {150, "httpd[655]: login accepted"},
      {170, "dnsmasq[411]: segfault at 0 ip 00401234"},  // 40 s after the first: no fire
      {185, "kernel: WAN: link down"},                   // ring full, 75 s: no fire
      {190, "kernel: WAN: link down"},                   // 70 s: no fire
      {195, "dnsmasq[412]: segfault at 0 ip 00401234"},  // 25 s: fires
      {200, "kernel: WAN: link down"},                   // 185..200: fires
      {210, "kernel: WAN: link down"},
      {210, "  WAN: link down (again)", false},
      {215, "kernel: WAN: link down"},                     // a full ring again, 5 s: fires
      {240, "kernel: " + pad + " dnsmasq[77]: segfault"},  // matches in the second piece
      {245, "kernel: " + std::string(226, 'y') + " dnsmasq[77]: segfault"},  // cut: no match
      {250, "dnsmasq[78]: segfault at 0"},  // with the long line's match: fires
      {300, "kernel: WAN: link down"},
      {320, "kernel: Out of memory: Killed process 812"},
      {320, "  Out of memory: Killed process 813", false},
      {400, "dnsmasq[79]: segfault at 0"},
      {405, "kernel: WAN: link down"},
      {406, "kernel: WAN: link down"},  // 300..406: no fire
  };
}

}  // namespace

TEST(KivruleReplay, FiresAgreeWithTheDaemonOnTheSameRulesAndLines) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load(kAgreementRules));
  std::string log;
  for (const timed_line& l : agreement_lines()) {
    r.clock(l.uptime);
    std::string text = (l.stamped ? stamp(l.uptime) + " " : std::string()) + l.text + "\n";
    ASSERT_TRUE(r.feed(text, 5)) << l.text;
  }
  // The daemon's own records in the system log match no rule, so replaying the lines the test
  // wrote is replaying what the daemon read.
  r.box.write("replayed.log", r.written);
  r.box.write("rules.json", kAgreementRules);
  run_result rep = replay(r.box, r.box.path("rules.json"), r.box.path("replayed.log"), {"--json"});
  ASSERT_EQ(rep.status, 0) << rep.err;
  std::vector<long long> fires = json_fires(rep.out);
  ASSERT_EQ(fires.size(), 5u) << rep.out;
  const std::vector<long long> expected = {2, 2, 0, 2, 0};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(static_cast<long long>(r.fires(i)), fires[static_cast<size_t>(i)])
        << "profile " << i << "\n"
        << rep.out;
    EXPECT_EQ(fires[static_cast<size_t>(i)], expected[static_cast<size_t>(i)]) << "profile " << i;
  }
  // The container the daemon loaded replays the same way as the plain text.
  r.box.write("rules.bin", kivtest::pack_rules(kAgreementRules));
  run_result packed =
      replay(r.box, r.box.path("rules.bin"), r.box.path("replayed.log"), {"--json"});
  EXPECT_EQ(json_fires(packed.out), fires);
}

TEST(KivruleReplay, RateClockAgreesWithTheDaemonAtOneLinePerTick) {
  router r;
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load(kAgreementRules));
  // At 2 lines per second, line k of the replayed log is walked at k / 2 s; every feed adds a
  // line and its marker, so the fault line of feed n is line 2n - 1.
  const std::vector<std::string> lines = {
      "WAN: link down", "dnsmasq[1]: segfault", "WAN: link down",       "idle",
      "idle",           "WAN: link down",       "dnsmasq[1]: segfault", "idle",
      "WAN: link down", "WAN: link down",
  };
  for (size_t n = 0; n < lines.size(); ++n) {
    r.clock(static_cast<double>(2 * n + 1) / 2.0);
    ASSERT_TRUE(r.feed(lines[n] + "\n", 5)) << lines[n];
  }
  r.box.write("replayed.log", r.written);
  r.box.write("rules.json", kAgreementRules);
  // wan_down at 0.5, 2.5, 5.5, 8.5, 9.5 s: fires at 5.5 (3 in 5 s) and not again (2 left).
  run_result rep = replay(r.box, r.box.path("rules.json"), r.box.path("replayed.log"),
                          {"--json", "--clock", "rate=2"});
  ASSERT_EQ(rep.status, 0) << rep.err;
  std::vector<long long> fires = json_fires(rep.out);
  ASSERT_EQ(fires.size(), 5u) << rep.out;
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(static_cast<long long>(r.fires(i)), fires[static_cast<size_t>(i)]) << i;
  EXPECT_EQ(fires[0], 1);
  EXPECT_EQ(fires[1], 1);
}

TEST(KivruleReplay, ExampleReportShowsFiresActionsAndTheRuleThatMatchedNothing) {
  kivtest::sandbox sb;
  run_result text = replay(sb, source("examples/rules.json"), source("examples/router.log"));
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(has(text.out,
                  "profile 0 \"wan_down\": active, 3 matches within 60 s, actions "
                  "restart_wan\n"))
      << text.out;
  EXPECT_TRUE(has(text.out, ": nop;restart_wireless\n")) << text.out;
  EXPECT_TRUE(has(text.out,
                  "profile 3 \"oom\": active, 1 match within 10 s, actions reboot\n"
                  "  no line matches\n"));
  EXPECT_TRUE(has(text.out, "inactive: model \"KV-2000\" is not productid \"KV-1000\""));
  EXPECT_TRUE(has(text.out, "\nsummary\nindex  keyword"));
  EXPECT_TRUE(has(text.out, "  <- matched nothing\n"));
  EXPECT_TRUE(has(text.out, "warning: active profile 3 \"oom\" matched no line of the log\n"));
  EXPECT_TRUE(has(text.out, "note: 2 lines of 255 characters or more"));
  EXPECT_TRUE(has(text.out, "note: 3 lines without a time stamp"));
  EXPECT_EQ(text.err, "");  // no progress for a short log, and no log records

  run_result js =
      replay(sb, source("examples/rules.json"), source("examples/router.log"), {"--json"});
  ASSERT_EQ(js.status, 0) << js.err;
  json_object* doc = json_tokener_parse(js.out.c_str());
  ASSERT_NE(doc, nullptr) << js.out;
  json_object *profiles = nullptr, *silent = nullptr, *stats = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(doc, "profiles", &profiles));
  ASSERT_TRUE(json_object_object_get_ex(doc, "matched_nothing", &silent));
  ASSERT_TRUE(json_object_object_get_ex(doc, "log_stats", &stats));
  ASSERT_EQ(json_object_array_length(profiles), 5u);
  ASSERT_EQ(json_object_array_length(silent), 1u);
  EXPECT_EQ(json_object_get_int(json_object_array_get_idx(silent, 0)), 3);
  json_object* lines = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(stats, "lines", &lines));
  EXPECT_EQ(json_object_get_int64(lines), 140);
  // The text report and the JSON report tell the same fires, at the same lines.
  EXPECT_EQ(json_fires(js.out), (std::vector<long long>{2, 1, 1, 0, 0}));
  json_object* wifi = json_object_array_get_idx(profiles, 1);
  json_object *list = nullptr, *actions = nullptr, *line = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(wifi, "fire_list", &list));
  ASSERT_TRUE(json_object_object_get_ex(wifi, "actions", &actions));
  ASSERT_EQ(json_object_array_length(list), 1u);
  ASSERT_TRUE(json_object_object_get_ex(json_object_array_get_idx(list, 0), "line", &line));
  EXPECT_TRUE(has(text.out, "fire 1 at line " + std::to_string(json_object_get_int64(line))));
  EXPECT_EQ(json_object_array_length(actions), 2u);
  json_object* other = json_object_array_get_idx(profiles, 4);
  json_object* active = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(other, "active", &active));
  EXPECT_FALSE(json_object_get_boolean(active));
  json_object_put(doc);
}

TEST(KivruleReplay, LogClockTurnsTheYearAndHoldsOnAStepBack) {
  kivtest::sandbox sb;
  sb.write("rules.json", "[" +
                             kv1000_rule("\"keyword\":\"w\",\"re_pattern\":\"WAN: link down\","
                                         "\"frequency\":\"3\",\"period\":\"60\","
                                         "\"action\":\"restart_wan\"") +
                             "]");
  // 23:59:30, 23:59:50 and 00:00:10 of the next year lie within 40 s.
  sb.write("turn.log",
           "Dec 31 23:59:30 WAN: link down\nDec 31 23:59:50 WAN: link down\n"
           "Jan  1 00:00:10 WAN: link down\n");
  run_result turn = replay(sb, sb.path("rules.json"), sb.path("turn.log"), {"--json"});
  ASSERT_EQ(turn.status, 0) << turn.err;
  EXPECT_EQ(json_fires(turn.out), (std::vector<long long>{1}));
  EXPECT_TRUE(has(turn.out, "\"year_turns\":1")) << turn.out;
  // A stamp a little before the one above it holds the clock: the three matches span 90 s.
  sb.write("back.log",
           "Mar  3 10:00:00 WAN: link down\nMar  3 10:01:30 WAN: link down\n"
           "Mar  3 09:59:00 WAN: link down\n");
  run_result back = replay(sb, sb.path("rules.json"), sb.path("back.log"));
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_TRUE(has(back.out, "note: 1 time stamp run back")) << back.out;
  EXPECT_TRUE(has(back.out, "3 matches, first at line 1; 0 fires")) << back.out;
  // Lines 100 apart at 10 lines per second lie 10 s apart; at 1 per second, 100 s.
  std::string spread;
  for (int i = 0; i < 201; ++i) spread += i % 100 == 0 ? "WAN: link down\n" : "idle\n";
  sb.write("spread.log", spread);
  EXPECT_EQ(json_fires(replay(sb, sb.path("rules.json"), sb.path("spread.log"),
                              {"--json", "--clock", "rate=10"})
                           .out),
            (std::vector<long long>{1}));
  EXPECT_EQ(json_fires(replay(sb, sb.path("rules.json"), sb.path("spread.log"),
                              {"--json", "--clock", "rate=1"})
                           .out),
            (std::vector<long long>{0}));
}

TEST(KivruleReplay, BadInputGetsAClearMessageNeverACrash) {
  kivtest::sandbox sb;
  const std::string rules = source("examples/rules.json");
  // Binary bytes, a zero byte inside a line and a line of a megabyte.
  std::string binary = "Dec  7 08:00:00 kernel: \x01\x02\xff\xfe WAN: link down\n";
  binary += "Dec  7 08:00:01 x"s + '\0' + "y WAN(0): link down\n";
  binary += "Dec  7 08:00:02 " + std::string(1 << 20, 'z') + "\n";
  binary += "Dec  7 08:00:03 WAN(1): link down";  // no line end
  sb.write("binary.log", binary);
  run_result bin = replay(sb, rules, sb.path("binary.log"));
  EXPECT_EQ(bin.status, 0) << bin.err;
  EXPECT_TRUE(has(bin.out, "note: 2 lines hold control or binary bytes")) << bin.out;
  EXPECT_TRUE(has(bin.out, "note: 1 pieces hold a zero byte")) << bin.out;
  EXPECT_TRUE(has(bin.out, "note: 1 lines of 255 characters or more")) << bin.out;
  EXPECT_TRUE(has(bin.out, "note: the last line has no line end")) << bin.out;
  // The line with the zero byte is seen only up to it; the two others match.
  EXPECT_TRUE(has(bin.out, "2 matches, first at line 1; 0 fires")) << bin.out;

  sb.write("empty.log", "");
  run_result empty = replay(sb, rules, sb.path("empty.log"));
  EXPECT_EQ(empty.status, 1);
  EXPECT_TRUE(has(empty.err, "holds no lines")) << empty.err;

  sb.write("bad_regex.json", "[" +
                                 kv1000_rule("\"keyword\":\"b\",\"re_pattern\":\"(unclosed\","
                                             "\"frequency\":\"1\",\"action\":\"nop\"") +
                                 "]");
  run_result bad = replay(sb, sb.path("bad_regex.json"), sb.path("binary.log"));
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(has(bad.err,
                  "would be rejected by the daemon: rule 0: its re_pattern does not "
                  "compile"))
      << bad.err;
  EXPECT_EQ(bad.out, "");

  sb.write("not_json.json", "{\"model\": ");
  run_result nj = replay(sb, sb.path("not_json.json"), sb.path("binary.log"));
  EXPECT_EQ(nj.status, 1);
  EXPECT_TRUE(has(nj.err, "not a JSON array")) << nj.err;

  run_result missing = replay(sb, rules, sb.path("no_such.log"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(has(missing.err, "cannot open")) << missing.err;
  run_result dir = replay(sb, rules, sb.path("tmp"));
  EXPECT_EQ(dir.status, 2);
  EXPECT_TRUE(has(dir.err, "cannot read")) << dir.err;
  for (const char* c : {"rate=0", "rate=-1", "rate=x", "rate=inf", "wall"}) {
    run_result clock = replay(sb, rules, sb.path("binary.log"), {"--clock", c});
    EXPECT_EQ(clock.status, 2) << c;
    EXPECT_TRUE(has(clock.err, "--clock takes log or rate=N")) << c;
  }
  run_result usage = kivrule(sb, {"replay", rules});
  EXPECT_EQ(usage.status, 2);
  EXPECT_TRUE(has(usage.err, "usage: kivrule replay RULES LOG"));
  // Nothing is written outside standard output: no daemon log, no console, no events.
  EXPECT_EQ(sb.read("tmp/kiv.log"), "");
  EXPECT_EQ(sb.read("tmp/service_events.log"), "");
}

TEST(KivruleReplay, GlobalPauseOfAnActiveRuleDropsEveryLine) {
  kivtest::sandbox sb;
  const std::string wan = kv1000_rule(
      "\"keyword\":\"w\",\"re_pattern\":\"WAN: link down\",\"frequency\":\"1\","
      "\"period\":\"10\",\"action\":\"restart_wan\"");
  sb.write("log", "Dec  7 08:00:00 WAN: link down\n");
  sb.write("paused.json",
           "[" + wan + "," + kv1000_rule("\"keyword\":\"p\",\"Global_Pause\":\"1\"") + "]");
  run_result paused = replay(sb, sb.path("paused.json"), sb.path("log"));
  ASSERT_EQ(paused.status, 0) << paused.err;
  EXPECT_TRUE(has(paused.out, "warning: Global_Pause is 1 after these rules")) << paused.out;
  EXPECT_TRUE(has(paused.out, "profile 0 \"w\": active")) << paused.out;
  EXPECT_EQ(json_fires(replay(sb, sb.path("paused.json"), sb.path("log"), {"--json"}).out),
            (std::vector<long long>{0, 0}));
  // The pause of a rule for another model is not taken.
  sb.write("other.json",
           "[" + wan + ",{\"model\":\"KV-2000\",\"keyword\":\"p\",\"Global_Pause\":\"1\"}]");
  EXPECT_EQ(json_fires(replay(sb, sb.path("other.json"), sb.path("log"), {"--json"}).out),
            (std::vector<long long>{1, 0}));
}
