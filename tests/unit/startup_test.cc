// Single-instance start-up: the decisions of initial_functions on every kind of PID file.
#include "core/startup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

std::string own_pid() {
  return std::to_string(getpid());
}

// A live process whose command is "kiv" (a copy of sleep under that name), for as long as the
// object lives.
struct fake_kiv {
  pid_t pid = -1;
  explicit fake_kiv(const kivtest::sandbox& sb) {
    std::string exe = sb.path("kiv");
    std::string sleep_bin = access("/bin/sleep", X_OK) == 0 ? "/bin/sleep" : "/usr/bin/sleep";
    int rc = run_and_wait({"cp", sleep_bin, exe}, 10);
    if (rc != 0) return;
    spawned_reader r = spawn_reader({exe, "30"});
    if (r.fd >= 0) close(r.fd);
    pid = r.pid;
    // Wait until the child has become "kiv" (exec done).
    for (int i = 0; i < 250 && !platform_process_is_kiv(pid); ++i) usleep(20000);
  }
  ~fake_kiv() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

// A live process that is not a kiv daemon.
struct other_process {
  pid_t pid = -1;
  other_process() {
    pid = fork();
    if (pid == 0) {
      pause();
      _exit(0);
    }
  }
  ~other_process() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

void expect_replaced(const kivtest::sandbox& sb) {
  EXPECT_EQ(sb.read("var/run/kiv.pid"), own_pid());
  EXPECT_EQ(sb.count("tmp/kiv.log", "kiv is already running."), 0u);
  EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0");
  EXPECT_EQ(sb.count("tmp/kiv.log", "]End\n"), 1u);
}

}  // namespace

TEST(InitialFunctions, NoPidFileCreatesOneWithOwnPid) {
  kivtest::sandbox sb;
  sb.set("kiv_is_JSON_updated", "1");
  initial_functions();
  EXPECT_EQ(sb.read("var/run/kiv.pid"), own_pid());
  EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0");
  std::string log = sb.read("tmp/kiv.log");
  EXPECT_EQ(log.rfind("[KIV][initial_functions:(", 0), 0u);
  EXPECT_NE(log.find(")]Start\n[KIV][initial_functions:("), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 6), ")]End\n");
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]End\n"), 1u);
  struct stat st;
  ASSERT_EQ(stat(sb.path("var/run/kiv.pid").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(InitialFunctions, ZeroNegativeGarbageAndEmptyAreReplaced) {
  for (const char* content : {"0", "-5", "abc", "", "   ", "\n\n", "0\n12\n"}) {
    kivtest::sandbox sb;
    sb.write("var/run/kiv.pid", content);
    initial_functions();
    SCOPED_TRACE(std::string("content [") + content + "]");
    expect_replaced(sb);
  }
}

TEST(InitialFunctions, HugeNumberIsReplaced) {
  kivtest::sandbox sb;
  sb.write("var/run/kiv.pid", "99999999999999999999999");
  initial_functions();
  expect_replaced(sb);
}

TEST(InitialFunctions, LiveProcessThatIsNotKivIsReplaced) {
  kivtest::sandbox sb;
  other_process other;
  ASSERT_GT(other.pid, 0);
  sb.write("var/run/kiv.pid", std::to_string(other.pid) + "\n" + std::to_string(other.pid) + "\n");
  initial_functions();
  expect_replaced(sb);
  EXPECT_EQ(kill(other.pid, 0), 0);  // nothing was done to it
}

TEST(InitialFunctions, OwnPidIsNotAnotherInstance) {
  kivtest::sandbox sb;
  sb.write("var/run/kiv.pid", own_pid());
  initial_functions();
  expect_replaced(sb);
}

TEST(InitialFunctions, DeadPidIsReplaced) {
  kivtest::sandbox sb;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  sb.write("var/run/kiv.pid", std::to_string(child));
  initial_functions();
  expect_replaced(sb);
}

TEST(InitialFunctions, RunningKivEndsThisOneWithStatusZero) {
  kivtest::sandbox sb;
  fake_kiv other(sb);
  ASSERT_TRUE(platform_process_is_kiv(other.pid));
  std::string stored = std::to_string(other.pid) + "\n4242\n";
  sb.write("var/run/kiv.pid", stored);
  sb.set("kiv_is_JSON_updated", "1");
  EXPECT_EXIT(initial_functions(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(sb.count("tmp/kiv.log", "]kiv is already running.\n"), 1u);
  EXPECT_EQ(sb.read("var/run/kiv.pid"), stored);
  EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "1");
  EXPECT_EQ(sb.count("tmp/kiv.log", "]End\n"), 0u);
}

TEST(InitialFunctions, OnlyTheFirstNumberCounts) {
  kivtest::sandbox sb;
  fake_kiv other(sb);
  ASSERT_TRUE(platform_process_is_kiv(other.pid));
  // A kiv daemon's id in the second line is the follower's place, not the stored daemon.
  sb.write("var/run/kiv.pid", "0\n" + std::to_string(other.pid) + "\n");
  initial_functions();
  expect_replaced(sb);
}

TEST(InitialFunctions, SymbolicLinkIsReplacedNotFollowed) {
  kivtest::sandbox sb;
  std::string target = sb.path("tmp/elsewhere");
  ASSERT_EQ(symlink(target.c_str(), sb.path("var/run/kiv.pid").c_str()), 0);
  initial_functions();
  struct stat st;
  ASSERT_EQ(lstat(sb.path("var/run/kiv.pid").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(sb.read("var/run/kiv.pid"), own_pid());
  EXPECT_NE(access(target.c_str(), F_OK), 0);
}

TEST(WritePidFile, CannotCreateEndsWithStatusZero) {
  kivtest::sandbox sb;
  ASSERT_EQ(rmdir(sb.path("var/run").c_str()), 0);
  EXPECT_EXIT(write_pid_file(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(sb.count("tmp/kiv.log", "]Cannot create [/var/run/kiv.pid].\n"), 1u);
}

TEST(WritePidFile, NoDirectoryIsCreated) {
  kivtest::sandbox sb;
  ASSERT_EQ(rmdir(sb.path("var/run").c_str()), 0);
  EXPECT_EXIT(initial_functions(), testing::ExitedWithCode(0), "");
  EXPECT_NE(access(sb.path("var/run").c_str(), F_OK), 0);
}

TEST(AppendTailPid, AddsFollowerAfterDaemon) {
  kivtest::sandbox sb;
  initial_functions();
  append_tail_pid(4321);
  EXPECT_EQ(sb.read("var/run/kiv.pid"), own_pid() + "\n4321\n");
}

TEST(AppendTailPid, NoFollowerAddsOnlyNewline) {
  kivtest::sandbox sb;
  initial_functions();
  append_tail_pid(-1);
  EXPECT_EQ(sb.read("var/run/kiv.pid"), own_pid() + "\n");
}

TEST(AppendTailPid, MissingFileIsNotCreated) {
  kivtest::sandbox sb;
  append_tail_pid(77);
  EXPECT_NE(access(sb.path("var/run/kiv.pid").c_str(), F_OK), 0);
}
