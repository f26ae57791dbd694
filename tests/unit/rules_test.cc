// The rule set: the reader (records, filters, what it refuses, the swap), action lists and their
// checks, the pattern guard and the dump.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "core/kiv_log.h"
#include "core/paths.h"
#include "rules/action_list.h"
#include "rules/dump_mp.h"
#include "rules/libc_differences.h"
#include "rules/pattern_automaton.h"
#include "rules/pattern_guard.h"
#include "rules/pattern_tokens.h"
#include "rules/rule_reader.h"
#include "support/kivtest.h"
#include "support/pattern_memory.h"
#include "update/fleet_report.h"
#include "update/install_rules.h"

using namespace kivtest;

namespace {

// The rule file announced and read as the daemon reads it.
void read_rules(const sandbox& sb, const std::string& json) {
  sb.set("kiv_is_JSON_updated", "1");
  sb.write("tmp/kivjson.json", packed(json));
  read_json(KIV_JSON_PATH);
}

template <typename T>
std::string list(const std::vector<T>& v) {
  std::ostringstream out;
  for (const auto& x : v) out << (out.tellp() ? " " : "") << x;
  return out.str();
}

// Every field of a record, on one line; a rule that is not active as a record holding nothing.
std::string describe(const monitor_profile* active) {
  static const monitor_profile none;
  const monitor_profile& p = active ? *active : none;
  std::vector<std::string> texts;
  std::vector<int32_t> rows, results, retries;
  for (const rule_action& a : p.actions) {
    texts.push_back(a.text);
    rows.push_back(a.checkFuncIndex);
    results.push_back(a.actionResult);
    retries.push_back(a.actionRetry);
  }
  std::ostringstream out;
  out << "active=" << (active ? 1 : 0) << " keyword=" << text_or_none(p.kiv_keyword)
      << " pattern=" << text_or_none(p.re_pattern) << " compiled=" << has_expression(p)
      << " freq=" << p.frequency << " period=" << p.period << " ring=" << list(p.timestamp)
      << " front=" << p.front << " rear=" << p.rear << " actions=" << list(texts)
      << " rows=" << list(rows) << " results=" << list(results) << " retries=" << list(retries)
      << " num=" << p.action_num() << " healing=" << p.isHealing << " index=" << p.actionIndex;
  return out.str();
}

}  // namespace

// The example rules for a KV-1000 with the firmware and MAC they name: every record the reader
// writes, every field it fills, and the dump of the result.
TEST(ReadJson, ExampleRulesRecordsStateAndDump) {
  sandbox sb;
  sb.settings("productid=KV-1000;firmver=3.0.0;buildno=4;extendno=388;label_mac=02:00:5E:10:00:02");
  read_rules(sb, slurp(source("examples/rules.json")));
  std::string state;
  for_each_rule(*hold_rule_set().set,
                [&](int32_t, const monitor_profile* p) { state += describe(p) + "\n"; });
  ASSERT_EQ(std::count(state.begin(), state.end(), '\n'), 5);
  live_profile(1).actions[0].actionResult = 0;  // a run's results are what the dump shows
  live_profile(1).actions[0].actionRetry = 3;
  ASSERT_EQ(dump_mp(), 0);
  expect_golden("example_load.log", normalized_log(sb.read("tmp/kiv.log")) + state);
  expect_golden("example_load.dump", sb.read("tmp/kiv_dump.txt"));
  EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0");
  EXPECT_EQ(access(sb.path("tmp/kivjson.json").c_str(), F_OK), -1) << "read once, then removed";
  EXPECT_EQ(sb.count("tmp/syslog.log", " kiv: [read_json]Update kiv JSON file.\n"), 1u);
}

