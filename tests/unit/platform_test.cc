// The host platform and start-up: the settings store shared between processes, the children the
// daemon starts, the router operations as the host carries them out, and the single-instance
// decision on every kind of PID file.
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <thread>

#include "core/pid_file.h"
#include "core/tmp_files.h"
#include "daemon/startup.h"
#include "platform/decimal.h"
#include "platform/platform_posix.h"
#include "support/kivtest.h"

using namespace kivtest;

TEST(Decimal, TheAtoiRuleSaturatingAtTheLimits) {
  for (const auto& c : cases("decimals.txt")) {
    SCOPED_TRACE(c.where);
    const decimal_read r = read_decimal(c[0]);
    int64_t whole = 0;
    EXPECT_EQ(std::to_string(r.value) + " " + std::to_string(r.digits) + " " +
                  std::to_string(r.saturated) + " " + std::to_string(atoi_rule(c[0])) + " " +
                  (whole_decimal(c[0], &whole) ? std::to_string(whole) : "no"),
              c[1] + " " + c[2] + " " + c[3] + " " + c[4] + " " + c[5]);
  }
  // A piece of a longer text (a rule field in the file's buffer) is read within its bounds.
  const decimal_read cut = read_decimal(std::string_view("   7", 2));
  EXPECT_EQ(cut.value, 0);
  EXPECT_EQ(cut.end, 2u);
}

TEST(SettingsStore, ValuesKeysAndOtherWriters) {
  sandbox sb;
  nvram_set("kiv_service", "a=b c $(x)");
  nvram_set("apps_sq", "");
  nvram_set("multi", "one\ntwo");
  nvram_set("bad key", "x");
  nvram_set_int("kiv_quick_period", -3);
  EXPECT_EQ(nvram_get("apps_sq"), std::optional<std::string>(""));
  EXPECT_EQ(nvram_get("odmpid"), std::nullopt);
  EXPECT_EQ(nvram_get_int("kiv_quick_period") + nvram_get_int("odmpid"), -3);
  EXPECT_TRUE(nvram_match("kiv_service", "a=b c $(x)"));
  EXPECT_FALSE(nvram_match("odmpid", ""));
  nvram_unset("kiv_quick_period");
  std::string shown;
  for (const auto& [k, v] : nvram_show()) shown += k + "=" + v + "\n";
  EXPECT_EQ(shown, "apps_sq=\nkiv_service=a=b c $(x)\nmulti=one\n");
  // Writers in other processes: every key kept, each change seen at the next read.
  for (int w = 0; w < 4; ++w)
    if (fork() == 0) {
      for (int k = 0; k < 25; ++k)
        nvram_set(("w" + std::to_string(w) + "_" + std::to_string(k)).c_str(), "v");
      _exit(0);
    }
  while (wait(nullptr) > 0) {
  }
  EXPECT_EQ(nvram_show().size(), 103u);
  // A store replaced by other means than a writer is seen within a second.
  sb.write("var/nvram.txt", "productid=KV-9\n");
  pause_s(1.1);
  EXPECT_EQ(nvram_safe_get("productid"), "KV-9");
}

