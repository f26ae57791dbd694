// The settings store written by other processes (the nvram tool, over and over) while the real
// daemon reads and writes it: the daemon reads the command key on every SIGUSR1 and clears it
// after serving, and reads its debug key at every log record.
//
// Checked: every value the daemon read (its "nv=[...]" records) is one that some writer stored,
// never a mix of two or a part of one; the daemon stays up and ends on SIGTERM with status 0; and
// no key of the other writers is lost to the daemon's own writes (the store compared key by key
// at the end).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"

namespace {

using kivtest::now_s;

const std::string kLog = "tmp/kiv.log";

// Runs the nvram tool with argv (no shell); its exit status, -1 when it could not run.
int nvram(const std::vector<std::string>& args, std::string* out = nullptr) {
  int pipefd[2];
  if (out && pipe(pipefd) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (out) {
      dup2(pipefd[1], STDOUT_FILENO);
      close(pipefd[0]);
      close(pipefd[1]);
    }
    std::vector<char*> argv;
    std::string exe = kivtest::bin("nvram");
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  if (out) {
    close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The values of every "nv=[...]" record in the log.
std::vector<std::string> values_read(const std::string& log) {
  std::vector<std::string> values;
  std::istringstream in(log);
  std::string record;
  const std::string mark = ")]nv=[";
  while (std::getline(in, record)) {
    size_t at = record.find(mark);
    if (at == std::string::npos || record.back() != ']') continue;
    size_t from = at + mark.size();
    values.push_back(record.substr(from, record.size() - from - 1));
  }
  return values;
}

}  // namespace

TEST(FaultSettingsWriters, DaemonReadsOnlyWholeValuesWhileOthersWrite) {
  kivtest::sandbox box;
  box.set("success_start_service", "1");
  box.write("tmp/syslog.log", "");
  ASSERT_TRUE(box.start_kiv() > 0 && box.wait_for(kLog, ")]End\n", 20) && box.wait_ready(20));

  // Two commands of very different lengths, so that a torn read would show.
  const std::string shorter = "test";
  const std::string longer = "skip " + std::string(200, 'x') + " " + std::string(30, 'y');
  constexpr int kFillers = 40;
  std::atomic<bool> done{false};
  std::atomic<int> writes{0}, failed{0};
  // Writer 1 flips the command key; writer 2 sets keys of its own, growing the store.
  std::thread flipper([&] {
    for (int i = 0; !done.load(); ++i) {
      if (nvram({"set", "kiv_service=" + (i % 2 ? longer : shorter)}) != 0) ++failed;
      ++writes;
    }
  });
  std::thread filler([&] {
    for (int i = 0; i < kFillers; ++i) {
      std::string value =
          "value-" + std::to_string(i) + "-" + std::string(static_cast<size_t>(i) * 7, 'f');
      if (nvram({"set", "filler_" + std::to_string(i) + "=" + value}) != 0) ++failed;
      ++writes;
    }
  });
  double begin = now_s();
  int signals = 0;
  while (now_s() < begin + 4) {
    ASSERT_EQ(kill(box.pid, SIGUSR1), 0) << "the daemon is gone";
    ++signals;
    usleep(20000);
  }
  filler.join();
  done.store(true);
  flipper.join();
  // The last command is served too.
  usleep(500000);
  EXPECT_EQ(waitpid(box.pid, nullptr, WNOHANG), 0) << "the daemon ended";
  EXPECT_EQ(failed.load(), 0);

  std::vector<std::string> values = values_read(box.read(kLog));
  std::set<std::string> allowed = {"", shorter, longer};
  int torn = 0, nonempty = 0;
  for (const auto& v : values) {
    if (!allowed.count(v)) ++torn;
    if (!v.empty()) ++nonempty;
  }
  EXPECT_GT(nonempty, 0) << "the daemon read no command at all";
  EXPECT_EQ(torn, 0) << "values read that no writer stored";

  // The store compared key by key: every key of the second writer holds its value.
  std::string shown;
  ASSERT_EQ(nvram({"show"}, &shown), 0);
  for (int i = 0; i < kFillers; ++i) {
    std::string line = "filler_" + std::to_string(i) + "=value-" + std::to_string(i) + "-" +
                       std::string(static_cast<size_t>(i) * 7, 'f') + "\n";
    EXPECT_NE(shown.find(line), std::string::npos) << "lost: filler_" << i;
  }
  EXPECT_NE(shown.find("success_start_service=1\n"), std::string::npos);

  EXPECT_EQ(box.signal_and_wait(SIGTERM, 30), 0) << box.read("kiv.out");
  std::cout << "[ figures  ] " << writes.load() << " writes by other processes, " << signals
            << " SIGUSR1, " << values.size() << " reads of the command key (" << nonempty
            << " with a command), torn " << torn << "\n";
}
