// Detection: the ring of match times, the line read's pieces, one line walked over a rule set
// with every record it writes, the trigger thread and the storage report.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstring>
#include <random>
#include <sstream>

#include "core/kiv_log.h"
#include "core/stop.h"
#include "detect/freq_window.h"
#include "detect/line_queue.h"
#include "detect/match_func.h"
#include "detect/monitor_syslog.h"
#include "detect/own_lines.h"
#include "report/fleet_counts.h"
#include "rules/pattern_literals.h"
#include "rules/pattern_tokens.h"
#include "rules/rule_reader.h"
#include "storage/monitor_jffs.h"
#include "support/kivtest.h"
#include "trigger/monitor_statistics.h"
#include "update/fleet_report.h"

using namespace kivtest;

TEST(FreqWindow, RingsFillSlideAndFire) {
  for (const auto& c : cases("ring.txt")) {
    SCOPED_TRACE(c.where);
    monitor_profile p;
    p.frequency = static_cast<uint32_t>(std::stoul(c[0]));
    p.period = static_cast<uint32_t>(std::stoul(c[1]));
    p.timestamp.assign(p.frequency, 0.0f);
    std::istringstream times(c[2]);
    for (std::string t; times >> t;) record_timestamp(&p, std::stod(t));
    EXPECT_EQ(std::to_string(p.front) + " " + std::to_string(p.rear) + " " +
                  std::to_string(is_freq_array_full(&p)) + " " +
                  std::to_string(is_match_condition(&p)),
              c[3] + " " + c[4] + " " + c[5] + " " + c[6])
        << c[0] << " | " << c[1] << " | " << c[2];
  }
  // A ring whose positions lie outside it is never used; a missing profile is logged.
  sandbox sb;
  monitor_profile p;
  p.frequency = 2;
  p.timestamp = {1, 2};
  p.front = 5;
  record_timestamp(&p, 3);
  EXPECT_EQ(p.timestamp, (std::vector<double>{1, 2}));
  EXPECT_EQ(is_match_condition(&p), 0);
  p.front = 1;
  p.rear = 0;
  p.period = 60;
  EXPECT_EQ(is_time_diff_match(&p), 1) << "a second apart is inside a minute";
  p.timestamp = {0.0 / 0.0, 2};
  EXPECT_EQ(is_time_diff_match(&p), 0) << "not a number is outside every window";
  record_timestamp(nullptr, 1);
  EXPECT_EQ(is_freq_array_full(nullptr) + is_time_diff_match(nullptr) + is_match_condition(nullptr),
            0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]mp is NULL!\n"), 4u)
      << "the condition logs once, by the full test";
}

TEST(FreqWindow, UptimeFromTheTestClock) {
  sandbox sb;
  EXPECT_GT(read_uptime(), 0.0) << "the kernel's, while there is no test clock";
  sb.clock(0);
  sb.write("proc/uptime", "17000001.10 10.00\n99 99\n");
  EXPECT_EQ(read_uptime(), 17000001.1) << "past 2^24 s a single-precision time steps by 2 s";
  sb.write("proc/uptime", "garbage\n");
  EXPECT_EQ(read_uptime(), 0.0);
}

TEST(SyslogMonitor, PiecesOfTheLineRead) {
  for (const auto& c : cases("pieces.txt")) {
    SCOPED_TRACE(c.where);
    std::string pieces;
    for (size_t at = 0; at < c[0].size();) {
      bool line_end = false;
      size_t n = next_piece_length(c[0].data() + at, c[0].size() - at, c[1] == "1", &line_end);
      if (n == 0) break;
      EXPECT_EQ(line_end, c[0][at + n - 1] == '\n');
      pieces += "[" + c[0].substr(at, n) + "]";
      at += n;
    }
    EXPECT_EQ(pieces, c.size() > 2 ? c[2] : "") << c[0].substr(0, 20);
  }
}