TEST(ChildProcess, ExitStatusesTimeoutsAndNoChildOutlivesItsThread) {
  sandbox sb;
  EXPECT_EQ(run_and_wait({"sh", "-c", "exit 3"}, 5), 3);
  EXPECT_EQ(run_and_wait({"sleep", "10"}, 0.2), -1) << "killed at the end of the wait";
  EXPECT_EQ(run_and_wait({"no-such-program"}, 5), -1);
  EXPECT_EQ(spawn_reader({sb.path("missing")}).pid, -1);
  // Default dispositions and an empty mask in the child, whatever the daemon ignores or blocks.
  signal(SIGPIPE, SIG_IGN);
  child_process c = spawn_reader({"grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"});
  char buf[256] = {0};
  EXPECT_GT(read(c.fd, buf, sizeof buf - 1), 0);
  EXPECT_EQ(c.wait(5), 0);
  EXPECT_STREQ(buf, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  child_process sleeper = spawn_reader({"sleep", "30"});
  const pid_t pid = sleeper.pid;
  sleeper.stop(5);
  EXPECT_EQ(kill(pid, 0), -1) << "stopped and reaped";
  std::thread([&] {
    c = spawn_reader({"sleep", "30"});
    pause_s(0.2);  // the child has set its death signal by then
  }).join();
  std::string state;
  for (const double deadline = now_s() + 10; state != "Z" && now_s() < deadline; pause_s(0.01)) {
    std::string stat = slurp("/proc/" + std::to_string(c.pid) + "/stat");
    state = stat.substr(stat.rfind(')') + 2, 1);
  }
  EXPECT_EQ(state, "Z") << "the child dies with the thread that started it";
}

TEST(HostPlatform, RouterOperationsOnTheHost) {
  sandbox sb;
  EXPECT_EQ(kiv_path("/tmp/kiv.log"), sb.path("tmp/kiv.log"));
  EXPECT_EQ(kiv_path("relative"), "relative");
  logmessage_normal("kiv", "[%s]take action-[%s].\n", "self_healing", "reboot");
  logmessage_normal("kiv", "%s", "no line end");
  EXPECT_TRUE(std::regex_match(
      sb.read("tmp/syslog.log"),
      std::regex("([A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] kiv: "
                 "(\\[self_healing\\]take action-\\[reboot\\]\\.|no line end)\n){2}")))
      << sb.read("tmp/syslog.log");
  sb.write("dev/console", "");
  cprintf("%s-%d\n", "console", 1);
  EXPECT_EQ(sb.read("dev/console"), "console-1\n");
  unlink(sb.path("dev/console").c_str());
  EXPECT_EQ(in_child([&] {
              freopen(sb.path("stderr").c_str(), "w", stderr);
              cprintf("to stderr\n");
            }),
            0);
  EXPECT_EQ(sb.read("stderr"), "to stderr\n") << "no console: standard error";
  mkdir(sb.path("sbin").c_str(), 0755);
  sb.service_hook("#!/bin/sh\necho \"$1\" >> \"$KIV_ROOT/hook\"\n");
  sb.write("sbin/reboot", "#!/bin/sh\necho rebooted >> \"$KIV_ROOT/hook\"\n");
  chmod(sb.path("sbin/reboot").c_str(), 0755);
  notify_rc_and_wait_2min("restart_wan");
  platform_reboot();
  EXPECT_EQ(sb.read("tmp/service_events.log"), "restart_wan\nreboot\n");
  EXPECT_EQ(sb.read("hook"), "restart_wan\nrebooted\n");
  symlink(sb.path("nowhere").c_str(), sb.path("tmp/link").c_str());
  EXPECT_EQ(check_if_file_exist("/tmp/link") + check_if_file_exist("/tmp/missing"), 1)
      << "a dangling link exists";
  char text[] = "line\r\n";
  EXPECT_STREQ(trimNL(text), "line");
  EXPECT_FALSE(platform_process_is_kiv(getpid()));
}

// A hard link planted at a path kiv writes in /tmp leads to a file elsewhere (the sticky /tmp
// lets anyone make one where protected_hardlinks is off, as on many routers): it is refused
// for every kind of write and the file it leads to is neither cut nor filled. Reading it, and
// writing a file of kiv's own, go as ever.
TEST(OpenUnblocked, AHardLinkPlantedIsNeverWrittenThrough) {
  sandbox sb;
  const std::string victim = sb.path("victim"), planted = sb.path("tmp/kiv_dump");
  const int writes[] = {O_WRONLY | O_CREAT | O_TRUNC, O_WRONLY | O_APPEND | O_CREAT,
                        O_WRONLY | O_APPEND, O_RDWR};
  for (int flags : writes) {
    SCOPED_TRACE(flags);
    sb.write("victim", "root:x:0:0\n");
    unlink(planted.c_str());
    ASSERT_EQ(link(victim.c_str(), planted.c_str()), 0);
    const int fd = open_unblocked(planted.c_str(), flags);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, EINVAL);
    if (fd >= 0) {
      (void)!write(fd, "x", 1);
      close(fd);
    }
    EXPECT_EQ(sb.read("victim"), "root:x:0:0\n");
  }
  EXPECT_FALSE(write_file_nofollow(planted, "dump", 4));
  EXPECT_EQ(sb.read("victim"), "root:x:0:0\n");
  const int fd = open_unblocked(planted.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << "reading is harmless";
  if (fd >= 0) close(fd);
  unlink(planted.c_str());
  sb.write("tmp/kiv_dump", "a longer text before");
  ASSERT_TRUE(write_file_nofollow(planted, "dump", 4));
  EXPECT_EQ(sb.read("tmp/kiv_dump"), "dump") << "kiv's own file is cut and written";
}

TEST(InitialFunctions, EveryKindOfPidFile) {
  sandbox sb;
  // A running process whose command is "kiv": a copy of sleep under that name.
  ASSERT_EQ(run({"sh", "-c", "cp \"$(command -v sleep)\" " + sb.path("kiv")}).status, 0);
  child_process fake = spawn_reader({sb.path("kiv"), "30"});
  while (!platform_process_is_kiv(fake.pid)) pause_s(0.01);
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  for (const auto& c : cases("pidfiles.txt")) {
    SCOPED_TRACE(c.where);
    std::string content = std::regex_replace(c[0], std::regex("KIV"), std::to_string(fake.pid));
    content = std::regex_replace(content, std::regex("OTHER"), std::to_string(getpid()));
    content = std::regex_replace(content, std::regex("DEAD"), std::to_string(dead));
    sandbox fresh;
    if (content != "<none>") fresh.write("var/run/kiv.pid", content);
    fresh.set("kiv_is_JSON_updated", "1");
    const int status = in_child([&] {
      if (content == "OWN") fresh.write("var/run/kiv.pid", std::to_string(getpid()));
      initial_functions();
      _exit(3);  // start-up went on
    });
    // Another instance: status 0, its file and the announcement left; else its own id written.
    const std::string log = fresh.read("tmp/kiv.log"), now = fresh.read("var/run/kiv.pid");
    const bool running = c[1] == "running";
    EXPECT_EQ(status, running ? 0 : 3) << c[0];
    EXPECT_TRUE(running ? now == content
                        : std::regex_match(now, std::regex("[0-9]+")) && now != content)
        << c[0];
    EXPECT_TRUE(in_order(log, {")]Start\n", running ? ")]kiv is already running.\n" : ")]End\n"}))
        << log;
    EXPECT_EQ(occurrences(log, "[KIV][initial_functions:("), 2u) << log;
    EXPECT_EQ(fresh.get("kiv_is_JSON_updated"), running ? "1" : "0");
  }
  // A link at the path is replaced, never followed; the follower's id goes behind the daemon's.
  unlink(sb.path("var/run/kiv.pid").c_str());
  symlink(sb.path("elsewhere").c_str(), sb.path("var/run/kiv.pid").c_str());
  EXPECT_EQ(in_child([] {
              initial_functions();
              append_tail_pid(4321);
              append_tail_pid(-1);
            }),
            0);
  EXPECT_EQ(access(sb.path("elsewhere").c_str(), F_OK), -1);
  EXPECT_TRUE(std::regex_match(sb.read("var/run/kiv.pid"), std::regex("[0-9]+\n4321\n\n")));
  // No directory for it: start-up ends with status 0; nothing is created.
  unlink(sb.path("var/run/kiv.pid").c_str());
  rmdir(sb.path("var/run").c_str());
  EXPECT_EQ(in_child([] {
              initial_functions();
              _exit(3);
            }),
            0);
  append_tail_pid(1);
  EXPECT_EQ(access(sb.path("var/run").c_str(), F_OK), -1);
  mkdir(sb.path("var/run").c_str(), 0755);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Cannot create [/var/run/kiv.pid].\n"), 1u);
}

// The router's C library may have a 32-bit time_t, and its clock may go past 2038-01-19 (a wrong
// real-time clock, a forged time answer): the wall clock and the calendar the schedule reads
// hold there, with either width.
TEST(WallClock, PastTheYear2038WithEitherTimeWidth) {
  EXPECT_EQ(seconds_since_1970(INT32_MAX, 32), INT32_MAX);
  EXPECT_EQ(seconds_since_1970(INT32_MIN, 32), 2147483648LL);  // a wrapped 32-bit reading
  EXPECT_EQ(seconds_since_1970(-1, 32), 4294967295LL);
  EXPECT_EQ(seconds_since_1970(4102444800LL, 64), 4102444800LL);
  setenv("TZ", "UTC0", 1);
  tzset();
  for (const auto& c : cases("calendar.txt")) {
    struct tm tm {};
    ASSERT_TRUE(local_calendar(std::stoll(c[0]), &tm)) << c.where;
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %a", &tm);
    EXPECT_EQ(text, c[1]) << c.where;
  }
  EXPECT_GT(platform_time(), 1700000000);  // this machine's clock stands after 2023
}

// A wait longer than a time_t holds (a huge setting) is armed as a long one, not refused as a
// negative one that would never fire or fire at once.
TEST(WallClock, AHugeAlarmIsArmedLong) {
  for (double seconds : {1e12, 1e30}) {
    kiv_alarm(seconds);
    struct itimerval it {};
    getitimer(ITIMER_REAL, &it);
    EXPECT_GT(it.it_value.tv_sec, 100000) << seconds;
  }
  struct itimerval off {};
  setitimer(ITIMER_REAL, &off, nullptr);
}
