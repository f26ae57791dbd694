// Detection: the ring of match times, the line read's pieces, one line walked over a rule set
// with every record it writes, the trigger thread and the storage report.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <sstream>

#include "core/stop.h"
#include "detect/freq_window.h"
#include "detect/line_queue.h"
#include "detect/match_func.h"
#include "detect/monitor_syslog.h"
#include "report/fleet_counts.h"
#include "rules/pattern_literals.h"
#include "rules/rule_reader.h"
#include "storage/monitor_jffs.h"
#include "support/kivtest.h"
#include "trigger/monitor_statistics.h"

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
  for (const auto& c : cases("df.txt")) {
    SCOPED_TRACE(c.where);
    sb.write("df.out", c[0]);
    sb.write("bin/df", "#!/bin/sh\n[ \"$1\" = \"$KIV_ROOT/jffs\" ] && cat \"$KIV_ROOT/df.out\"\n");
    chmod(sb.path("bin/df").c_str(), 0755);
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