// The follower's buffer, fed in reads of any size, hands out the pieces, places and line numbers
// that cutting the whole text gives (the look for kiv's own lines cuts so): the two never differ.
TEST(LogPieces, BufferedReadsCutAsTheWholeText) {
  std::mt19937 ran(7);
  std::vector<std::string> texts;
  for (const auto& c : cases("pieces.txt")) texts.push_back(c[0]);
  std::string mixed;
  for (int i = 0; i < 400; ++i)
    mixed += std::string(ran() % 600, static_cast<char>('a' + i % 26)) + (i % 7 ? "\n" : "");
  texts.push_back(mixed);
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 20));
    std::string whole, buffered;
    uint64_t line = 0;
    for_each_piece(text, [&](std::string_view piece, line_place place) {
      line += place.at_start ? 1 : 0;
      whole += "[" + std::string(piece) + "]" + (place.at_start ? "s" : "") +
               (place.at_end ? "e" : "") + std::to_string(line);
    });
    piece_buffer b;
    size_t fed = 0;
    for (bool at_end = false;;) {
      const cut_piece p = take_piece(b, at_end);
      if (p.text) {
        buffered += "[" + std::string(p.text, p.length) + "]" + (p.place.at_start ? "s" : "") +
                    (p.place.at_end ? "e" : "") + std::to_string(p.line);
        continue;
      }
      if (at_end) break;
      size_t room = 0;
      char* into = piece_room(b, &room);
      const size_t n = std::min<size_t>({room, text.size() - fed, 1 + ran() % 700});
      std::memcpy(into, text.data() + fed, n);
      pieces_read(b, n);
      fed += n;
      at_end = fed == text.size();
    }
    EXPECT_EQ(buffered, whole);
  }
}

// kiv's own lines are matched in the pieces the follower reads them in: "$" is the line's end,
// and a line of 255 characters ends in an empty piece of its own.
TEST(OwnLines, MatchedInTheFollowersPieces) {
  sandbox sb;
  ASSERT_TRUE(
      install("[" + rule(R"("keyword":"k","re_pattern":"x$","frequency":1,"action":"nop")") + "]"));
  const monitor_profile& p = live_profile(0);
  EXPECT_TRUE(line_matches(p, std::string(253, 'a') + "x"));
  EXPECT_FALSE(line_matches(p, std::string(254, 'a') + "x")) << "its first piece is not its end";
  EXPECT_TRUE(line_matches(p, std::string(300, 'a') + "x"));
  bool loop = false;
  const own_lines router = kiv_own_lines({"restart_wan", "x", "restart_wan"});
  EXPECT_EQ(router.lines, std::vector<std::string>(
                              {"Jan  1 00:00:00 kiv: [self_healing]take action-[restart_wan].",
                               "Jan  1 00:00:00 kiv: [self_healing]take action-[x]."}));
  EXPECT_TRUE(own_lines_matched(p, {"nop"}, router, &loop).empty());
  ASSERT_TRUE(install(
      "[" + rule(R"("keyword":"k","re_pattern":"kiv: ","frequency":1,"action":"nop")") + "]"));
  const std::vector<std::string> all = own_lines_matched(live_profile(0), {"nop"}, router, &loop);
  EXPECT_TRUE(loop) << "its own action's line first";
  EXPECT_EQ(all.size(), 1u + 2u + kiv_fixed_lines().size());
}

// What waits while the rule set is held: in order with its times, within its bound; beyond it
// the lines are dropped, each counted once however many of its pieces are, until a drain.
TEST(LineQueue, KeepsOrderAndTimesWithinItsBoundAndCountsWhatItDrops) {
  line_queue q;
  const uint64_t lost_before = syslog_lines_lost();
  const uint32_t reported_before = take_counts().lost;
  const std::string text(200, 'x');
  uint64_t line = 0;
  while (queue_piece(q, text.c_str(), {}, line + 1, 101.0 + static_cast<double>(line), false))
    ++line;
  ++line;  // the one that did not fit
  EXPECT_LE(q.bytes, KIV_LINE_QUEUE_MAX);
  EXPECT_GT(q.pieces.size(), KIV_LINE_QUEUE_MAX / (text.size() + sizeof(queued_piece)) - 1);
  EXPECT_FALSE(queue_piece(q, "", {true, false}, ++line, 1, false)) << "nothing fits once full";
  EXPECT_FALSE(queue_piece(q, "", {false, true}, line, 1, false));
  const queued_piece first = take_queued(q);
  EXPECT_EQ(first.line, 1u);
  EXPECT_EQ(first.received, 101.0);
  EXPECT_EQ(take_queued(q).received, 102.0);
  EXPECT_FALSE(queue_piece(q, "x", {}, ++line, 1, false)) << "full until drained";
  EXPECT_EQ(drain_queue(q), 3u) << "the line that filled it, one of two pieces, one more";
  EXPECT_EQ(syslog_lines_lost() - lost_before, 3u);
  EXPECT_EQ(take_counts().lost - reported_before, 3u) << "the fleet report's lost lines";
  EXPECT_TRUE(q.pieces.empty());
  EXPECT_EQ(q.bytes, 0u);
  EXPECT_TRUE(queue_piece(q, "y", {}, ++line, 7, true));
  EXPECT_EQ(take_queued(q).text, "y");
  EXPECT_EQ(drain_queue(q), 0u);
}

