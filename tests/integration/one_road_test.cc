// kivrule replay and the daemon on the same generated log: several thousand lines, second by
// second on the test clock, with rules of several frequencies and periods, long lines walked in
// pieces, anchors, kiv's own lines, a heal budget and lines that come while a slow heal holds the
// rule set. Replay's fires (and those it says the budget holds back) are the daemon's heals, group
// by group. (The handful of lines of the examples: tests/scenarios/tools_replay_*.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

// Rule 0 heals slowly (its service event takes 0.4 s), so that lines come while it holds the
// set; rule 3 matches a line of kiv's own; rule 4 a line's end behind 300 characters; rule 5 is
// for another router.
const char kRules[] =
    R"([{"model":"KV-1000","keyword":"wan","re_pattern":"WAN(\\([0-9]+\\))?: link down",)"
    R"("frequency":3,"period":20,"action":"restart_wan"},)"
    R"({"model":"KV-1000","keyword":"dns","re_pattern":"dnsmasq\\[[0-9]+\\]: segfault$",)"
    R"("frequency":2,"period":10,"action":"nop"},)"
    R"({"model":"KV-1000","keyword":"oom","re_pattern":"^[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} )"
    R"(kernel: Out of memory","frequency":1,"action":"nop"},)"
    R"({"model":"KV-1000","keyword":"own","re_pattern":"kiv: \\[self_healing\\]take )"
    R"(action-\\[reboot\\]\\.$","frequency":2,"period":60,"action":"nop"},)"
    R"({"model":"KV-1000","keyword":"long","re_pattern":"tail of a long line$",)"
    R"("frequency":2,"period":15,"action":"nop"},)"
    R"({"model":"KV-2000","keyword":"other","re_pattern":"link down","frequency":1,)"
    R"("action":"nop"}])";
constexpr int kActive = 5;
constexpr int kHealLimit = 6;  // heals per rule per hour: the frequent rules run into it

// One second of the log: its lines, all with that second's time stamp.
struct group {
  double seconds = 0;  // since the first line
  std::vector<std::string> lines;
};

