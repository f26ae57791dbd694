// The daemon's life, as the real program in the test's root: the wait for the router, start-up
// and the PID file, the threads and their signal masks, ticks, coalesced dump requests, the
// orderly stop. (Start-up that ends early: tests/scenarios/daemon_*.)
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

// The process ids in the PID file: the daemon's, then the followers' it appended.
std::vector<long> pid_file(const sandbox& sb) {
  std::vector<long> ids;
  std::istringstream in(sb.read("var/run/kiv.pid"));
  for (long id; in >> id;) ids.push_back(id);
  return ids;
}

// The signals each thread of the process blocks, the process's own thread first.
[[maybe_unused]] std::vector<unsigned long long> blocked_signals(pid_t pid) {
  std::vector<unsigned long long> masks;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  for (dirent* e; dir && (e = readdir(dir));) {
    if (e->d_name[0] == '.') continue;
    std::string status = slurp(tasks + "/" + e->d_name + "/status");
    size_t at = status.find("SigBlk:");
    if (at == std::string::npos) continue;
    auto mask = std::stoull(status.substr(at + 7), nullptr, 16);
    masks.insert(std::string(e->d_name) == std::to_string(pid) ? masks.begin() : masks.end(), mask);
  }
  if (dir) closedir(dir);
  return masks;
}

}  // namespace

TEST(Daemon, LifeFromTheWaitForTheRouterToTheOrderlyStop) {
  sandbox sb;
  sb.set("success_start_service", "0");
  sb.write("tmp/syslog.log", "Dec  6 11:59:59 older line\n");
  ASSERT_TRUE(sb.start(0.05, {}, false));
  const double cpu = cpu_seconds(sb.pid);
  EXPECT_FALSE(sb.wait_for("tmp/kiv.log", "initial_functions", 1, 1.0))
      << "it waits for the router";
  EXPECT_LT(cpu_seconds(sb.pid) - cpu, 0.5) << "and does not spin while it waits";
  sb.set("success_start_service", "1");
  ASSERT_TRUE(sb.wait_for("tmp/kiv.log", "[monitor_jffs]"));  // the first tick
  const double first_tick = now_s();
  ASSERT_TRUE(sb.wait_for("tmp/kiv.log", "[monitor_jffs]", 2));
  EXPECT_GE(now_s() - first_tick, 30 * 0.05 * 0.9) << "ticks come every 30 s (scaled)";
  const std::vector<long> ids = pid_file(sb);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(sb.read("var/run/kiv.pid"),
            std::to_string(sb.pid) + "\n" + std::to_string(ids[1]) + "\n");
  // Under a user-mode emulator the spawn may return before the child's exec: look again briefly.
  const std::string cmdline = "/proc/" + std::to_string(ids[1]) + "/cmdline";
  const std::string tail =
      std::string("tail\0-F\0-n\0001\0", 13) + sb.path("tmp/syslog.log") + '\0';
  for (const double end = now_s() + 2; slurp(cmdline) != tail && now_s() < end;) pause_s(0.02);
  EXPECT_EQ(slurp(cmdline), tail);
#ifndef KIV_TEST_EMULATED  // the emulator's masks are shown in the host's numbering
  // The handlers' signals reach the main thread only.
  const unsigned long long mine = (1ULL << (SIGALRM - 1)) | (1ULL << (SIGUSR1 - 1)) |
                                  (1ULL << (SIGUSR2 - 1)) | (1ULL << (SIGTERM - 1));
  // (A sanitizer's runtime may add a thread of its own.)
  const std::vector<unsigned long long> masks = blocked_signals(sb.pid);
  ASSERT_GE(masks.size(), 3u);
  EXPECT_EQ(masks[0] & mine, 0u);
  EXPECT_GE(std::count_if(masks.begin() + 1, masks.end(),
                          [mine](unsigned long long m) { return (m & mine) == mine; }),
            2);
#endif
  // Dump requests between two passes of the main loop are served once.
  kill(sb.pid, SIGSTOP);
  for (int i = 0; i < 3; ++i) kill(sb.pid, SIGUSR2);
  kill(sb.pid, SIGCONT);
  EXPECT_TRUE(sb.wait_for("tmp/kiv.log", "=====mp is NULL====="));
  EXPECT_FALSE(sb.wait_for("tmp/kiv.log", "=====mp is NULL=====", 2, 0.5));
  EXPECT_EQ(sb.stop(), 0);
  EXPECT_EQ(kill(static_cast<pid_t>(ids[1]), 0), -1) << "the follower is stopped and reaped";
  EXPECT_EQ(access(sb.path("var/run/kiv.pid").c_str(), F_OK), -1);
  std::string log = normalized_log(sb.read("tmp/kiv.log"), true);
  log = std::regex_replace(log, std::regex(R"(20\d\d)"), "YEAR");
  expect_golden("life.log", log);
  EXPECT_EQ(std::regex_replace(sb.read("tmp/syslog.log"),
                               std::regex(R"((^|\n)[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} )"), "$1"),
            "older line\nkiv: [_monitor_syslog]===Start syslog process===\nkiv: ===Terminate kiv "
            "daemon===\n");
}
