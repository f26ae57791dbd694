// Detection and healing on the real daemon in a sandbox root: the log follower on
// tmp/syslog.log, lines in 255-character pieces, rotation, stop requests, a lost follower.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace {

constexpr double kScale = 0.05;

using kivtest::now_s;

// The numbers of the PID file: the daemon's id first, then every follower id appended.
std::vector<long> pid_file_ids(const kivtest::sandbox& sb) {
  std::istringstream in(sb.read("var/run/kiv.pid"));
  std::vector<long> ids;
  long id = 0;
  while (in >> id) ids.push_back(id);
  return ids;
}

// Waits until the PID file holds at least `n` follower ids; the last one, or -1.
long wait_follower(const kivtest::sandbox& sb, size_t n, double timeout_s) {
  double deadline = now_s() + timeout_s;
  for (;;) {
    std::vector<long> ids = pid_file_ids(sb);
    if (ids.size() >= n + 1) return ids.back();
    if (now_s() >= deadline) return -1;
    usleep(20000);
  }
}

std::string cmdline(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  std::string text = out.str();
  for (char& c : text)
    if (c == '\0') c = ' ';
  return text;
}

bool process_gone(long pid, double timeout_s) {
  double deadline = now_s() + timeout_s;
  while (kill(static_cast<pid_t>(pid), 0) == 0) {
    if (now_s() >= deadline) return false;
    usleep(20000);
  }
  return true;
}

// A daemon started in the sandbox, its handlers in place and its follower running.
long start_following(kivtest::sandbox& sb) {
  if (sb.start_kiv() <= 0) return -1;
  if (!sb.wait_for("tmp/kiv.log", ")]End\n", 10) || !sb.wait_ready(10)) return -1;
  return wait_follower(sb, 1, 10);
}

std::string pbuf(const std::string& line) {
  return ")]pBuf=[" + line + "]\n";
}

// Appends `line` until the daemon has walked it: a follower that has just started may not yet
// have reached the end of the file when the first copy goes in.
bool append_until_seen(const kivtest::sandbox& sb, const std::string& line, double timeout_s) {
  double deadline = now_s() + timeout_s;
  while (now_s() < deadline) {
    sb.append("tmp/syslog.log", line + "\n");
    if (sb.wait_for("tmp/kiv.log", pbuf(line), 0.5)) return true;
  }
  return false;
}

}  // namespace

TEST(SyslogMonitor, FollowerIsTailOfTheSandboxLogAndItsIdGoesLast) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  long follower = start_following(sb);
  ASSERT_GT(follower, 0);
  std::vector<long> ids = pid_file_ids(sb);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0], sb.pid);
  EXPECT_EQ(cmdline(follower), "tail -F -n 1 " + sb.path("tmp/syslog.log") + " ");
  EXPECT_TRUE(
      sb.wait_for("tmp/syslog.log", " kiv: [_monitor_syslog]===Start syslog process===\n", 10));
  std::string log = sb.read("tmp/kiv.log");
  EXPECT_NE(log.find("[KIV][_monitor_syslog:("), std::string::npos) << log;
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  EXPECT_TRUE(process_gone(follower, 5)) << "the follower is stopped and reaped";
}

