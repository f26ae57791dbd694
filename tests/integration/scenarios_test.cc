// The daemon's linear stories, kept as data: each tests/scenarios/NAME.txt is a test of its own
// (Scenario.RunsAsWritten/NAME), run on a router one step a line, "verb | argument | ...", written
// as the case tables are; its comments say what it guards. The verbs are the table in step(). All
// waits are bounded. "stop [STATUS [WITHIN_S [SIGNAL]]]": the status a number or a signal's name
// (128 + it); a stop that sent a signal sees the follower go too; after one launched by "launch
// [ENV]" (no wait for the handlers) the earlier daemon is the current one again. "same FILE"
// compares with the first look (a dump's text, a file's inode and time); "mark FILE REGEX" counts
// matches that "grows FILE REGEX N" waits to see grow by N; "like FILE REGEX" matches it whole;
// "peak [KB]" notes the daemon's peak memory, then bounds its growth. In arguments {URL} and
// {URL:LISTENER} are the rule server's addresses, {ROOT}, {PID} and {FOLLOWER} the root and the
// current ids, {NOW-S} the wall clock S seconds ago, "packed:TEXT" TEXT in a rule container and
// "file:REL" a file of the source tree. A FILE is below the root, or "dump" (a fresh dump),
// "requests" (the server's records), "followers" (the root's follower processes) or "run:COMMAND"
// (its standard output; kivrule the one built); count and order see it with source lines blanked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

struct story : router {
  std::map<std::string, std::string> stamps;
  std::map<std::string, size_t> marks;
  std::map<std::string, double> used;
  double timer = 0;
  int held = -1;
  ~story() { close(held); }
  std::vector<pid_t> others;  // daemons started before the one launched last

  std::string value(const std::string& arg) const {
    if (arg.starts_with("packed:")) return packed(value(arg.substr(7)));
    if (arg.starts_with("file:")) return slurp(source(arg.substr(5)));
    static const std::regex field(R"(\{(URL|ROOT|PID|FOLLOWER|NOW)(?::(\w+)|-(\d+))?\})");
    std::string out = arg;
    for (std::smatch m; std::regex_search(out, m, field);) {
      const std::string f = m[1], x = m[2].str() + m[3].str();
      out.replace(m.position(0), m.length(0),
                  f == "URL"        ? url(x.empty() ? "port" : x.c_str())
                  : f == "ROOT"     ? path("").substr(0, path("").size() - 1)
                  : f == "PID"      ? std::to_string(pid)
                  : f == "FOLLOWER" ? std::to_string(follower())
                                    : std::to_string(time(nullptr) - std::stoll(x)));
    }
    return out;
  }

  pid_t follower() const {  // the last id in the PID file
    std::istringstream in(read("var/run/kiv.pid"));
    long id = -1;
    for (long next; in >> next;) id = next;
    return static_cast<pid_t>(id);
  }

