// tmp/ full while the daemon logs, heals and downloads, on the real daemon, two ways:
// - a small tmpfs mounted on the sandbox's tmp/ and filled up (needs root and a mount that
//   works; skipped otherwise, with the reason);
// - a file size limit put on the running daemon (works anywhere): every file write beyond it
//   fails, as on a full file system, and the limit also raises SIGXFSZ, which must not end it.
//
// Checked each way: the daemon stays up and heals while it cannot log (the service hook leaves
// a file outside tmp/), does not spin (CPU time over a quiet while), a rule file that cannot be
// stored is neither announced nor installed, no record in the log is torn (every record whole or
// absent), and once the space is back it logs the next line, installs the next rule file and ends
// on SIGTERM with status 0.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

using kivtest::now_s;

const std::string kLog = "tmp/kiv.log";
const std::string kSyslog = "tmp/syslog.log";

std::string rule(const std::string& keyword, const std::string& pattern) {
  return kivtest::kv1000_rule("\"keyword\":\"" + keyword + "\",\"re_pattern\":\"" + pattern +
                              "\",\"frequency\":\"2\",\"period\":\"100000\","
                              "\"action\":\"restart_wan\"");
}

// Files the service hook left outside tmp/, one per service event.
int heals(const kivtest::sandbox& box) {
  DIR* dir = opendir(box.path("heals").c_str());
  if (!dir) return 0;
  int n = 0;
  while (struct dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

// Every record of the log is whole: the file ends with a line end and no record starts inside
// another one's line (a cut record would have the next one glued to it).
bool records_whole(const std::string& log) {
  if (!log.empty() && log.back() != '\n') return false;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line))
    if (line.find("[KIV][", 1) != std::string::npos) return false;
  return true;
}

size_t request_count(const kivtest::rule_server& server) {
  std::string r = server.requests();
  size_t n = 0;
  for (char c : r) n += c == '\n';
  return n;
}

enum class filling { tmpfs, size_limit };

struct router {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};
  bool mounted = false;

  router() {
    kivtest::router_settings(box, server);
    // Each service event leaves an empty file outside tmp/: evidence that needs no space.
    mkdir(box.path("heals").c_str(), 0755);
    kivtest::service_hook(box, "#!/bin/sh\n: > \"$KIV_ROOT/heals/$1.$$\"\n");
  }
  ~router() {
    if (box.pid > 0) box.signal_and_wait(SIGKILL, 10);
    if (mounted) umount2(box.path("tmp").c_str(), MNT_DETACH);
  }

  bool start() {
    return server.port > 0 && box.start_kiv() > 0 && box.wait_for(kLog, ")]End\n", 20) &&
           box.wait_ready(20);
  }

  bool check(const std::string& text, int count) {
    box.set("kiv_quick_period", "1");
    box.set("link_internet", "2");
    bool done = box.wait_for_count(kLog, text, count, 60);
    box.set("link_internet", "1");
    return done;
  }

  // Appends a line until the daemon has walked it (the follower may be starting).
  bool walked(const std::string& line) {
    double deadline = now_s() + 20;
    while (now_s() < deadline) {
      box.append(kSyslog, line + "\n");
      if (box.wait_for(kLog, ")]pBuf=[" + line + "]\n", 0.5)) return true;
    }
    return false;
  }
};

bool set_file_limit(pid_t pid, rlim_t limit) {
  struct rlimit rl;
  if (prlimit(pid, RLIMIT_FSIZE, nullptr, &rl) != 0) return false;
  rl.rlim_cur = limit;
  return prlimit(pid, RLIMIT_FSIZE, &rl, nullptr) == 0;
}