TEST(ReadJson, FiltersTellActiveOrTheFirstFailure) {
  for (const auto& c : cases("filters.txt")) {
    SCOPED_TRACE(c.where);
    sandbox sb;
    sb.settings(c[0]);
    rule_set set;
    load_report report;
    ASSERT_EQ(
        build_rule_set(("[" + c[1] + "]").c_str(), router_identity_from_settings(), &set, &report),
        RULES_OK);
    EXPECT_EQ(report.notes[0].active ? "active" : report.notes[0].inactive_reason, c[2])
        << c[0] << " " << c[1];
    EXPECT_EQ(set.profiles.size(), report.notes[0].active ? 1u : 0u) << "only active rules cost";
  }
  sandbox sb;
  sb.settings("firmver=" + std::string(70, '9') + ";buildno=3");
  EXPECT_EQ(device_fwver(), std::string(70, '9') + ".3_") << "the whole version, as sent";
  sb.set("productid", "KV-1000");
  rule_set set;
  ASSERT_EQ(
      build_rule_set(("[" + rule("\"target_fwver\":\"" + device_fwver() + "\"") + "]").c_str(),
                     router_identity_from_settings(), &set),
      RULES_OK);
  EXPECT_EQ(set.profiles.size(), 1u) << "a rule for the version the request sends is active";
  sb.settings("firmver=" + std::string(200, '9') + ";buildno=3");
  EXPECT_EQ(device_fwver(), std::string(KIV_FWVER_MAX, '9')) << "at most 127 characters";
}

// Each way a file can fail leaves the set in force and is read once; good files replace it.
TEST(ReadJson, FailedFilesKeepTheSetAndGoodOnesReplaceIt) {
  for (const auto& c : cases("loads.txt")) {
    SCOPED_TRACE(c.where);
    sandbox sb;
    sb.set("productid", "KV-1000");
    read_rules(sb, "[{\"model\":\"KV-1000\",\"keyword\":\"kept\",\"frequency\":2},{}]");
    const rule_set* before = hold_rule_set().set;
    live_profile(0).timestamp[0] = 5;  // runtime state that a new set must not carry over
    live_profile(0).front = 0;
    if (c[0] == "plain") sb.write("tmp/kivjson.json", c[1]);
    if (c[0] == "header" || c[0] == "cut")
      sb.write("tmp/kivjson.json", packed(c[1]).substr(0, c[0] == "cut" ? 41 : 40));
    if (c[0] == "packed" || c[0] == "unannounced") sb.write("tmp/kivjson.json", packed(c[1]));
    if (c[0] != "unannounced") sb.set("kiv_is_JSON_updated", "1");
    read_json(KIV_JSON_PATH);
    EXPECT_EQ(sb.count("tmp/kiv.log", ")]" + c[2] + "\n"), 1u) << c[1];
    EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0");
    const bool kept_file = c[0] == "unannounced" || c[0] == "header";
    EXPECT_EQ(access(sb.path("tmp/kivjson.json").c_str(), F_OK) == 0, kept_file) << c[1];
    rule_set_hold hold = hold_rule_set();
    if (c[3] == "kept") {
      EXPECT_EQ(hold.set, before) << c[1];
      EXPECT_EQ(hold.set->profiles.at(0).front, 0);
    } else {
      ASSERT_EQ(hold.set->count, std::stoi(c[3])) << c[1];
      for (const monitor_profile& p : hold.set->profiles) EXPECT_EQ(p.front, -1);
    }
  }
}

