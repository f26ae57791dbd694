// Following the system log, on the real daemon: a log rotated by move and by cut while lines keep
// coming, and a follower killed in a burst. Every line is counted through its "pBuf=[...]"
// record. (Pieces, single rotations and a lost follower: tests/scenarios/follow_*.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

// How often each line was walked, in the rotated and the live log.
std::map<std::string, int> walked(const sandbox& sb) {
  std::map<std::string, int> seen;
  std::istringstream in(sb.read("tmp/kiv.log.1") + sb.read("tmp/kiv.log"));
  for (std::string rec; std::getline(in, rec);)
    if (rec.find(")]pBuf=[") != std::string::npos) ++seen[rec.substr(rec.find(")]pBuf=[") + 8)];
  return seen;
}

// The lines "tag-first" .. "tag-(last-1)" that were walked, as a string of 1 (walked once),
// 0 (missed) and 2 (walked more than once).
std::string tally(const sandbox& sb, const std::string& tag, int first, int last) {
  std::map<std::string, int> seen = walked(sb);
  std::string marks;
  for (int i = first; i < last; ++i)
    marks += static_cast<char>('0' + std::min(seen[tag + "-" + std::to_string(i) + "]"], 2));
  return marks;
}

long follower(const sandbox& sb) {
  std::istringstream in(sb.read("var/run/kiv.pid"));
  long id = -1;
  for (long next; in >> next;) id = next;
  return id;
}

// The follower's read position in the file now at the log's name, -1 when it has none open.
long long position(const sandbox& sb) {
  struct stat log;
  if (stat(sb.path("tmp/syslog.log").c_str(), &log) != 0) return -1;
  const std::string fds = "/proc/" + std::to_string(follower(sb)) + "/fd";
  for (int fd = 0; fd < 16; ++fd) {
    struct stat st;
    if (stat((fds + "/" + std::to_string(fd)).c_str(), &st) != 0 || st.st_ino != log.st_ino)
      continue;
    std::string info =
        slurp("/proc/" + std::to_string(follower(sb)) + "/fdinfo/" + std::to_string(fd));
    return std::stoll(info.substr(info.find("pos:") + 4));
  }
  return -1;
}

}  // namespace

// Rotations made once the follower has read the file to its end lose and double no line; a
// follower killed in a burst loses one run of lines at most (those appended while none ran).
TEST(Follow, RapidRotationsAndAKilledFollowerLoseNoLineOrOneRun) {
  router r;
  ASSERT_TRUE(r.start());
  int n = 0;
  for (int generation = 0; generation < 12; ++generation) {
    for (int k = 0; k < 20; ++k) r.syslog("paced-" + std::to_string(n++) + "\n");
    const long long size = static_cast<long long>(r.read("tmp/syslog.log").size());
    for (const double deadline = now_s() + 5; position(r) != size && now_s() < deadline;)
      pause_s(0.001);
    if (generation % 3 == 2) {
      truncate(r.path("tmp/syslog.log").c_str(), 0);
      for (const double deadline = now_s() + 5; position(r) != 0 && now_s() < deadline;)
        pause_s(0.001);
    } else {
      rename(r.path("tmp/syslog.log").c_str(), r.path("tmp/syslog.log.1").c_str());
      r.write("tmp/syslog.log", "");
    }
  }
  ASSERT_TRUE(r.lines(""));
  EXPECT_EQ(tally(r, "paced", 0, n), std::string(static_cast<size_t>(n), '1'));
  for (int i = 0; i < 400; ++i) {
    if (i == 100) kill(static_cast<pid_t>(follower(r)), SIGKILL);
    r.syslog("burst-" + std::to_string(i) + "\n");
    pause_s(0.001);
  }
  for (const double deadline = now_s() + 10;
       !r.wait_for("tmp/kiv.log", "pBuf=[burst-end]", 1, 0.2) && now_s() < deadline;)
    r.syslog("burst-end\n");
  const std::string marks = tally(r, "burst", 0, 400);
  EXPECT_TRUE(std::regex_match(marks, std::regex("1{99,}0*1*"))) << marks;
  EXPECT_EQ(r.stop(), 0);
}