// Lines walked over a rule set: matches, non-matches, rings, the pause and the console's debug
// dump, record for record.
TEST(SyslogMonitor, WalkRecordsEveryStep) {
  sandbox sb;
  sb.write("dev/console", "");
  sb.clock(10);
  ASSERT_TRUE(
      install("[{\"model\":\"KV-2000\",\"re_pattern\":\"link\"}," +
              rule("\"keyword\":\"wan\",\"re_pattern\":\"^WAN: link (down|up)$\",\"frequency\":2,"
                   "\"period\":60,\"action\":\"restart_wan;nop\"") +
              "," + rule("\"keyword\":\"noring\",\"re_pattern\":\"link\"") + "," +
              rule("\"keyword\":\"nopattern\"") + "]"));
  sb.write("tmp/kiv.log", "");
  int paused = 0;
  uint64_t n = 0;
  auto walk = [&](const char* line) { return walk_log_line(log_piece{line, {}, ++n}, &paused); };
  for (const char* line : {"WAN: link down", "wan: link down", "", "WAN: link up"})
    EXPECT_TRUE(walk(line));
  global_pause.store(1);
  EXPECT_FALSE(walk("WAN: link down"));
  EXPECT_FALSE(walk("WAN: link down"));
  global_pause.store(0);
  sb.set("kiv_debug_flag", "1");
  sb.clock(75.5);
  EXPECT_TRUE(walk("WAN: link down"));
  expect_golden("walk.log", normalized_log(sb.read("tmp/kiv.log")) + "-- console --\n" +
                                blank_lines(sb.read("dev/console")));
}

// The prefilter's literals per pattern. Over every pattern and line, with regexec alone, with the
// prefilter, and as the rule reader readies a profile (prefilter and, for a plain pattern, the
// automaton): the verdict is regexec's and match_func writes the same records.
TEST(SyslogMonitor, PrefilterAndAutomatonNeverChangeAVerdictOrARecord) {
  std::string logs[3];
  int automata = 0;
  for (int mode : {0, 1, 2}) {
    sandbox sb;
    for (const auto& c : cases("literals.txt")) {
      SCOPED_TRACE(c.where);
      std::string given;
      for (const std::string& l : required_literals(c[0].c_str())) given += "[" + l + "]";
      EXPECT_EQ(given, c[1]) << c[0];
      regex_t re;
      if (regcomp(&re, c[0].c_str(), REG_EXTENDED) != 0) continue;
      monitor_profile p;
      p.re_pattern = c[0];
      if (mode == 2) {
        ASSERT_EQ(compile_pattern(c[0].c_str(), &p.pattern), "") << c[0];
        automata += p.pattern.automaton.has_value();
      } else {
        p.pattern.regex.reset(new regex_t);
        ASSERT_EQ(regcomp(p.pattern.regex.get(), c[0].c_str(), REG_EXTENDED), 0);
        if (mode == 1) p.pattern.literals = required_literals(c[0].c_str());
      }
      for (const auto& line : cases("literal_lines.txt")) {
        SCOPED_TRACE(line.where);
        const bool matches = regexec(&re, line[0].c_str(), 0, nullptr, 0) == 0;
        EXPECT_TRUE(!matches || may_match(p.pattern.literals, line[0]))
            << c[0] << " on " << line[0];
        EXPECT_EQ(match_func(&p, line[0].c_str()), matches ? 1 : 0) << c[0] << " on " << line[0];
      }
      regfree(&re);
    }
    logs[mode] = sb.read("tmp/kiv.log");
  }
  EXPECT_GT(automata, 30);
  EXPECT_GT(logs[0].size(), 0u);
  EXPECT_TRUE(logs[0] == logs[1] && logs[0] == logs[2]);
}

