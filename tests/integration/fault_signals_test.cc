// A burst of every signal the daemon handles or ignores, on the real daemon, while lines come in
// and while its console is a FIFO whose reader keeps going away (so its console writes meet real
// broken pipes, not only a sent SIGPIPE).
//
// Checked: the daemon stays up through the burst; every dump that a reader finds in tmp/ during
// the burst is whole (as many profile sections as its gArraylen line says, every action with its
// result and retry lines, ending with a line end); every line appended is walked exactly once
// (counted through the "pBuf=[...]" records); each kind of request is still served afterwards;
// SIGTERM ends it with status 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

using kivtest::now_s;

const std::string kLog = "tmp/kiv.log";
const std::string kSyslog = "tmp/syslog.log";
const std::string kDump = "tmp/kiv_dump.txt";

std::string rule(const std::string& keyword, const std::string& pattern, const char* action) {
  return "{\"model\":\"KV-1000\",\"keyword\":\"" + keyword + "\",\"re_pattern\":\"" + pattern +
         "\",\"frequency\":\"2\",\"period\":\"100000\",\"action\":\"" + action + "\"}";
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// One whole dump: the profile sections its gArraylen line announces, each action with its
// result and retry, and a line end at the very end.
bool dump_whole(const std::string& text) {
  size_t at = text.find("\ngArraylen=[");
  if (at == std::string::npos || text.back() != '\n') return false;
  int n = atoi(text.c_str() + at + 12);
  if (occurrences(text, "=====monitor_profile[") != static_cast<size_t>(n)) return false;
  size_t actions = occurrences(text, "=>action[");
  return actions == occurrences(text, "==>actionResult[") &&
         actions == occurrences(text, "==>actionRetry[") && actions > 0;
}

}  // namespace

TEST(FaultSignals, BurstOfEverySignalKindWithABrokenConsole) {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};
  kivtest::router_settings(box, server);
  ASSERT_EQ(mkfifo(box.path("dev/console").c_str(), 0644), 0);
  ASSERT_TRUE(server.port > 0 && box.start_kiv() > 0 && box.wait_ready(20));

  server.answer(200, kivtest::pack_rules("[" + rule("wan", "WAN: link down", "restart_wan") + "," +
                                         rule("busy", "burst-[0-9]*7$", "nop") + "]"));
  box.set("kiv_quick_period", "1");
  box.set("link_internet", "2");
  ASSERT_TRUE(box.wait_for(kLog, ")]New arraylen=2\n", 60));
  box.set("link_internet", "1");
  ASSERT_TRUE(kivtest::append_until_walked(box, "ready", 20, 0.3));
  box.set("kiv_service", "test;skip");
  box.set("kiv_debug_flag", "1");  // every record and a rule set listing per line go to the FIFO

  std::atomic<bool> done{false};
  // The console's reader comes and goes: a write while it is gone meets a broken pipe.
  std::thread console([&] {
    char buf[4096];
    while (!done.load()) {
      int fd = open(box.path("dev/console").c_str(), O_RDONLY | O_NONBLOCK);
      if (fd < 0) break;
      double until = now_s() + 0.02;
      while (now_s() < until)
        if (read(fd, buf, sizeof buf) <= 0) usleep(1000);
      close(fd);
      usleep(5000);
    }
  });
  // Every dump a reader finds is whole.
  int dumps_seen = 0, dumps_torn = 0;
  std::string torn_example;
  std::thread reader([&] {
    std::string last;
    while (!done.load()) {
      std::string d = box.read(kDump);
      if (!d.empty() && d != last) {
        ++dumps_seen;
        if (!dump_whole(d)) {
          ++dumps_torn;
          torn_example = d;
        }
        last = d;
      }
      usleep(2000);
    }
  });
  constexpr int kLines = 400;
  std::thread writer([&] {
    for (int i = 0; i < kLines; ++i) {
      box.append(kSyslog, "Dec  6 12:00:00 app: burst-" + std::to_string(i) + "\n");
      if (i % 50 == 0) box.append(kSyslog, "Dec  6 12:00:00 WAN: link down\n");
      usleep(3000);
    }
  });

  const int kinds[] = {SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGCHLD, SIGWINCH, SIGURG};
  std::map<int, int> sent;
  bool gone = false;  // no ASSERT while the writer and reader threads are joinable
  double begin = now_s();
  while (now_s() < begin + 3 && !gone) {
    for (int sig : kinds) {
      gone = kill(box.pid, sig) != 0;
      if (gone) break;
      ++sent[sig];
    }
    usleep(2000);
  }
  writer.join();
  usleep(300000);
  done.store(true);
  reader.join();
  console.join();
  ASSERT_FALSE(gone) << "the daemon is gone after " << sent.size() << " kinds";
  box.set("kiv_debug_flag", "0");

  EXPECT_EQ(waitpid(box.pid, nullptr, WNOHANG), 0) << "the daemon ended in the burst";
  EXPECT_GT(dumps_seen, 0);
  EXPECT_EQ(dumps_torn, 0) << torn_example;
  // Requests of each kind are still served.
  unlink(box.path(kDump).c_str());
  kill(box.pid, SIGUSR2);
  EXPECT_TRUE(box.wait_for(kDump, "=====monitor_profile[1]=====", 20));
  box.append(kSyslog, "Dec  6 12:00:00 app: burst-end\n");
  ASSERT_TRUE(box.wait_for(kLog, ")]pBuf=[Dec  6 12:00:00 app: burst-end]\n", 30));

  EXPECT_EQ(box.signal_and_wait(SIGTERM, 60), 0) << box.read("kiv.out");
  std::map<std::string, int> seen = kivtest::walked_lines(box);
  int lost = 0, doubled = 0;
  for (int i = 0; i < kLines; ++i) {
    auto it = seen.find("Dec  6 12:00:00 app: burst-" + std::to_string(i));
    if (it == seen.end())
      ++lost;
    else if (it->second != 1)
      ++doubled;
  }
  EXPECT_EQ(lost, 0) << "of " << kLines;
  EXPECT_EQ(doubled, 0);
  EXPECT_GE(box.count(kLog, ")]this is test\n"), 1u);
  int total = 0;
  for (const auto& [sig, n] : sent) total += n;
  std::cout << "[ figures  ] " << total << " signals of " << sent.size() << " kinds, " << dumps_seen
            << " dumps read whole, " << kLines << " lines, lost " << lost << ", doubled " << doubled
            << "\n";
}