TEST(SyslogMonitor, LastLineAlreadyInTheLogIsWalkedAtStart) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "Dec  6 11:59:58 older line\nDec  6 11:59:59 newer line\n");
  ASSERT_GT(start_following(sb), 0);
  // The thread's own start line goes into the system log before the follower starts, so it is
  // the last line there and the first one walked.
  EXPECT_TRUE(
      sb.wait_for("tmp/kiv.log", " kiv: [_monitor_syslog]===Start syslog process===]\n", 10));
  EXPECT_EQ(sb.count("tmp/kiv.log", "older line"), 0u);
  EXPECT_EQ(sb.count("tmp/kiv.log", "newer line"), 0u);
  // With no rule set the walk covers nothing. The thread's records carry its body's name.
  EXPECT_TRUE(sb.wait_for("tmp/kiv.log", ")]gArraylen=[0]\n", 10));
  EXPECT_TRUE(std::regex_search(
      sb.read("tmp/kiv.log"),
      std::regex(
          R"(\[KIV\]\[_monitor_syslog:\(\d+\)\]pBuf=\[[^\n]*\n\[KIV\]\[_monitor_syslog:\(\d+\)\]gArraylen=\[0\]\n)")));
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(SyslogMonitor, LongLineArrivesIn255CharacterPieces) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  ASSERT_GT(start_following(sb), 0);
  std::string line;
  for (int i = 0; i < 300; ++i) line += static_cast<char>('a' + i % 26);
  ASSERT_TRUE(append_until_seen(sb, "ready", 10));
  sb.append("tmp/syslog.log", line + "\n");
  EXPECT_TRUE(sb.wait_for("tmp/kiv.log", pbuf(line.substr(255)), 10));
  EXPECT_EQ(sb.count("tmp/kiv.log", pbuf(line.substr(0, 255))), 1u);
  // Exactly 255 characters and a line end: the line end comes as a piece of its own.
  std::string exact(255, 'x');
  sb.append("tmp/syslog.log", exact + "\nafter\n");
  EXPECT_TRUE(sb.wait_for("tmp/kiv.log", pbuf("after"), 10));
  EXPECT_EQ(sb.count("tmp/kiv.log", pbuf(exact)), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", pbuf("")), 1u);
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(SyslogMonitor, LogSurvivesRotationByMoveAndByTruncation) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  ASSERT_GT(start_following(sb), 0);
  ASSERT_TRUE(append_until_seen(sb, "ready", 10));
  // Move away and create afresh, as a syslog daemon rotates; a line went in just before.
  sb.append("tmp/syslog.log", "line before the move\n");
  ASSERT_EQ(rename(sb.path("tmp/syslog.log").c_str(), sb.path("tmp/syslog.log.1").c_str()), 0);
  sb.write("tmp/syslog.log", "first line of the new file\n");
  sb.append("tmp/syslog.log", "second line of the new file\n");
  EXPECT_TRUE(sb.wait_for("tmp/kiv.log", pbuf("second line of the new file"), 15));
  EXPECT_EQ(sb.count("tmp/kiv.log", pbuf("line before the move")), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", pbuf("first line of the new file")), 1u);
  // Cut to nothing in place, then written again.
  sb.write("tmp/syslog.log", "");
  sb.append("tmp/syslog.log", "after the cut\n");
  EXPECT_TRUE(sb.wait_for("tmp/kiv.log", pbuf("after the cut"), 15));
  sb.append("tmp/syslog.log", "and one more\n");
  EXPECT_TRUE(sb.wait_for("tmp/kiv.log", pbuf("and one more"), 15));
  EXPECT_EQ(sb.count("tmp/kiv.log", pbuf("second line of the new file")), 1u);
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(SyslogMonitor, TerminateWhileTheLogIsQuietStopsPromptly) {
  // Unscaled pauses: only the wake of the blocked read can make this prompt.
  kivtest::sandbox sb(1.0);
  sb.write("tmp/syslog.log", "");
  long follower = start_following(sb);
  ASSERT_GT(follower, 0);
  ASSERT_TRUE(append_until_seen(sb, "quiet from now on", 10));
  double before = now_s();
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  EXPECT_LT(now_s() - before, 4.0);
  std::string log = sb.read("tmp/kiv.log");
  size_t stop = log.find(")]Get terminate signal, stop_tail_cmd().\n");
  ASSERT_NE(stop, std::string::npos) << log;
  EXPECT_NE(log.find(")]END\n", stop), std::string::npos) << log;
  EXPECT_NE(log.find(")][End of monitor_syslog thread]\n"), std::string::npos);
  EXPECT_TRUE(process_gone(follower, 5));
}

TEST(SyslogMonitor, StopSignalsOnlyTheFollowerItStarted) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  long follower = start_following(sb);
  ASSERT_GT(follower, 0);
  // Another process id at the end of the PID file must not be what the stop reaches.
  pid_t bystander = fork();
  ASSERT_GE(bystander, 0);
  if (bystander == 0) {
    execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  sb.append("var/run/kiv.pid", std::to_string(bystander) + "\n");
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  EXPECT_TRUE(process_gone(follower, 5));
  int status = 0;
  EXPECT_EQ(waitpid(bystander, &status, WNOHANG), 0) << "the bystander was signalled";
  kill(bystander, SIGKILL);
  waitpid(bystander, &status, 0);
}

TEST(SyslogMonitor, KilledFollowerIsRestartedAndDetectionGoesOn) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  long first = start_following(sb);
  ASSERT_GT(first, 0);
  ASSERT_TRUE(append_until_seen(sb, "before the loss", 10));
  ASSERT_EQ(kill(static_cast<pid_t>(first), SIGKILL), 0);
  long second = wait_follower(sb, 2, 10);
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);
  EXPECT_TRUE(process_gone(first, 5)) << "the lost follower is reaped";
  EXPECT_TRUE(append_until_seen(sb, "after the loss", 10));
  // The new follower starts at the end of the log: no line already walked comes again.
  EXPECT_EQ(sb.count("tmp/kiv.log", pbuf("before the loss")), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Log follower output ended, restart it.\n"), 1u);
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  EXPECT_TRUE(process_gone(second, 5));
}

TEST(SyslogMonitor, FollowerThatKeepsDyingDoesNotMakeTheThreadSpin) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  long follower = start_following(sb);
  ASSERT_GT(follower, 0);
  for (size_t n = 2; n <= 4; ++n) {
    ASSERT_EQ(kill(static_cast<pid_t>(follower), SIGKILL), 0);
    follower = wait_follower(sb, n, 10);
    ASSERT_GT(follower, 0) << "restart " << n - 1;
  }
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Log follower output ended, restart it.\n"), 3u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]pBuf=[]\n"), 0u) << "no empty line is walked";
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
}