namespace {

// Rule sets and log lines drawn from one small vocabulary, so that the literals of many rules
// share prefixes and stand in the lines, whole, cut or beside each other.
const std::vector<std::string> kWords = {"WAN", "link", "down", "up",  "wl0", "wl01", "dnsmasq[",
                                         "]: ", "fail", "a",    "ab",  "abc", "b",    "kernel",
                                         " ",   ":",    "x",    "(0)", "1",   "12"};

std::string escaped(const std::string& word) {
  std::string out;
  for (char c : word)
    out += pattern_special(static_cast<unsigned char>(c)) ? "\\" + std::string(1, c)
                                                          : std::string(1, c);
  return out;
}

// A pattern of up to five parts: words, optional, repeated or alternated words, classes, anchors.
std::string generated_pattern(std::mt19937& rng) {
  auto word = [&] { return escaped(kWords[rng() % kWords.size()]); };
  std::string p;
  for (int n = 1 + static_cast<int>(rng() % 5); n > 0; --n) {
    const unsigned kind = rng() % 9;
    p += kind == 0   ? "(" + word() + "|" + word() + ")"
         : kind == 1 ? "(" + word() + ")?"
         : kind == 2 ? "[0-9]+"
         : kind == 3 ? ".*"
         : kind == 4 ? (n == 1 ? "$" : "^")
                     : word();
  }
  return p;
}

// A line of words and digits; one in eight is longer than a piece.
std::string generated_line(std::mt19937& rng) {
  std::string line;
  for (int n = static_cast<int>(rng() % 9); n > 0; --n)
    line += kWords[rng() % kWords.size()] + (rng() % 3 ? "" : std::to_string(rng() % 20));
  if (rng() % 8 == 0)
    while (line.size() < 300) line += kWords[rng() % kWords.size()];
  return line;
}

// The matches and records of lines walked over a set, each line in pieces as the monitor reads
// them (at most 1 MiB of records: the log is not rotated).
std::string walk_all(sandbox& sb, rule_set& set, const std::vector<std::string>& lines) {
  sb.write("tmp/kiv.log", "");
  kiv_log("walk_all", 1, "\n");  // a record outside a walk opens the emptied log
  std::string matches;
  uint64_t n = 0;
  for (const std::string& line : lines) {
    ++n;
    for (size_t at = 0; at == 0 || at < line.size(); at += KIV_PIECE_MAX) {
      const std::string piece = line.substr(at, KIV_PIECE_MAX);
      kiv_log_walk walk;
      walk_profiles(
          set, log_piece{piece.c_str(), {at == 0, at + KIV_PIECE_MAX >= line.size()}, n}, 2.5f,
          [&](int32_t i) { matches += std::to_string(i) + "@" + std::to_string(n) + " "; });
    }
  }
  return matches + sb.read("tmp/kiv.log");
}

}  // namespace

// Generated rule sets walked with their shared prefilter and with every rule alone give the
// same records, matches and rings; the prefilter turns a line away for a rule exactly when the
// rule's own prefilter does.
TEST(SharedPrefilter, WalksAsEveryRuleAlone) {
  sandbox sb;
  std::mt19937 rng(31);
  router_identity id;
  id.productid = "KV-1000";
  int turned_away = 0, taken = 0;
  for (int round = 0; round < 40; ++round) {
    std::string json;
    for (int r = static_cast<int>(rng() % 40); r >= 0; --r) {
      std::string pattern = generated_pattern(rng);
      compiled_pattern probe;
      if (!compile_pattern(pattern.c_str(), &probe).empty()) continue;
      json += (json.empty() ? "" : ",") +
              rule("\"frequency\":2,\"re_pattern\":" + json_string(pattern));
    }
    rule_set shared, alone;
    kiv_log_to_stream(nullptr);
    ASSERT_EQ(build_rule_set(("[" + json + "]").c_str(), id, &shared), RULES_OK);
    ASSERT_EQ(build_rule_set(("[" + json + "]").c_str(), id, &alone), RULES_OK);
    kiv_log_to_file();
    shared.prefilter = build_shared_prefilter(shared.profiles, 1);
    alone.prefilter = {};
    std::vector<std::string> lines;
    for (int l = 0; l < 60; ++l) lines.push_back(generated_line(rng));
    prefilter_scan scan;
    for (const std::string& line : lines) {
      const std::string piece = line.substr(0, KIV_PIECE_MAX);
      scan_shared_prefilter(shared.prefilter, shared.profiles.size(), piece, &scan);
      for (size_t k = 0; k < shared.profiles.size(); ++k) {
        const bool taken_here = shared.prefilter.rule_at[k + 1] > shared.prefilter.rule_at[k];
        taken += taken_here;
        EXPECT_EQ(scan_may_match(scan, k),
                  !taken_here || may_match(shared.profiles[k].pattern.literals, piece))
            << *shared.profiles[k].re_pattern << " on " << piece;
        turned_away += !scan_may_match(scan, k);
      }
    }
    const std::string with = walk_all(sb, shared, lines), without = walk_all(sb, alone, lines);
    size_t at = 0;
    while (at < with.size() && at < without.size() && with[at] == without[at]) ++at;
    EXPECT_EQ(at, with.size()) << "first difference:\n"
                               << with.substr(with.rfind('\n', at) + 1, 300) << "\n-- alone:\n"
                               << without.substr(without.rfind('\n', at) + 1, 300);
    EXPECT_EQ(with.size(), without.size());
    for (size_t k = 0; k < shared.profiles.size(); ++k)
      EXPECT_EQ(shared.profiles[k].timestamp, alone.profiles[k].timestamp);
  }
  EXPECT_GT(turned_away, 10000);
  EXPECT_GT(taken, 20000);
}