std::string stamp(int seconds) {
  // Dec 7, 08:00:00 onwards; the log spans less than an hour, as the heal budget counts.
  char buf[32];
  std::snprintf(buf, sizeof buf, "Dec  7 %02d:%02d:%02d", 8 + seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return buf;
}

// The faults come in bursts, so that some rules fill their rings within their periods and some
// not. A rule matches at most one line in a second: replay fires at the line that fills the ring,
// the daemon at the trigger's next look at the rule, and one second's lines are walked before it
// looks (a later line of the same rule in that second would be in the daemon's ring, not in
// replay's emptied one).
std::vector<group> generated_log(unsigned seed, size_t lines_wanted) {
  std::mt19937 ran(seed);
  auto chance = [&](double p) { return std::uniform_real_distribution<>(0, 1)(ran) < p; };
  auto pick = [&](int n) { return static_cast<int>(ran() % static_cast<unsigned>(n)); };
  std::vector<group> log;
  int t = 0;
  size_t total = 0;
  double burst[kActive] = {};  // how likely each rule's line is in the seconds to come
  while (total < lines_wanted) {
    group g;
    g.seconds = t;
    const std::string at = stamp(t) + " ";
    for (int k = 0; k < kActive; ++k)
      burst[k] = chance(0.03) ? 0.6 : std::max(0.0, burst[k] - 0.05);
    const int noise = 1 + pick(6);
    for (int i = 0; i < noise; ++i)
      g.lines.push_back(at + (chance(0.5) ? "dropbear[" + std::to_string(100 + pick(900)) +
                                                "]: Child connection from 192.168.1." +
                                                std::to_string(pick(255))
                                          : "kernel: br0: port " + std::to_string(pick(4)) +
                                                " entered forwarding state"));
    if (chance(burst[0]))
      g.lines.push_back(at + (chance(0.5) ? "WAN: link down" : "WAN(2): link down"));
    if (chance(burst[1])) {
      g.lines.push_back(at + "dnsmasq[" + std::to_string(pick(999)) + "]: segfault");
      if (chance(0.3)) g.lines.push_back(at + "dnsmasq[7]: segfault at 0 ip 0");  // no: not at $
    }
    if (chance(burst[2] / 3)) g.lines.push_back(at + "kernel: Out of memory: Killed process 5");
    if (chance(0.05)) g.lines.push_back("kernel: Out of memory: no time stamp, no ^ match");
    if (chance(burst[3])) g.lines.push_back(at + "kiv: [self_healing]take action-[reboot].");
    if (chance(burst[4]))
      g.lines.push_back(at + "kernel: " + std::string(300, 'x') + " tail of a long line");
    if (chance(0.02))  // "$" is the line's end, not a piece's: its first piece ends so
      g.lines.push_back(at + std::string(255 - at.size() - 19, 'y') + "tail of a long line" +
                        std::string(40, 'z'));
    std::shuffle(g.lines.begin(), g.lines.end(), ran);
    total += g.lines.size();
    log.push_back(std::move(g));
    t += 1 + pick(3);
  }
  return log;
}

// The new text of the daemon's log as it comes, across its rotations (an open file is read to
// its end before the path's new file is taken).
struct log_reader {
  std::string path;
  int fd = -1;
  ino_t inode = 0;
  std::string partial;  // a record not yet ended

  ~log_reader() {
    if (fd >= 0) close(fd);
  }
  // The whole records written since the last call.
  std::string more() {
    std::string text = partial;
    char buf[65536];
    for (int pass = 0; pass < 2; ++pass) {
      if (fd >= 0)
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
          text.append(buf, static_cast<size_t>(n));
      struct stat st;
      if (stat(path.c_str(), &st) != 0 || (fd >= 0 && st.st_ino == inode)) break;
      if (fd >= 0) close(fd);
      fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      inode = st.st_ino;
    }
    const size_t end = text.rfind('\n');
    partial = end == std::string::npos ? text : text.substr(end + 1);
    return end == std::string::npos ? "" : text.substr(0, end + 1);
  }
};

// One heal of the daemon, as its records show it: the rule, and whether the budget held it.
struct heal_seen {
  int index = -1;
  bool held = false;
  bool ended = false;
};

struct daemon_heals {
  log_reader log;
  std::vector<heal_seen> heals;
  std::vector<std::string> walked;  // the markers walked

  void take() {
    const std::string text = log.more();
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
      end = text.find('\n', at);
      const std::string record = text.substr(at, end - at);
      static const std::string index = ")]monitor_profile index=";
      const size_t k = record.find(index), m = record.find(")]pBuf=[-- marker ");
      if (k != std::string::npos && record.find("self_healing") != std::string::npos)
        heals.push_back({std::atoi(record.c_str() + k + index.size()), false, false});
      else if (record.find(")]Heal budget spent:") != std::string::npos && !heals.empty())
        heals.back().held = true;
      else if (record.find(")]===============self_healing end") != std::string::npos &&
               !heals.empty())
        heals.back().ended = true;
      else if (m != std::string::npos)
        walked.push_back(record.substr(m + 8, record.size() - m - 9));
    }
  }
  bool walked_marker(const std::string& marker) const {
    return std::find(walked.begin(), walked.end(), marker) != walked.end();
  }
  size_t ended() const {
    return static_cast<size_t>(
        std::count_if(heals.begin(), heals.end(), [](const heal_seen& h) { return h.ended; }));
  }
  // Takes records until `done` holds, at most timeout_s; whether it did.
  template <typename Done>
  bool until(Done done, double timeout_s = 20) {
    for (const double deadline = now_s() + timeout_s;; pause_s(0.002)) {
      take();
      if (done()) return true;
      if (now_s() > deadline) return false;
    }
  }
};

// What replay says of one fire: the rule, the line and whether the budget holds it back.
struct fire {
  int index = -1;
  uint64_t line = 0;
  bool held = false;
};

