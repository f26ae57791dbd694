// The daemon's threads working on one rule set at the same time: the syslog monitor thread walking
// a burst of lines, the trigger thread healing, rule sets swapped in and dumped meanwhile, and a
// storm of signals. The first case runs the two worker threads inside this test process (so a
// race checker built into the test sees every access with its stack); the others run the real
// daemon, whose own checker ends it with a failure status on a finding.
//
// Each case counts what it can: every line appended is walked exactly once, every reload and heal
// shows in the log, every dump is one consistent listing, and the daemon stops with status 0.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/kiv_main.h"
#include "detect/monitor_statistics.h"
#include "detect/monitor_syslog.h"
#include "platform/platform.h"
#include "rules/dump_mp.h"
#include "rules/monitor_profile.h"
#include "rules/read_json.h"
#include "support/profiles.h"
#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

const std::string kLog = "tmp/kiv.log";
const std::string kSyslog = "tmp/syslog.log";
const std::string kEvents = "tmp/service_events.log";
const std::string kDump = "tmp/kiv_dump.txt";

using kivtest::now_s;

using kivtest::kv1000_rule;

// A rule that heals with "restart_wan" (confirmed at once) after two fault lines.
std::string fault_rule(const std::string& tag, const char* pause) {
  return kv1000_rule("\"keyword\":\"" + tag + "\",\"re_pattern\":\"FAULT " + tag +
                     "\",\"frequency\":\"2\",\"period\":\"100000\",\"action\":\"restart_wan\"" +
                     (pause ? std::string(",\"Global_Pause\":\"") + pause + "\"" : std::string()));
}

// A rule that matches the ordinary lines of a burst and never fills its ring.
std::string busy_rule(int i) {
  return kv1000_rule("\"keyword\":\"busy" + std::to_string(i) + "\",\"re_pattern\":\"line-[0-9]*" +
                     std::to_string(i) +
                     "$\",\"frequency\":\"100\",\"period\":\"1\",\"action\":\"nop\"");
}

// Three rule sets of different sizes, so that every reload changes gArraylen under the cursor of
// the trigger thread; the third pauses the rule set and the first resumes it.
std::vector<std::string> rule_sets() {
  std::string a = "[" + fault_rule("A", "0");
  for (int i = 0; i < 4; ++i) a += "," + busy_rule(i);
  std::string b = "[" + busy_rule(7) + "," + fault_rule("B", nullptr) + "]";
  std::string c = "[" + fault_rule("C", "1") + "," + busy_rule(3) + "," + busy_rule(5) + "]";
  return {a + "]", b, c};
}

// Appends `count` numbered lines ("<prefix>line-N", every tenth also a fault line of each tag)
// in small bursts, one write per burst.
void append_burst(const kivtest::sandbox& box, const std::string& prefix, int count,
                  const std::vector<std::string>& tags, useconds_t pause_us) {
  for (int i = 0; i < count;) {
    std::string chunk;
    for (int k = 0; k < 20 && i < count; ++k, ++i) {
      chunk += "Dec  6 12:00:00 " + prefix + "line-" + std::to_string(i) + "\n";
      if (i % 10 == 0)
        for (const auto& t : tags) chunk += "Dec  6 12:00:00 FAULT " + t + "\n";
    }
    box.append(kSyslog, chunk);
    usleep(pause_us);
  }
}

// Every line of the burst was walked, and walked once.
void expect_each_walked_once(const kivtest::sandbox& box, const std::string& prefix, int count) {
  std::map<std::string, int> seen = kivtest::walked_lines(box);
  int missing = 0, doubled = 0;
  for (int i = 0; i < count; ++i) {
    auto it = seen.find("Dec  6 12:00:00 " + prefix + "line-" + std::to_string(i));
    if (it == seen.end())
      ++missing;
    else if (it->second != 1)
      ++doubled;
  }
  EXPECT_EQ(missing, 0) << "lines of " << count << " never walked";
  EXPECT_EQ(doubled, 0) << "lines of " << count << " walked more than once";
}

// A dump lists exactly as many profiles as its gArraylen line says, each with its five lines,
// and ends with the last profile's lines: one listing taken in one state of the rule set.
void expect_consistent_dump(const std::string& text) {
  size_t at = text.find("\ngArraylen=[");
  ASSERT_NE(at, std::string::npos) << text;
  int n = atoi(text.c_str() + at + 12);
  size_t profiles = 0;
  for (size_t p = text.find("=====monitor_profile["); p != std::string::npos;
       p = text.find("=====monitor_profile[", p + 1))
    ++profiles;
  EXPECT_EQ(profiles, static_cast<size_t>(n)) << text;
  size_t actions = 0, retries = 0;
  for (size_t p = text.find("=>action["); p != std::string::npos; p = text.find("=>action[", p + 1))
    ++actions;
  for (size_t p = text.find("==>actionRetry["); p != std::string::npos;
       p = text.find("==>actionRetry[", p + 1))
    ++retries;
  EXPECT_EQ(actions, retries) << text;
  EXPECT_EQ(text.back(), '\n');
}