// An allocation that fails while a file is read (rings of 4 MiB under a 2 MiB margin of address
// space) leaves the set in force and the daemon running.
TEST(ReadJson, AFileThereIsNoMemoryForLeavesTheSetAndGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(KIV_TEST_EMULATED)
  GTEST_SKIP() << "a sanitizer's runtime reserves address space far beyond the margin, and a "
                  "user-mode emulator keeps the limit to itself";
#endif
  sandbox sb;
  sb.set("productid", "KV-1000");
  read_rules(sb, "[" + rule("\"keyword\":\"kept\"") + "]");
  std::string rings;
  for (int i = 0; i < 15; ++i) rings += (i ? "," : "") + rule("\"frequency\":65536");
  sb.write("tmp/kivjson.json", packed("[" + rings + "]"));
  sb.set("kiv_is_JSON_updated", "1");
  EXPECT_EQ(in_child([] {
              const std::string status = slurp("/proc/self/status");
              const rlim_t size = std::stoull(status.substr(status.find("VmSize:") + 7)) << 10;
              const struct rlimit cap = {size + (2u << 20), size + (2u << 20)};
              setrlimit(RLIMIT_AS, &cap);
              read_json(KIV_JSON_PATH);
              _exit(hold_rule_set().set->count == 1 ? 0 : 3);
            }),
            0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Cannot malloc for monitor profile!!!\n"), 1u);
}

TEST(ReadJson, GlobalPauseIsTakenFromActiveRulesInOrderAndStays) {
  sandbox sb;
  sb.set("productid", "KV-1000");
  read_rules(sb, "[" + rule("\"Global_Pause\":\"1\"") + "," + rule("\"Global_Pause\":0") +
                     ",{\"model\":\"KV-2000\",\"Global_Pause\":\"1\"}]");
  EXPECT_EQ(global_pause.load(), 0);
  // Taken with the file's set: a later rule that makes the load fail leaves it as it was.
  read_rules(sb, "[" + rule("\"Global_Pause\":1") + "," + rule("\"re_pattern\":\"[\"") + "]");
  EXPECT_EQ(global_pause.load(), 0);
  read_rules(sb, "[" + rule("\"Global_Pause\":1") + "]");
  EXPECT_EQ(global_pause.load(), 1);
  read_rules(sb, "[" + rule("\"keyword\":\"x\"") + "]");
  EXPECT_EQ(global_pause.load(), 1) << "a file without the key leaves it";
  EXPECT_TRUE(
      in_order(sb.read("tmp/kiv.log"), {")]Global_Pause[0]=[1]\n", ")]Global_Pause[1]=[0]\n",
                                        ")]Global_Pause[0]=[1]\n", ")]Global_Pause[0]=[1]\n"}));
}

TEST(ReadJson, DebugFlagKeepsTheFileAndWritesCopiesNeverThroughALink) {
  sandbox sb;
  sb.set("productid", "KV-1000");
  sb.set("kiv_debug_flag", "1");
  sb.write("dev/console", "");
  const std::string json = "[ " + rule("\"keyword\" : \"wan\"") + " ]";
  read_rules(sb, json);
  EXPECT_EQ(sb.read("tmp/kivjson.json"), packed(json));
  EXPECT_EQ(sb.read("tmp/decjsonobj.txt"), "[" + rule("\"keyword\":\"wan\"") + "]");
  EXPECT_EQ(sb.read("tmp/decjsonfile.txt"), json);
  sb.write("elsewhere", "keep");
  unlink(sb.path("tmp/decjsonobj.txt").c_str());
  symlink(sb.path("elsewhere").c_str(), sb.path("tmp/decjsonobj.txt").c_str());
  read_rules(sb, "[" + rule("") + "," + rule("") + "]");
  EXPECT_EQ(hold_rule_set().set->count, 2)
      << "a copy that cannot be written does not stop the load";
  EXPECT_EQ(sb.read("elsewhere"), "keep");
}

TEST(ActionList, GrammarAndCheckRows) {
  sandbox sb;
  for (const auto& c : cases("actions.txt")) {
    SCOPED_TRACE(c.where);
    const int32_t size = static_cast<int32_t>(c[0].size() + 1);
    std::vector<rule_action> actions;
    const int32_t count = get_num_of_action(c[0].c_str(), size);
    EXPECT_EQ(parse_action(&actions, c[0].c_str(), size, count), count);
    std::string items;
    std::vector<int32_t> rows;
    for (const auto& a : actions) {
      items += "[" + a.text + "]";
      rows.push_back(a.checkFuncIndex);
      EXPECT_EQ(a.actionResult + a.actionRetry, -1) << "no run yet";
    }
    EXPECT_EQ(items, c[1]) << c[0];
    EXPECT_EQ(list(rows), c[2]) << c[0];
  }
  // The bounded copy: only size - 1 characters of the text count; at most `count` are kept.
  std::vector<rule_action> actions;
  EXPECT_EQ(get_num_of_action("nop;reboot", 4), 1);
  EXPECT_EQ(parse_action(&actions, "nop;reboot", 11, 1), 1);
  EXPECT_EQ(actions.at(0).text, "nop");
  EXPECT_EQ(get_num_of_action(nullptr, 1), -1);
  EXPECT_EQ(parse_action(nullptr, "nop", 4, 1), -1);
  EXPECT_EQ(search_index(nullptr, "nop"), 2);
  EXPECT_TRUE(in_order(sb.read("tmp/kiv.log"),
                       {")][get_num_of_action]action is NULL!!\n", ")]mp or action is NULL!!\n",
                        ")][search_index]mp is NULL!!\n"}));
}

namespace {

bool is_word_byte(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Whether this C library's counts go to 32767 as glibc's do (musl's stop at 255).
bool library_takes_glibc_counts() {
  return library_refusal("a{256}").empty();
}

// The tokens of a pattern as tokens.txt writes them.
std::string tokens_of(const char* pattern) {
  std::istringstream names(
      "end byte any bracket byte_class anchor back_reference open close alternation repeat "
      "misplaced trailing_backslash");
  const std::vector<std::string> name{std::istream_iterator<std::string>(names), {}};
  std::string out;
  pattern_reader r(pattern);
  for (pattern_token t = r.next(); t.kind != pattern_token_kind::end; t = r.next()) {
    out += std::string(out.empty() ? "" : " ") + name.at(static_cast<size_t>(t.kind)) + "(" +
           std::string(t.at, t.end);
    if (t.kind == pattern_token_kind::bracket)
      out += std::string(t.backslash_member ? "+esc" : "") + (t.closed ? "" : "+open");
    out += ")";
    if (t.kind == pattern_token_kind::repeat)
      out += std::to_string(t.min) + "," + std::to_string(t.max) + (t.escaped ? "+esc" : "");
  }
  return out;
}

}  // namespace

TEST(PatternTokens, ReadAsRegcompReadsThem) {
  for (const auto& c : cases("tokens.txt")) {
    SCOPED_TRACE(c.where);
    EXPECT_EQ(tokens_of(c[0].c_str()), c[1]) << c[0];
  }
}

// Each class and word assertion against the C library over every byte: alone, and beside a
// letter and a blank on either side (what "\b" and its kin see on each side of it).
TEST(PatternAutomaton, ClassesAndWordEdgesTakeTheBytesTheCLibraryTakes) {
  for (const auto& c : cases("classes.txt")) {
    SCOPED_TRACE(c.where);
    const std::optional<pattern_automaton> automaton = build_automaton(c[0].c_str());
    regex_t re;
    ASSERT_TRUE(automaton) << c[0];
    ASSERT_EQ(regcomp(&re, c[0].c_str(), REG_EXTENDED | REG_NOSUB), 0) << c[0];
    // A library that takes the text's edges for word edges (musl) has its own "\b" and "\B":
    // the one at either edge, the other only between two bytes both in or both out of words.
    const bool own_edges = library_edges_are_word_edges() && (c[0] == "\\b" || c[0] == "\\B");
    int alone = 0;
    for (int b = 1; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      for (const std::string& text : {byte, "a" + byte, byte + "a", " " + byte, byte + " "}) {
        const bool matches = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
        const bool same_side = text.size() == 2 && is_word_byte(text[0]) == is_word_byte(text[1]);
        const bool expected =
            !own_edges ? automaton_matches(*automaton, text) : (c[0] == "\\b" || same_side);
        EXPECT_EQ(expected, matches) << c[0] << " on byte " << b;
        if (text.size() == 1) alone += matches;
      }
    }
    EXPECT_EQ(std::to_string(alone), own_edges ? c.at(2) : c[1]) << c[0];
    regfree(&re);
  }
}

TEST(PatternGuard, CostlyPatternsAreRefusedWithTheReasonOthersCompile) {
  router_identity id;
  id.productid = "KV-1000";
  for (const auto& c : cases("patterns.txt")) {
    SCOPED_TRACE(c.where);
    const std::string json = "[" + rule("\"re_pattern\":" + json_string(c[0])) + "]";
    rule_set set;
    load_report report;
    const int rc = build_rule_set(json.c_str(), id, &set, &report);
    if (c[1] == "-") {
      // A pattern kiv takes compiles on glibc; a C library that refuses it (musl's count limit,
      // its stricter braces) has the reader refuse it with that library's reason.
      EXPECT_EQ(rc, library_refusal(c[0]).empty() ? RULES_OK : RULES_BAD_REGEX)
          << c[0].substr(0, 60);
    } else {
      // The C library judges a pattern first: where it refuses one (musl refuses counts above
      // 255), its message is the reason. The table holds glibc's.
      // (Asked only past kiv's guard: the costly rows would take the library minutes.)
      const std::string library =
          pattern_refusal(c[0].c_str()).empty() ? library_refusal(c[0]) : std::string();
      const std::string& reason = library.empty() || library_takes_glibc_counts() ? c[1] : library;
      if (!library.empty()) {
        EXPECT_EQ(library, reason) << c[0].substr(0, 60);
      }
      EXPECT_EQ(rc, RULES_BAD_REGEX) << c[0].substr(0, 60);
      EXPECT_NE(in_glibc_words(report.notes.back().regex_error).find(reason), std::string::npos)
          << c[0].substr(0, 60) << ": " << report.notes.back().regex_error;
    }
  }
}

// Whatever pattern the reader accepts, matching hostile lines grows the process by less than
// 8 MiB; the same lines grow regexec on the pattern by far more.
TEST(PatternGuard, NoAcceptedPatternGrowsTheMatcherBy8MiB) {
  std::vector<std::string> patterns = hostile_patterns(21, 24);
  patterns.push_back("x: \\w*a\\w{16}b");
  const std::vector<std::string> lines = hostile_lines(21, 2000);
  int accepted = 0;
  for (const std::string& p : patterns) {
    const matching_cost cost = cost_of_matching(p, lines);
    ASSERT_GE(cost.growth_kib, 0) << p;
    accepted += !cost.refused;
    EXPECT_TRUE(cost.refused || cost.growth_kib < 8192) << p << ": " << cost.growth_kib << " KiB";
  }
  EXPECT_GT(accepted, 20);
  // The lines are hostile enough: glibc's regexec (uClibc-ng's too) grows by far more on the
  // control pattern. musl's matcher keeps its memory bounded, so there is nothing to compare.
  if (library_takes_glibc_counts()) {
    EXPECT_GT(cost_of_matching(patterns.back(), lines, true).growth_kib, 8192);
  }
}

namespace {

// VmHWM of this process in KiB.
long peak_kib() {
  std::istringstream status(slurp("/proc/self/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace

// However many literals a rule file brings, the shared prefilter built when it is read stays
// within its states, about 850 KiB, and building it raises the reader's peak by little more; the
// rules past its bound keep their own prefilter (the file loads as it always did), and a line is
// still turned away only for rules whose literals it lacks.
TEST(SharedPrefilter, SizeIsBoundedWhenTheRulesAreRead) {
  std::mt19937 rng(7);
  auto word = [&rng] {
    std::string w;
    while (w.size() < 12) w += static_cast<char>('a' + rng() % 26);
    return w;
  };
  std::string json;
  std::vector<std::string> first;  // the literals of rule 0
  for (int r = 0; r < 3000; ++r) {
    const std::string a = word(), b = word(), c = word() + " " + word();
    if (r == 0) first = {a, b, c};
    json += (r ? "," : "") + rule("\"re_pattern\":\"" + a + "[0-9]" + b + ".*" + c + "\"");
  }
  router_identity id;
  id.productid = "KV-1000";
  rule_set set;
  kiv_log_to_stream(nullptr);
  ASSERT_EQ(build_rule_set(("[" + json + "]").c_str(), id, &set), RULES_OK);
  kiv_log_to_file();
  const shared_prefilter& f = set.prefilter;
  EXPECT_LE(f.states(), kSharedPrefilterStates);
  EXPECT_LT(f.bytes(), 900u * 1024);
  size_t taken = 0;
  for (size_t k = 0; k < set.profiles.size(); ++k) taken += f.rule_at[k + 1] > f.rule_at[k];
  EXPECT_GT(taken, 1000u);
  EXPECT_LT(taken, 3000u);
  prefilter_scan scan;
  const std::string line = first[0] + "1" + first[1] + " 7 " + first[2];
  scan_shared_prefilter(f, set.profiles.size(), line, &scan);
  for (size_t k = 0; k < set.profiles.size(); ++k)
    ASSERT_EQ(scan_may_match(scan, k), k == 0 || f.rule_at[k + 1] == f.rule_at[k]) << k;
  EXPECT_EQ(profile_regexec(set.profiles[0], line.c_str(), line.size()), 0);
  EXPECT_EQ(in_child([&set] {
              std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
              const long before = peak_kib();
              const shared_prefilter again = build_shared_prefilter(set.profiles);
              _exit(before > 0 && (kSanitized || peak_kib() - before < 2048) &&
                            again.states() == set.prefilter.states()
                        ? 0
                        : 1);
            }),
            0)
      << "building it takes at most 2 MiB at its peak";
}

TEST(DumpMp, NoSetLeavesTheFileAndADumpNeverFollowsALink) {
  sandbox sb;
  sb.write("tmp/kiv_dump.txt", "earlier");
  EXPECT_EQ(dump_mp(), -1);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), "earlier");
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]=====mp is NULL=====\n"), 1u);
  sb.set("productid", "KV-1000");
  read_rules(sb, "[ ]");
  unlink(sb.path("tmp/kiv_dump.txt").c_str());
  symlink(sb.path("elsewhere").c_str(), sb.path("tmp/kiv_dump.txt").c_str());
  EXPECT_EQ(dump_mp(), 0);
  EXPECT_EQ(access(sb.path("elsewhere").c_str(), F_OK), -1);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"),
            "[]\n=====checkActionList=====\nglobal_pause=[0]\ngArraylen=[0]\n"
            "Action list[0]=[nop]\nAction list[1]=[restart_wan]\n");
}

// kivrule check's warnings on what differs between the C libraries, held against the library
// the suite runs on: a library with musl's count limit refuses exactly the patterns warned of.
TEST(CLibraryDifferences, CountsAboveMuslsLimitAndWordEdgesLeftToTheLibrary) {
  for (const auto& c : cases("libc_differences.txt")) {
    std::string warned;
    for (const std::string& w : c_library_differences(c[0].c_str(), c[1] == "1"))
      warned += std::string(warned.empty() ? "" : " ") +
                (w.find("count above 255") != std::string::npos ? "count" : "edge");
    EXPECT_EQ(warned.empty() ? "-" : warned, c[2]) << c.where;
    const bool count = warned.find("count") != std::string::npos;
    EXPECT_EQ(!library_refusal(c[0]).empty(), count && !library_takes_glibc_counts()) << c.where;
  }
}