  size_t matches(const std::string& file, const std::string& pattern) {
    const std::string t = text(file);
    const std::regex re(pattern);
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(t.begin(), t.end(), re), std::sregex_iterator()));
  }

  long long position() const {  // the follower's read position in the file at the log's name
    struct stat log, st;
    const std::string at = "/proc/" + std::to_string(follower()) + "/fd";
    for (int fd = 0; fd < 16 && stat(path("tmp/syslog.log").c_str(), &log) == 0; ++fd) {
      if (stat((at + "/" + std::to_string(fd)).c_str(), &st) != 0 || st.st_ino != log.st_ino)
        continue;
      const std::string info = slurp(at + "info/" + std::to_string(fd));
      return std::stoll(info.substr(info.find("pos:") + 4));
    }
    return -1;
  }

  std::string text(const std::string& file) {
    if (file == "dump") return dump();
    if (file == "requests") return requests();
    if (file == "followers")
      return run({"pgrep", "-f", "-x", "tail -F -n 1 " + path("tmp/syslog.log")}).out;
    if (file == "grouped")  // the log grouped by function, the year in the banner blanked
      return std::regex_replace(normalized_log(read("tmp/kiv.log"), true), std::regex(R"(20\d\d)"),
                                "YEAR");
    if (file.starts_with("/")) return slurp(file);
    if (file.starts_with("run:")) {  // what the command prints on standard output
      std::istringstream in(file.substr(4));
      std::vector<std::string> args;
      for (std::string w; in >> w;) args.push_back(w == "kivrule" ? bin("kivrule") : w);
      return run(args).out;
    }
    return read(file);
  }

  void step(const std::string& verb, std::vector<std::string> a) {
    static const std::map<std::string, int> signals = {
        {"none", 0},       {"HUP", SIGHUP},   {"KILL", SIGKILL},
        {"TERM", SIGTERM}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2},
        {"STOP", SIGSTOP}, {"CONT", SIGCONT}, {"SEGV", SIGSEGV}};
    const auto given = static_cast<std::ptrdiff_t>(a.size());
    for (std::string& arg : a) arg = value(arg);
    a.resize(std::max<size_t>(a.size(), 4));
    auto number = [&](size_t i, double otherwise) { return a[i].empty() ? otherwise : stod(a[i]); };
    const std::map<std::string, std::function<void()>> verbs = {
        {"settings", [&] { settings(a[0]); }},
        {"hook", [&] { service_hook(a[0]); }},
        {"answer", [&] { answer(std::stoi(a[0]), a[1], number(2, 0)); }},
        {"write", [&] { write(a[0], a[1]); }},
        {"mkdir", [&] { mkdir(path(a[0]).c_str(), 0755); }},
        {"remove", [&] { std::filesystem::remove_all(path(a[0])); }},
        {"clock", [&] { clock(std::stod(a[0])); }},
        {"pause", [&] { pause_s(std::stod(a[0])); }},
        {"start", [&] { ASSERT_TRUE(start(number(0, 0.02))); }},
        {"boot", [&] { ASSERT_TRUE(sandbox::start(0.02)); }},
        {"load", [&] { ASSERT_TRUE(load(a[0])); }},
        {"lines", [&] { ASSERT_TRUE(lines(a[0])); }},
        {"syslog", [&] { syslog(a[0]); }},
        {"move", [&] { rename(path(a[0]).c_str(), path(a[1]).c_str()); }},
        {"signal",
         [&] {
           const pid_t to = a[1] == "follower" ? follower() : pid;
           ASSERT_GT(to, 0);
           ASSERT_EQ(kill(to, signals.at(a[0])), 0);
         }},
        {"feed",
         [&] {
           for (const double end = now_s() + 10;
                !wait_for("tmp/kiv.log", "pBuf=[" + a[0] + "]", 1, 0.2) && now_s() < end;)
             syslog(a[0] + "\n");
           ASSERT_TRUE(wait_for("tmp/kiv.log", "pBuf=[" + a[0] + "]", 1, 0));
         }},
        {"stop",
         [&] {
           const double from = now_s();
           const pid_t tail = follower();
           const int sig = a[2].empty() ? SIGTERM : signals.at(a[2]);
           EXPECT_EQ(stop(sig), signals.count(a[0]) ? 128 + signals.at(a[0]) : number(0, 0));
           EXPECT_LT(now_s() - from, number(1, 60));
           for (const double end = now_s() + 5; sig && tail > 0 && !kill(tail, 0) && now_s() < end;)
             pause_s(0.02);
           EXPECT_TRUE(!sig || tail <= 0 || kill(tail, 0) == -1) << "the follower outlived it";
           if (!others.empty()) pid = others.back(), others.pop_back();
         }},
        {"launch",
         [&] {
           others.push_back(pid);
           sandbox::start(0.02, a[0].empty() ? std::vector<std::string>{} : std::vector{a[0]},
                          false);
         }},
        {"numbered",  // lines TAG-FROM .. TAG-(TO-1), a pause after each
         [&] {
           for (int i = std::stoi(a[1]); i < std::stoi(a[2]); ++i, pause_s(number(3, 0)))
             syslog(a[0] + "-" + std::to_string(i) + "\n");
         }},
        {"caught-up",  // (when it can) the follower has read the log to its end
         [&] {
           const auto size = static_cast<long long>(read("tmp/syslog.log").size());
           for (const double end = now_s() + 5; position() != size && now_s() < end;)
             pause_s(0.001);
         }},
        {"tally",  // how often each line TAG-FROM .. TAG-(TO-1) was walked: 0, 1 or 2 (more)
         [&] {
           const std::string log = read("tmp/kiv.log.1") + read("tmp/kiv.log");
           std::string marks;
           for (int i = std::stoi(a[1]); i < std::stoi(a[2]); ++i)
             marks += static_cast<char>(
                 '0' +
                 std::min<size_t>(
                     occurrences(log, ")]pBuf=[" + a[0] + "-" + std::to_string(i) + "]\n"), 2));
           EXPECT_TRUE(std::regex_match(marks, std::regex(a[3]))) << marks;
         }},
        {"balance",  // as often the one as the other
         [&] {
           for (const double end = now_s() + 20;
                count(a[0], a[1]) != count(a[0], a[2]) && now_s() < end;)
             pause_s(0.02);
           EXPECT_EQ(count(a[0], a[1]), count(a[0], a[2])) << a[1] << " / " << a[2];
         }},
        {"wait", [&] { ASSERT_TRUE(wait_for(a[0], a[1], size_t(number(2, 1)), 90)); }},
        {"count", [&] { EXPECT_EQ(occurrences(blank_lines(text(a[0])), a[1]), stoul(a[2])); }},
        {"equals",  // looked at again for a while: an emulator may show an exec late
         [&] {
           for (const double end = now_s() + 2; text(a[0]) != a[1] && now_s() < end;) pause_s(0.02);
           EXPECT_EQ(text(a[0]), a[1]);
         }},
        {"like", [&] { EXPECT_TRUE(std::regex_match(text(a[0]), std::regex(a[1]))) << a[1]; }},
        {"order",
         [&] {
           EXPECT_TRUE(in_order(blank_lines(text(a[0])), {a.begin() + 1, a.begin() + given}));
         }},
        {"missing", [&] { EXPECT_EQ(access(path(a[0]).c_str(), F_OK), -1); }},
        {"exists", [&] { EXPECT_EQ(access(path(a[0]).c_str(), F_OK), 0); }},
        {"key", [&] { EXPECT_EQ(get(a[0]), a[1]); }},
        {"golden", [&] { expect_golden(a[0], text(a[1])); }},
        {"whole", [&] { EXPECT_TRUE(whole_dump(text(a[0]))); }},
        {"same",
         [&] {
           const std::string now =
               a[0] == "dump" ? dump() : run({"stat", "-c", "%i %y", path(a[0])}).out;
           EXPECT_EQ(stamps.emplace(a[0], now).first->second, now) << "changed";
         }},
        {"fault", [&] { fault(a[0]); }},
        {"fifo", [&] { ASSERT_EQ(mkfifo(path(a[0]).c_str(), 0644), 0); }},
        {"hold",  // a writer, once a reader waits on the FIFO (kept open until the end)
         [&] {
           for (const double end = now_s() + 30; held < 0 && now_s() < end; pause_s(0.02))
             held = open(path(a[0]).c_str(), O_WRONLY | O_NONBLOCK);
           ASSERT_GE(held, 0) << "nobody read " << a[0];
         }},
        {"mark", [&] { marks[a[0] + '\n' + a[1]] = matches(a[0], a[1]); }},
        {"grows",
         [&] {
           const size_t want = marks[a[0] + '\n' + a[1]] + std::stoul(a[2]);
           for (const double end = now_s() + 20; matches(a[0], a[1]) < want && now_s() < end;)
             pause_s(0.05);
           EXPECT_GE(matches(a[0], a[1]), want) << a[1];
         }},
        {"use",
         [&] {
           const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
           const double now = a[0] == "cpu" ? cpu_seconds(pid)
                                            : std::stod(status.substr(status.find("VmHWM:") + 6));
           if (a[1].empty()) used[a[0]] = now;
           EXPECT_LT(now - used[a[0]], number(1, 1)) << a[0] << " grew";
         }},
        {"absent", [&] { EXPECT_FALSE(wait_for(a[0], a[1], size_t(number(2, 1)), number(3, 1))); }},
        {"timer",
         [&] {
           if (a[0].empty()) timer = now_s();
           EXPECT_GE(now_s() - timer, number(0, 0));
         }},
        {"masks", [&] {    // the handlers' signals reach the main thread only
#ifndef KIV_TEST_EMULATED  // the emulator's masks are shown in the host's numbering
           const unsigned long long mine = (1ULL << (SIGALRM - 1)) | (1ULL << (SIGUSR1 - 1)) |
                                           (1ULL << (SIGUSR2 - 1)) | (1ULL << (SIGTERM - 1));
           const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
           int blocking = 0;  // (a sanitizer's runtime may add a thread of its own)
           for (const auto& task : std::filesystem::directory_iterator(tasks)) {
             const std::string status = slurp(task.path().string() + "/status");
             const auto mask = std::stoull(status.substr(status.find("SigBlk:") + 7), nullptr, 16);
             if (task.path().filename() == std::to_string(pid))
               EXPECT_EQ(mask & mine, 0u);
             else
               blocking += (mask & mine) == mine;
           }
           EXPECT_GE(blocking, 2);
#endif
         }}};
    ASSERT_TRUE(verbs.count(verb)) << "no verb " << verb;
    verbs.at(verb)();
  }
};

std::vector<std::string> names() {
  std::vector<std::string> out;
  for (const auto& file : std::filesystem::directory_iterator(source("tests/scenarios")))
    if (file.path().extension() == ".txt") out.push_back(file.path().stem());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

struct Scenario : testing::TestWithParam<std::string> {};

TEST_P(Scenario, RunsAsWritten) {
  story s;
  for (const auto& row : cases(GetParam() + ".txt", "tests/scenarios")) {
    SCOPED_TRACE(row[0] + (row.size() > 1 ? " | " + row[1].substr(0, 80) : ""));
    s.step(row[0], {row.begin() + 1, row.end()});
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(, Scenario, testing::ValuesIn(names()),
                         [](const auto& info) { return info.param; });
