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

// Runs the nvram tool with args (no shell), for at most 30 seconds; its exit status, -1 when it
// could not run or did not end. What it printed goes to *out when given.
int nvram(const kivtest::sandbox& box, const std::vector<std::string>& args,
          std::string* out = nullptr) {
  std::vector<std::string> argv = {kivtest::bin("nvram")};
  argv.insert(argv.end(), args.begin(), args.end());
  kivtest::run_result r = kivtest::run_program(box, argv);
  if (out) *out = r.out;
  return r.status;
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
      if (nvram(box, {"set", "kiv_service=" + (i % 2 ? longer : shorter)}) != 0) ++failed;
      ++writes;
    }
  });
  std::thread filler([&] {
    for (int i = 0; i < kFillers; ++i) {
      std::string value =
          "value-" + std::to_string(i) + "-" + std::string(static_cast<size_t>(i) * 7, 'f');
      if (nvram(box, {"set", "filler_" + std::to_string(i) + "=" + value}) != 0) ++failed;
      ++writes;
    }
  });
  double begin = now_s();
  int signals = 0;
  bool gone = false;  // no ASSERT while the writer threads are joinable
  while (now_s() < begin + 4 && !gone) {
    gone = kill(box.pid, SIGUSR1) != 0;
    if (!gone) ++signals;
    usleep(20000);
  }
  filler.join();
  done.store(true);
  flipper.join();
  ASSERT_FALSE(gone) << "the daemon is gone";
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
  ASSERT_EQ(nvram(box, {"show"}, &shown), 0);
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