std::vector<fire> replay_fires(const std::string& rules, const std::string& log) {
  const run_result r = run({bin("kivrule"), "replay", rules, log, "--productid", "KV-1000",
                            "--heal-limit", std::to_string(kHealLimit), "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<fire> fires;
  json_object* root = json_tokener_parse(r.out.c_str());
  json_object* profiles = nullptr;
  if (!root || !json_object_object_get_ex(root, "profiles", &profiles)) {
    ADD_FAILURE() << "replay gave no report: " << r.out;
    return fires;
  }
  auto member = [](json_object* o, const char* name) {
    json_object* v = nullptr;
    json_object_object_get_ex(o, name, &v);
    return v;
  };
  for (size_t i = 0; i < json_object_array_length(profiles); ++i) {
    json_object* p = json_object_array_get_idx(profiles, i);
    EXPECT_EQ(json_object_get_int64(member(p, "fires_not_listed")), 0) << "all of rule " << i;
    json_object* list = member(p, "fire_list");
    for (size_t k = 0; k < json_object_array_length(list); ++k) {
      json_object* f = json_object_array_get_idx(list, k);
      fires.push_back({static_cast<int>(i),
                       static_cast<uint64_t>(json_object_get_int64(member(f, "line"))),
                       json_object_get_boolean(member(f, "held_back")) != 0});
    }
  }
  json_object_put(root);
  return fires;
}

std::string fires_text(std::vector<std::pair<int, bool>> fires) {
  std::sort(fires.begin(), fires.end());
  std::string s;
  for (const auto& [index, held] : fires) s += std::to_string(index) + (held ? "(held) " : " ");
  return s;
}

}  // namespace

TEST(OneRoad, ReplayFiresWhereTheDaemonHealsOnAGeneratedLog) {
  router r;
  r.set("kiv_heal_limit", std::to_string(kHealLimit));
  r.service_hook("#!/bin/sh\nsleep 0.4\n");  // a slow restart_wan
  const std::vector<group> log = generated_log(31, 3000);

  // The replayed log is the daemon's, line for line: each second's lines and the marker the test
  // waits for, which matches no rule and, having no time stamp, keeps the time before it.
  std::string replayed;
  std::vector<size_t> group_of_line(1, 0);  // line number (from 1) -> group
  for (size_t g = 0; g < log.size(); ++g) {
    for (const std::string& line : log[g].lines) replayed += line + "\n";
    replayed += "-- marker " + std::to_string(g) + " --\n";
    group_of_line.resize(group_of_line.size() + log[g].lines.size() + 1, g);
  }
  r.write("rules.json", kRules);
  r.write("replayed.log", replayed);
  const std::vector<fire> fires = replay_fires(r.path("rules.json"), r.path("replayed.log"));
  std::vector<std::vector<std::pair<int, bool>>> expected(log.size());
  for (const fire& f : fires) expected[group_of_line.at(f.line)].push_back({f.index, f.held});

  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load(kRules));
  daemon_heals d;
  d.log.path = r.path("tmp/kiv.log");
  d.take();
  const size_t before = d.heals.size();
  size_t during_heal = 0;  // fires of lines that came while a heal held the set
  std::vector<std::pair<size_t, size_t>> heals_of(log.size());  // heals begun after each second
  for (size_t g = 0; g < log.size(); ++g) {
    SCOPED_TRACE("second " + std::to_string(g) + " of the log, at " + log[g].lines.front());
    const std::string marker = "-- marker " + std::to_string(g) + " --";
    const bool heal_running = d.ended() < d.heals.size();
    r.clock(100 + log[g].seconds);
    std::string text;
    for (const std::string& line : log[g].lines) text += line + "\n";
    const size_t seen = d.heals.size();
    r.syslog(text + marker + "\n");
    ASSERT_TRUE(d.until([&] { return d.walked_marker(marker); })) << "the lines are walked";
    if (heal_running) during_heal += expected[g].size();
    // The daemon heals each rule replay fires, at the trigger's next look at it; the next
    // second's lines come at once, so while a slow heal (rule 0's) still holds the set.
    const size_t want = seen + expected[g].size();
    ASSERT_TRUE(d.until([&] { return d.heals.size() >= want; }, 30))
        << "replay fires " << fires_text(expected[g]) << "; the daemon began "
        << d.heals.size() - seen << " heals";
    heals_of[g] = {seen, d.heals.size()};
  }
  ASSERT_TRUE(d.until([&] { return d.ended() == d.heals.size(); }));
  pause_s(0.5);  // a heal replay did not foresee would begin at the trigger's next round
  d.take();
  EXPECT_EQ(d.heals.size() - before, fires.size()) << "every heal is one replay foresaw";
  for (size_t g = 0; g < log.size(); ++g) {
    std::vector<std::pair<int, bool>> healed;
    for (size_t k = heals_of[g].first; k < heals_of[g].second; ++k)
      healed.push_back({d.heals[k].index, d.heals[k].held});
    EXPECT_EQ(fires_text(healed), fires_text(expected[g]))
        << "second " << g << " of the log, at " << log[g].lines.front();
  }
  EXPECT_EQ(r.stop(), 0);

  // The log is one that tries the road: enough fires of every kind.
  std::map<int, int> of_rule;
  size_t held = 0;
  for (const fire& f : fires) {
    ++of_rule[f.index];
    held += f.held ? 1 : 0;
  }
  for (int k = 0; k < kActive; ++k) EXPECT_GE(of_rule[k], 2) << "rule " << k << " fires";
  EXPECT_GT(held, 0u) << "the budget holds fires back";
  EXPECT_GT(during_heal, 0u) << "lines that came during a heal fire";
  EXPECT_GE(replayed.size(), 3000u * 30) << "a few thousand lines";
}
