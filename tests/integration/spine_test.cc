// The real daemon in a sandbox root: banner, single instance, PID file, signals, ticks, stop.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "support/sandbox.h"

namespace {

constexpr double kScale = 0.05;

using kivtest::now_s;

// Positions of the texts in the log must increase in the order given.
void expect_in_order(const std::string& log, const std::vector<std::string>& texts) {
  size_t pos = 0;
  for (const auto& t : texts) {
    size_t at = log.find(t, pos);
    ASSERT_NE(at, std::string::npos) << "missing, or out of order: [" << t << "]\nlog:\n" << log;
    pos = at + t.size();
  }
}

// The daemon has finished start-up (initial_functions logged its last record) and has its
// signal handlers in place.
bool started(const kivtest::sandbox& sb) {
  return sb.wait_for("tmp/kiv.log", "[KIV][initial_functions:(", 10) &&
         sb.wait_for("tmp/kiv.log", ")]End\n", 10) && sb.wait_ready(10);
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

}  // namespace

TEST(Spine, BannerThenOrderlyShutdown) {
  kivtest::sandbox sb(kScale);
  ASSERT_GT(sb.start_kiv(), 0);
  ASSERT_TRUE(started(sb));
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  std::string log = sb.read("tmp/kiv.log");
  // One banner record: "[kiv]", a notice with a year, then an empty line.
  EXPECT_TRUE(std::regex_search(
      log, std::regex(R"(^\[KIV\]\[main:\(\d+\)\]\[kiv\]\n[^\n]*\b20\d\d\b[^\n]*\n\n\[KIV\])")))
      << log;
  expect_in_order(
      log, {"[KIV][initial_functions:(", ")]Start\n", ")]End\n", ")]===Terminate kiv daemon===\n",
            ")]end\n", "[KIV][main:(", ")]kiv:quit process...\n\n"});
  EXPECT_EQ(log.substr(log.size() - 23), ")]kiv:quit process...\n\n");
  EXPECT_EQ(sb.count("tmp/syslog.log", " kiv: ===Terminate kiv daemon===\n"), 1u);
  EXPECT_NE(access(sb.path("var/run/kiv.pid").c_str(), F_OK), 0) << "PID file left behind";
}

TEST(Spine, JoinsBothThreadsAndLogsTheirExitTexts) {
  kivtest::sandbox sb(kScale);
  ASSERT_GT(sb.start_kiv(), 0);
  ASSERT_TRUE(started(sb));
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 30), 0);
  expect_in_order(sb.read("tmp/kiv.log"),
                  {")]end\n", "[KIV][main:(", ")][End of monitor_syslog thread]\n", "[KIV][main:(",
                   ")][End of monitor_Statistics thread]\n", ")]kiv:quit process...\n\n"});
}

TEST(Spine, PidFileHoldsDaemonPidFirstWithoutLineEnd) {
  kivtest::sandbox sb(kScale);
  pid_t pid = sb.start_kiv();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(started(sb));
  std::string content = sb.read("var/run/kiv.pid");
  // The daemon's id with no line end; the log follower's id may have been appended behind it.
  EXPECT_TRUE(std::regex_match(content, std::regex(std::to_string(pid) + "(\n(\\d+\n)?)?")))
      << "[" << content << "]";
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  EXPECT_NE(access(sb.path("var/run/kiv.pid").c_str(), F_OK), 0);
}