// ---- The worker threads in this process ---------------------------------------------------

// The syslog monitor thread and the trigger thread, started and stopped as kiv_main does.
struct workers {
  const kivtest::sandbox& box;
  char json_path[24] = {0};  // a copy, as the daemon hands its threads
  pthread_t syslog_thread{}, trigger_thread{};
  bool running = false;

  explicit workers(const kivtest::sandbox& b) : box(b) {
    std::strncpy(json_path, KIV_JSON_PATH, sizeof json_path - 1);
    terminate_flag.store(0);
    running = pthread_create(&syslog_thread, nullptr, monitor_syslog, json_path) == 0;
    if (running && pthread_create(&trigger_thread, nullptr, monitor_Statistics, nullptr) != 0) {
      stop_syslog();
      running = false;
    }
  }
  void stop_syslog() {
    terminate_flag.store(1);
    box.append(kSyslog, "Dec  6 12:00:00 wake\n");  // the thread ends at its next line
    pthread_join(syslog_thread, nullptr);
  }
  void stop() {
    if (!running) return;
    stop_syslog();
    pthread_join(trigger_thread, nullptr);
    running = false;
  }
  ~workers() {
    stop();
    terminate_flag.store(0);
  }
};

// The follower reads from the end of the log: append numbered ready lines until one is walked,
// so that a burst appended afterwards is followed from its first line.
bool follower_ready(const kivtest::sandbox& box) {
  return kivtest::append_until_walked(box, "Dec  6 12:00:00 ready", 20, 0.2);
}

// A rule set installed the way the main thread installs it: the container in place, the
// "updated" key, then the reader, which swaps under mp_mutex.
void reload(const kivtest::sandbox& box, const std::string& json) {
  box.write("tmp/kivjson.json", kivtest::pack_rules(json));
  nvram_set_int("kiv_is_JSON_updated", 1);
  read_json(KIV_JSON_PATH);
}

struct loaded_set {
  ~loaded_set() { kivtest::clear_rule_set(); }
};

}  // namespace

TEST(Concurrency, WorkersWalkHealReloadAndDumpAtOnce) {
  kivtest::sandbox box;
  box.set("productid", "KV-1000");
  box.write(kSyslog, "");
  loaded_set cleanup;
  std::vector<std::string> sets = rule_sets();
  reload(box, sets[0]);
  ASSERT_EQ(gArraylen, 5);

  workers w(box);
  ASSERT_TRUE(w.running);
  ASSERT_TRUE(follower_ready(box));

  constexpr int kLines = 600;
  std::atomic<bool> burst_done{false};
  std::thread writer([&] {
    append_burst(box, "", kLines, {"A", "B", "C"}, 2000);
    burst_done.store(true);
  });

  // Meanwhile the main thread's share: reloads of changing size and dumps of what is in force.
  int reloads = 1, dumps = 0;
  double deadline = now_s() + 60;
  while ((!burst_done.load() || reloads < 10) && now_s() < deadline) {
    reload(box, sets[static_cast<size_t>(reloads) % sets.size()]);
    ++reloads;
    // No ASSERT here: leaving with the writer thread still joinable would end the program.
    const int dumped = dump_mp(mp);
    EXPECT_EQ(dumped, 0);
    if (dumped != 0) break;
    ++dumps;
    expect_consistent_dump(box.read(kDump));
    usleep(20000);
  }
  writer.join();
  // The last set is set A again, which resumes a pause; two fault lines make it heal.
  reload(box, sets[0]);
  ++reloads;
  const std::string kHealEnd = "===============self_healing end===============";
  int heals_before = static_cast<int>(box.count(kLog, kHealEnd));
  box.append(kSyslog, "Dec  6 12:00:00 FAULT A\nDec  6 12:00:00 FAULT A\n");
  EXPECT_TRUE(box.wait_for_count(kLog, kHealEnd, heals_before + 1, 20));
  // A settled end: the last line walked, then the workers stopped.
  box.append(kSyslog, "Dec  6 12:00:00 last\n");
  ASSERT_TRUE(box.wait_for(kLog, ")]pBuf=[Dec  6 12:00:00 last]\n", 30));
  w.stop();

  expect_each_walked_once(box, "", kLines);
  EXPECT_EQ(box.count(kLog, ")]New arraylen="), static_cast<size_t>(reloads));
  size_t heals = box.count(kLog, kHealEnd);
  EXPECT_EQ(box.count(kEvents, "restart_wan\n"), heals) << "one event per healing run";
  EXPECT_EQ(healing_index.load(), -1);
  // Each round reloads and dumps once; the rounds went on until the burst had passed.
  EXPECT_GE(dumps, 9);
}

// ---- The real daemon ----------------------------------------------------------------------