TEST(SyslogMonitor, DebugDumpOnTheConsoleWhileTheFlagIsOne) {
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  sb.write("dev/console", "");
  ASSERT_GT(start_following(sb), 0);
  ASSERT_TRUE(append_until_seen(sb, "no dump yet", 10));
  EXPECT_EQ(sb.count("dev/console", "gArraylen="), 0u);
  sb.set("kiv_debug_flag", "1");
  ASSERT_TRUE(append_until_seen(sb, "with dump", 10));
  EXPECT_TRUE(sb.wait_for("dev/console", "gArraylen=0\n\n", 5));
  sb.set("kiv_debug_flag", "0");
  EXPECT_EQ(sb.signal_and_wait(SIGTERM, 20), 0);
  // The closing console line of the thread is printed while the flag is "1" only.
  EXPECT_EQ(sb.count("dev/console", "[monitor_syslog]/tmp/kivjson.json"), 0u);
}

TEST(SyslogMonitor, FollowerThatCannotStartEndsTheDaemonWithStatusOne) {
#ifdef KIV_TEST_EMULATED
  GTEST_SKIP() << "user-mode emulators run posix_spawn's vfork as a fork: a failed exec is not "
                  "reported, the follower just exits at once";
#endif
  kivtest::sandbox sb(kScale);
  sb.write("tmp/syslog.log", "");
  // No program directory at all: the follower cannot be found.
  const char* saved = getenv("PATH");
  std::string path = saved ? saved : "";
  setenv("PATH", sb.path("no-programs").c_str(), 1);
  pid_t pid = sb.start_kiv();
  setenv("PATH", path.c_str(), 1);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(sb.wait_exit(20), 1);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Cannot find syslog.log!\n"), 1u);
  // The process ends at once: no orderly shutdown, the PID file stays.
  EXPECT_EQ(sb.count("tmp/kiv.log", "===Terminate kiv daemon==="), 0u);
  EXPECT_EQ(pid_file_ids(sb).front(), pid);
}