// Fills the tmpfs to the last byte with one file; false if it did not fill.
bool fill(const kivtest::sandbox& box) {
  int fd = open(box.path("tmp/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  static char block[4096];
  ssize_t n = 0;
  while ((n = write(fd, block, sizeof block)) > 0) {
  }
  bool full = n < 0 && errno == ENOSPC;
  while (write(fd, block, 1) == 1) {  // any byte still free goes too
  }
  close(fd);
  return full;
}

void run(filling how) {
  router r;
  if (how == filling::tmpfs) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (mount("tmpfs", r.box.path("tmp").c_str(), "tmpfs", 0, "size=2m,mode=0755") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    r.mounted = true;
    // The system log must keep growing while tmp/ is full: it lives outside, behind a link
    // that the follower follows by name.
    r.box.write("syslog.real", "");
    ASSERT_EQ(symlink("../syslog.real", r.box.path(kSyslog).c_str()), 0);
  } else {
    r.box.write(kSyslog, "");
  }
  ASSERT_TRUE(r.start());
  r.server.answer(200, kivtest::pack_rules("[" + rule("wan", "WAN: link down") + "]"));
  ASSERT_TRUE(r.check(")]New arraylen=1\n", 1));
  ASSERT_TRUE(r.walked("Dec  6 12:00:00 app: before the space ran out"));

  // The next rule file is larger than the space left, and it is what the server offers now.
  std::string padding(256 * 1024, ' ');
  std::string next =
      "[" + rule("wan", "WAN: link down") + "," + rule("ppp", "ppp: gone") + padding + "]";
  r.server.answer(200, kivtest::pack_rules(next));

  // No space from here on.
  if (how == filling::tmpfs) {
    ASSERT_TRUE(fill(r.box));
  } else {
    struct stat st;
    ASSERT_EQ(stat(r.box.path(kLog).c_str(), &st), 0);
    ASSERT_TRUE(set_file_limit(r.box.pid, static_cast<rlim_t>(st.st_size)));
  }
  size_t log_size = r.box.read(kLog).size();

  // Lines keep coming; two fault lines heal although nothing can be logged.
  for (int i = 0; i < 20; ++i)
    r.box.append(kSyslog, "Dec  6 12:00:01 app: no space " + std::to_string(i) + "\n");
  r.box.append(kSyslog, "Dec  6 12:00:02 WAN: link down\nDec  6 12:00:03 WAN: link down\n");
  double deadline = now_s() + 30;
  while (heals(r.box) < 1 && now_s() < deadline) usleep(50000);
  EXPECT_GE(heals(r.box), 1) << "no heal while tmp/ was full";

  // A check while full: every attempt fails on the write, nothing is announced.
  size_t requests = request_count(r.server);
  r.box.set("kiv_quick_period", "1");
  r.box.set("link_internet", "2");
  deadline = now_s() + 40;
  while (request_count(r.server) < requests + 6 && now_s() < deadline) usleep(50000);
  EXPECT_EQ(request_count(r.server), requests + 6) << "six attempts";
  usleep(500000);
  r.box.set("link_internet", "1");
  EXPECT_EQ(r.box.get("kiv_is_JSON_updated"), "0");

  // A dump asked for while full is whole or absent, never a cut listing. The request is served
  // by the main loop; the next pass is seen by the dump's removal of the old file.
  ASSERT_TRUE(r.box.read("tmp/kiv_dump.txt").empty());
  kill(r.box.pid, SIGUSR2);
  usleep(1500000);  // several passes of the main loop
  std::string dump = r.box.read("tmp/kiv_dump.txt");
  struct stat dump_st;
  bool dump_exists = stat(r.box.path("tmp/kiv_dump.txt").c_str(), &dump_st) == 0;
  EXPECT_TRUE(!dump_exists || (dump.find("=====monitor_profile[0]=====") != std::string::npos &&
                               dump.back() == '\n'))
      << "a dump cut by the full file system was left: [" << dump << "]";

  // Quiet and full: the daemon waits, it does not spin.
  double cpu_before = kivtest::cpu_seconds(r.box.pid);
  usleep(2000000);
  double cpu_used = kivtest::cpu_seconds(r.box.pid) - cpu_before;
  EXPECT_LT(cpu_used, 0.5) << "CPU seconds in 2 s while full";
  EXPECT_EQ(waitpid(r.box.pid, nullptr, WNOHANG), 0) << "the daemon ended while tmp/ was full";

  std::string log_while_full = r.box.read(kLog);
  EXPECT_TRUE(records_whole(log_while_full))
      << log_while_full.substr(log_size > 2000 ? log_size - 2000 : 0);
  EXPECT_EQ(r.box.count(kLog, ")]Update kiv JSON file.\n"), 1u);
  std::cout << "[ figures  ] " << (how == filling::tmpfs ? "tmpfs" : "size limit")
            << " full: log grew by " << log_while_full.size() - log_size << " bytes, heals "
            << heals(r.box) << ", CPU " << cpu_used << " s in 2 s\n";

  // Space is back: the daemon logs, installs the rule file of the next check, stops.
  if (how == filling::tmpfs)
    unlink(r.box.path("tmp/filler").c_str());
  else
    ASSERT_TRUE(set_file_limit(r.box.pid, RLIM_INFINITY));
  EXPECT_TRUE(r.walked("Dec  6 12:00:04 app: space is back"));
  EXPECT_TRUE(r.check(")]New arraylen=2\n", 1));
  EXPECT_TRUE(records_whole(r.box.read(kLog)));
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0) << r.box.read("kiv.out");
}

}  // namespace

TEST(FaultFullTmp, SmallTmpfsFilledUp) {
  run(filling::tmpfs);
}

TEST(FaultFullTmp, FileSizeLimitOnTheRunningDaemon) {
  run(filling::size_limit);
}