namespace {

// A router in a sandbox root with a loopback rule server; the daemon stays offline (no checks)
// except when a test asks for one.
struct router {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};
  size_t loads = 0;

  router() { kivtest::router_settings(box, server); }

  bool start() {
    return server.port > 0 && box.start_kiv() > 0 && box.wait_for(kLog, ")]End\n", 20) &&
           box.wait_ready(20) && follower_ready(box);
  }

  // One forced check; true once the reader has swapped the set in.
  bool load(const std::string& json) {
    bool ok = kivtest::install_rules(box, server, json, static_cast<int>(loads), 60);
    if (ok) ++loads;
    return ok;
  }
};

}  // namespace

TEST(Concurrency, DaemonWalksEveryLineThroughASignalStorm) {
  router r;
  ASSERT_TRUE(r.start());
  // Two profiles keep the log of the burst well below the size at which it is rotated twice.
  ASSERT_TRUE(r.load("[" + fault_rule("A", nullptr) + "," + busy_rule(3) + "]"));
  r.box.set("kiv_service", "test;skip");

  constexpr int kLines = 600;
  std::atomic<bool> burst_done{false};
  std::thread writer([&] {
    append_burst(r.box, "storm-", kLines, {"A"}, 20000);
    burst_done.store(true);
  });
  // Every signal the daemon handles, over and over, while the lines come in.
  const int kinds[] = {SIGUSR2, SIGUSR1, SIGALRM};
  int tries = 0, sent = 0;
  double begin = now_s();
  while ((!burst_done.load() || now_s() < begin + 2) && now_s() < begin + 60) {
    if (kill(r.box.pid, kinds[tries++ % 3]) == 0) ++sent;  // only signals delivered count
    usleep(3000);
  }
  writer.join();
  EXPECT_GT(sent, 100);

  // The daemon still serves each kind of request after the storm.
  unlink(r.box.path(kDump).c_str());
  kill(r.box.pid, SIGUSR2);
  ASSERT_TRUE(r.box.wait_for(kDump, "=====monitor_profile[1]=====", 20));
  r.box.append(kSyslog, "Dec  6 12:00:00 storm-end\n");
  ASSERT_TRUE(r.box.wait_for(kLog, ")]pBuf=[Dec  6 12:00:00 storm-end]\n", 30));

  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 60), 0) << r.box.read("kiv.out");
  expect_each_walked_once(r.box, "storm-", kLines);
  expect_consistent_dump(r.box.read(kDump));
  EXPECT_GE(r.box.count(kLog, ")]this is test\n"), 1u);
  size_t heals = r.box.count(kLog, "===============self_healing end===============");
  EXPECT_GE(heals, 1u);
  EXPECT_EQ(r.box.count(kEvents, "restart_wan\n"), heals);
}

TEST(Concurrency, ReloadAndDumpWaitForTheHealingRun) {
  router r;
  // Every service event takes a while, so that one healing run spans the whole download.
  kivtest::service_hook(r.box, "#!/bin/sh\nsleep 1\n");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load("[" +
                     kv1000_rule("\"keyword\":\"slow\",\"re_pattern\":\"ppp: timeout\","
                                 "\"frequency\":\"1\",\"action\":\"restart_ppp\"") +
                     "]"));

  // A check whose answer takes a second; the fault line goes in once the download is under way,
  // so the healing run starts before the new set has arrived and lasts until after.
  r.server.answer(200, kivtest::pack_rules(rule_sets()[1]), 1.0);
  r.box.set("kiv_quick_period", "1");
  r.box.set("link_internet", "2");
  ASSERT_TRUE(r.box.wait_for_count(kLog, ")]target_url=[", 2, 20));
  r.box.append(kSyslog, "Dec  6 12:00:00 ppp: timeout\n");
  ASSERT_TRUE(r.box.wait_for(kLog, "===============self_healing start===============", 20));
  // A dump asked for during the run waits for the main thread, which waits in the reader.
  kill(r.box.pid, SIGUSR2);
  ASSERT_TRUE(r.box.wait_for_count(kLog, ")]New arraylen=", 2, 60));
  r.box.set("link_internet", "1");
  ASSERT_TRUE(r.box.wait_for(kDump, "gArraylen=[", 20));

  std::string log = r.box.read(kLog);
  EXPECT_TRUE(kivtest::in_order(
      log, {"===============self_healing start===============", ")]Update kiv JSON file.\n",
            "===============self_healing end===============", ")]lock mutex in read json\n",
            ")]New arraylen=2\n"}))
      << log;
  EXPECT_EQ(r.box.read(kEvents), "restart_ppp\nrestart_ppp\nrestart_ppp\n");
  // The main thread was inside the check when the dump was asked for: the dump comes after the
  // swap and lists the new set in full.
  std::string dump = r.box.read(kDump);
  expect_consistent_dump(dump);
  EXPECT_NE(dump.find("\ngArraylen=[2]\n"), std::string::npos) << dump;
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 60), 0) << r.box.read("kiv.out");
}