TEST(MonitorStatistics, HealsAReadyProfileAndSurvivesAShrinkingSet) {
  sandbox sb;
  uint64_t line = 0;
  auto ready = [&line](const char* name, double at) {
    rule_set_hold hold = hold_rule_set();
    walk_profiles(*hold.set, log_piece{name, {}, ++line}, at);
  };
  auto profile = [](const std::string& name) {
    return rule("\"re_pattern\":\"" + name + "\",\"frequency\":1,\"action\":\"restart_" + name +
                "\"");
  };
  // Rules for other routers cost the trigger nothing: with 3,000 of them first (20 minutes of
  // 2-s steps, scaled) the ready rule still heals in a few steps.
  std::string others;
  for (int i = 0; i < 3000; ++i) others += "{\"model\":\"KV-2000\"},";
  install("[" + others + profile("a") + "," + profile("b") + "," + profile("c") + "]");
  ready("c", 5);
  healing_index.store(7);  // a healing that has not finished: nothing is healed meanwhile
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, monitor_Statistics, nullptr), 0);
  EXPECT_FALSE(sb.wait_for("tmp/service_events.log", "restart", 1, 0.2));
  healing_index.store(-1);
  EXPECT_TRUE(sb.wait_for("tmp/service_events.log", "restart_c\n", 3));
  install("[" + profile("d") + "]");  // the cursor may lie beyond the new set
  ready("d", 6);
  EXPECT_TRUE(sb.wait_for("tmp/service_events.log", "restart_d\n", 3));
  install("[]");
  pause_s(0.1);
  terminate_flag.store(1);
  pthread_join(thread, nullptr);
  terminate_flag.store(0);
  EXPECT_EQ(sb.read("tmp/service_events.log"),
            "restart_c\nrestart_c\nrestart_c\nrestart_d\nrestart_d\nrestart_d\n");
  EXPECT_TRUE(in_order(sb.read("tmp/kiv.log"),
                       {"[KIV][monitor_Statistics:(", ")]START\n", ")]Get terminate signal\n"}));
}

TEST(MonitorJffs, ReportsWhatDfSaysUnlessPaused) {
  sandbox sb;
  mkdir(sb.path("bin").c_str(), 0755);
  setenv("PATH", (sb.path("bin") + ":" + getenv("PATH")).c_str(), 1);
  sb.write("bin/df", "#!/bin/sh\n[ \"$1\" = \"$KIV_ROOT/jffs\" ] && cat \"$KIV_ROOT/df.out\"\n");
  chmod(sb.path("bin/df").c_str(), 0755);
  for (const auto& c : cases("df.txt")) {
    SCOPED_TRACE(c.where);
    sb.write("df.out", c[0]);
    sb.write("tmp/kiv.log", "");
    monitor_jffs();
    const std::string log = sb.read("tmp/kiv.log");
    EXPECT_EQ(log.substr(0, log.find(")]") + 2).rfind("[KIV][monitor_jffs:(", 0),
              log.empty() ? std::string::npos : 0);
    EXPECT_EQ(log.empty() ? "" : log.substr(log.find(")]") + 2), c[1]) << c[0];
  }
  sb.write("bin/df", "#!/bin/sh\necho Filesystem\nexec sleep 100\n");  // stuck on a dead mount
  EXPECT_EQ(in_child([] { monitor_jffs(); }), 0) << "a stuck df holds the main loop";
  global_pause.store(1);
  sb.write("tmp/kiv.log", "");
  monitor_jffs();
  EXPECT_EQ(sb.read("tmp/kiv.log"), "");
}