TEST(Spine, SecondInstanceEndsWithStatusZero) {
  kivtest::sandbox sb(kScale);
  pid_t first = sb.start_kiv();
  ASSERT_GT(first, 0);
  ASSERT_TRUE(started(sb));
  std::string pid_file = sb.read("var/run/kiv.pid");
  pid_t second = sb.start_kiv();
  ASSERT_GT(second, 0);
  EXPECT_EQ(sb.wait_exit(20), 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][initial_functions:("), 4u);  // Start End Start running
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]kiv is already running.\n"), 1u);
  EXPECT_EQ(first_line(sb.read("var/run/kiv.pid")), std::to_string(first));
  sb.pid = first;
  EXPECT_EQ(kill(first, 0), 0) << "the first daemon must still run";
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(Spine, WaitsForRouterServices) {
  kivtest::sandbox sb(kScale);
  sb.set("success_start_service", "0");
  pid_t pid = sb.start_kiv();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(sb.wait_for("tmp/kiv.log", "[kiv]\n", 10));
  double before = kivtest::cpu_seconds(pid);
  EXPECT_FALSE(sb.wait_for("tmp/kiv.log", "[KIV][initial_functions:(", 2.0));
  double after = kivtest::cpu_seconds(pid);
  EXPECT_NE(access(sb.path("var/run/kiv.pid").c_str(), F_OK), 0);
  // The wait pauses between reads: two seconds of waiting must not cost a second of CPU.
  EXPECT_LT(after - before, 1.0) << "the wait for the router spins";
  sb.set("success_start_service", "2");
  EXPECT_FALSE(sb.wait_for("tmp/kiv.log", "[KIV][initial_functions:(", 0.5));
  sb.set("success_start_service", "1");
  ASSERT_TRUE(started(sb));
  EXPECT_EQ(first_line(sb.read("var/run/kiv.pid")), std::to_string(pid));
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(Spine, SignalBeforeHandlersTakesDefaultAction) {
  for (int sig : {SIGTERM, SIGUSR1, SIGUSR2}) {
    kivtest::sandbox sb(kScale);
    sb.set("success_start_service", "0");
    ASSERT_GT(sb.start_kiv(), 0);
    ASSERT_TRUE(sb.wait_for("tmp/kiv.log", "[kiv]\n", 10));
    EXPECT_EQ(sb.signal_and_wait(sig, 20), 128 + sig);
    EXPECT_EQ(sb.count("tmp/kiv.log", "===Terminate kiv daemon==="), 0u);
  }
}

TEST(Spine, TicksAfterTenSecondsThenEveryThirty) {
  kivtest::sandbox sb(kScale);
  // With the Internet link up and the clock not yet synchronised, every tick logs
  // "ntp_ready false" from the update scheduler, then a record of the storage report.
  sb.set("link_internet", "2");
  sb.set("ntp_ready", "0");
  auto ticks = [&sb] {
    return std::max(sb.count("tmp/kiv.log", "ntp_ready false"),
                    sb.count("tmp/kiv.log", "[monitor_jffs]"));
  };
  double start = now_s();
  ASSERT_GT(sb.start_kiv(), 0);
  double at[4];
  for (size_t k = 1; k <= 4; ++k) {
    double deadline = now_s() + 30;
    while (ticks() < k && now_s() < deadline) usleep(20000);
    ASSERT_GE(ticks(), k) << "tick " << k;
    at[k - 1] = now_s() - start;
  }
  // Lower bounds only (a loaded machine can make ticks late, never early): the first alarm is
  // 10 s, every later one 30 s, all scaled.
  for (int k = 1; k <= 4; ++k)
    EXPECT_GE(at[k - 1], (10 + 30 * (k - 1)) * kScale * 0.95) << "tick " << k << " came early";
  ASSERT_TRUE(sb.wait_ready(10));
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(Spine, ThreeDumpRequestsBetweenPassesGiveOneDump) {
  kivtest::sandbox sb(kScale);
  pid_t pid = sb.start_kiv();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(started(sb));
  // Stopped, the daemon runs no pass: three requests land between the same two passes.
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(kill(pid, SIGUSR2), 0);
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  ASSERT_TRUE(sb.wait_for("tmp/kiv.log", "=====mp is NULL=====", 10));
  EXPECT_FALSE(sb.wait_for_count("tmp/kiv.log", "=====mp is NULL=====", 2, 1.0));
  // The flag is served again on the next request.
  ASSERT_EQ(kill(pid, SIGUSR2), 0);
  EXPECT_TRUE(sb.wait_for_count("tmp/kiv.log", "=====mp is NULL=====", 2, 10));
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(Spine, StalePidFilesAreReplaced) {
  for (std::string stale :
       {std::string("0"), std::string("-5"), std::string("abc"), std::string(""),
        std::to_string(getpid()), std::to_string(getpid()) + "\n1\n"}) {
    SCOPED_TRACE("stale [" + stale + "]");
    kivtest::sandbox sb(kScale);
    sb.write("var/run/kiv.pid", stale);
    pid_t pid = sb.start_kiv();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(started(sb));
    EXPECT_EQ(sb.count("tmp/kiv.log", "kiv is already running."), 0u);
    EXPECT_EQ(first_line(sb.read("var/run/kiv.pid")), std::to_string(pid));
    EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  }
}

TEST(Spine, LeftoverFileWithOwnPidIsReplaced) {
  kivtest::sandbox sb(kScale);
  sb.set("success_start_service", "0");
  pid_t pid = sb.start_kiv();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(sb.wait_for("tmp/kiv.log", "[kiv]\n", 10));
  // The file names the very id the waiting daemon received.
  sb.write("var/run/kiv.pid", std::to_string(pid));
  sb.set("success_start_service", "1");
  ASSERT_TRUE(started(sb));
  EXPECT_EQ(sb.count("tmp/kiv.log", "kiv is already running."), 0u);
  EXPECT_EQ(first_line(sb.read("var/run/kiv.pid")), std::to_string(pid));
  EXPECT_EQ(kill(pid, 0), 0);
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(Spine, TerminateDuringLongPauseStopsPromptly) {
  // With a scale of 1 the loop pauses 5 s; a stop request cuts the pause short.
  kivtest::sandbox sb(1.0);
  ASSERT_GT(sb.start_kiv(), 0);
  ASSERT_TRUE(started(sb));
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 30), 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]kiv:quit process...\n\n"), 1u);
}

TEST(Spine, WorkerThreadsBlockTheDaemonsSignals) {
#ifdef KIV_TEST_EMULATED
  GTEST_SKIP() << "under a user-mode emulator the kernel shows the masks in the host's numbering";
#endif
  kivtest::sandbox sb(kScale);
  pid_t pid = sb.start_kiv();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(started(sb));
  unsigned long long wanted = 0;
  for (int sig : {SIGALRM, SIGUSR1, SIGUSR2, SIGTERM}) wanted |= 1ULL << (sig - 1);
  auto blocked = [](const std::string& status_path) {
    std::ifstream in(status_path);
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    return ~0ULL;
  };
  std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  int workers = 0;
  for (int attempt = 0; attempt < 100 && workers < 2; ++attempt) {
    workers = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(task_dir.c_str()), closedir);
    ASSERT_TRUE(dir);
    while (dirent* e = readdir(dir.get())) {
      if (e->d_name[0] == '.') continue;
      std::string status = task_dir + "/" + e->d_name + "/status";
      if (std::string(e->d_name) == std::to_string(pid)) {
        EXPECT_EQ(blocked(status) & wanted, 0ULL) << "the main thread must take the signals";
      } else {
        ++workers;
        EXPECT_EQ(blocked(status) & wanted, wanted) << "worker " << e->d_name;
      }
    }
    if (workers < 2) usleep(20000);
  }
  EXPECT_GE(workers, 2) << "the syslog monitor and trigger threads run for the daemon's life";
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}
