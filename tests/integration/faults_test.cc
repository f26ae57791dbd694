// A full tmp/, on the real daemon. (Rule server faults, a reload during a heal, a fatal signal in
// a walk, a storm of signals, other processes writing the settings store: tests/scenarios/fault_*.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

// Every record of the log whole: no record starts inside another's line.
bool records_whole(const std::string& log) {
  return occurrences(log, "[KIV][") == occurrences("\n" + log, "\n[KIV][") &&
         (log.empty() || log.back() == '\n');
}

const std::string kRules =
    "[" +
    rule(R"("re_pattern":"WAN: link down","frequency":2,"period":100000,)"
         R"("action":"restart_wan")") +
    "," + rule(R"("re_pattern":"burst-[0-9]*7$","frequency":100,"action":"nop")") + "]";

}  // namespace

// tmp/ full (a small tmpfs when this runs as root, a file size limit on the daemon otherwise):
// the daemon heals while it cannot log, does not spin, announces no rule file it could not store,
// keeps every record whole, and logs and installs again once there is room.
TEST(Faults, FullTmpNeitherStopsHealingNorTearsRecords) {
  router r;
  mkdir(r.path("heals").c_str(), 0755);
  r.service_hook("#!/bin/sh\n: > \"$KIV_ROOT/heals/$1.$$\"\n");  // evidence outside tmp/
  const bool tmpfs =
      geteuid() == 0 && mount("tmpfs", r.path("tmp").c_str(), "tmpfs", 0, "size=2m") == 0;
  if (tmpfs) {
    r.write("syslog.real", "");  // the system log keeps growing outside, behind a link
    symlink("../syslog.real", r.path("tmp/syslog.log").c_str());
  }
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load(kRules));
  r.answer(200, packed("[" + rule("\"keyword\":\"" + std::string(300000, 'p') + "\"") + "," +
                       rule("") + "]"));
  if (tmpfs) {
    int fd = open(r.path("tmp/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    for (char block[4096] = {}; write(fd, block, sizeof block) > 0;) {
    }
    while (write(fd, "x", 1) == 1) {
    }
    close(fd);
  } else {
    struct rlimit rl = {static_cast<rlim_t>(r.read("tmp/kiv.log").size()), RLIM_INFINITY};
    ASSERT_EQ(prlimit(r.pid, RLIMIT_FSIZE, &rl, nullptr), 0);
  }
  r.syslog("WAN: link down\nWAN: link down\n");
  for (const double deadline = now_s() + 20;
       run({"ls", r.path("heals")}).out.empty() && now_s() < deadline;)
    pause_s(0.05);
  EXPECT_FALSE(run({"ls", r.path("heals")}).out.empty()) << "no heal while tmp/ was full";
  const size_t requests = occurrences(r.requests(), "\n");
  r.set("kiv_quick_period", "1");
  r.set("link_internet", "2");
  for (const double deadline = now_s() + 30;
       occurrences(r.requests(), "\n") < requests + 6 && now_s() < deadline;)
    pause_s(0.05);
  pause_s(0.3);
  r.set("link_internet", "1");
  EXPECT_EQ(r.get("kiv_is_JSON_updated"), "0") << "nothing announced that could not be stored";
  kill(r.pid, SIGUSR2);
  const double cpu = cpu_seconds(r.pid);
  pause_s(1.5);
  EXPECT_LT(cpu_seconds(r.pid) - cpu, 0.5) << "it spins while full";
  const std::string dump = r.read("tmp/kiv_dump.txt");
  EXPECT_TRUE(dump.empty() || whole_dump(dump)) << "a dump cut short was left";
  EXPECT_TRUE(records_whole(r.read("tmp/kiv.log")));
  const struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
  if (tmpfs)
    unlink(r.path("tmp/filler").c_str());
  else
    prlimit(r.pid, RLIMIT_FSIZE, &unlimited, nullptr);
  EXPECT_TRUE(r.lines("room again\n"));
  EXPECT_TRUE(r.load("[]"));
  EXPECT_TRUE(records_whole(r.read("tmp/kiv.log")));
  EXPECT_EQ(r.stop(), 0);
  if (tmpfs) umount2(r.path("tmp").c_str(), MNT_DETACH);
}
