// The daemon's linear stories, kept as data: each tests/scenarios/NAME.txt is a test of its own
// (Scenario.RunsAsWritten/NAME) that runs on a router (support/kivtest.h: a sandbox root, a
// loopback rule server) one step a row; its comments say what it guards. A failing step names
// its file and line (and its round, inside a repeat). Every wait is bounded.
//
// A scenario file is read as a case table (cases() in support/kivtest.h):
//   VERB | ARGUMENT | ARGUMENT ...    a step; the verbs and their arguments are kVerbs below
//   # text                            a comment; blank lines are left out too
//       more text                     a line that starts with blanks continues the row above: the
//                                     blanks go, and a rest that starts with "| " is an argument
//   \n  \t  \xNN                      a line end, a tab, any byte
//   <<TEXT*N>>  <<TEXT*FROM..TO>>     TEXT N times; TEXT once for each number FROM to TO, "{#}"
//                                     in it standing for the number
//   repeat | NAME | NAME ...          a block: the steps between the last "with" row and "end" run
//   with | VALUE | VALUE ...          once for each "with" row, "{NAME}" in them standing for that
//   ...steps...                       row's VALUE in the same place (a block holds no other)
//   end
// In arguments {URL} and {URL:LISTENER} are the rule server's addresses (LISTENER: garbage_port,
// untrusted_port or wrong_name_port), {ROOT}, {PID} and {FOLLOWER} the root and the current
// daemon's and follower's ids, {NOW-S} the wall clock S seconds ago; "packed:TEXT" is TEXT in a
// rule container, "file:REL" a file of the source tree and "root:PATH" a file below the root.
// A PATH is below the root. A FILE is a PATH, an absolute path, "dump" (a fresh SIGUSR2 dump),
// "requests" (the rule server's, a JSON line a request), "checked" (the records of the last
// offer's check), "followers" (the ids of the root's log followers), "grouped" (tmp/kiv.log
// grouped by function, the year blanked) or "run:COMMAND" (its standard output; kivrule and
// nvram the ones built). count and order see a FILE with source lines blanked
// ("[f:(N)]"). A SIGNAL is none, HUP, KILL, TERM, USR1, USR2, STOP, CONT or SEGV.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "support/kivtest.h"
#include "update/rule_signature.h"

using namespace kivtest;

namespace {

int signal_number(const std::string& name) {
  static const std::map<std::string, int> signals = {
      {"none", 0},       {"HUP", SIGHUP},   {"KILL", SIGKILL}, {"TERM", SIGTERM}, {"USR1", SIGUSR1},
      {"USR2", SIGUSR2}, {"STOP", SIGSTOP}, {"CONT", SIGCONT}, {"SEGV", SIGSEGV}};
  return signals.at(name);
}

struct story : router {
  std::map<std::string, std::string> stamps;
  std::map<std::string, size_t> marks;
  std::map<std::string, double> used;
  double timer = 0;
  int held = -1;
  std::vector<pid_t> helpers;  // the background commands' process groups
  ~story() {
    close(held);
    for (pid_t p : helpers) {
      kill(-p, SIGKILL);
      reap(p, 5);
    }
  }
  std::vector<pid_t> others;  // daemons started before the one launched last
  std::map<std::string, std::pair<rule_key, std::string>> keys;  // by name: private, public PEM
  std::string checked;                                           // the last offer's records

  std::pair<rule_key, std::string>& key(const std::string& name) {
    auto& k = keys[name];
    std::string private_pem;
    if (!k.first) {
      EXPECT_EQ(generate_key_pair(&private_pem, &k.second), rule_sig::ok);
      EXPECT_EQ(private_key_from_pem(private_pem, &k.first), rule_sig::ok);
    }
    return k;
  }

  std::string value(const std::string& arg) const {
    if (arg.starts_with("packed:")) return packed(value(arg.substr(7)));
    if (arg.starts_with("file:")) return slurp(source(arg.substr(5)));
    if (arg.starts_with("root:")) return read(arg.substr(5));
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

  // Whether kiv holds all of the log: its follower has read the log to its end, nothing waits in
  // the pipe between them, and every thread of kiv sleeps (done with what it read).
  bool received() const {
    if (position() != static_cast<long long>(read("tmp/syslog.log").size())) return false;
    const int fd = open(("/proc/" + std::to_string(follower()) + "/fd/1").c_str(),
                        O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int unread = -1;
    if (fd >= 0 && ioctl(fd, FIONREAD, &unread) != 0) unread = -1;
    if (fd >= 0) close(fd);
    if (unread != 0) return false;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      const std::string stat = slurp(task.path().string() + "/stat");
      const size_t at = stat.rfind(") ");
      if (at == std::string::npos || stat[at + 2] != 'S') return false;
    }
    return true;
  }

  std::string text(const std::string& file) {
    if (file == "dump") return dump();
    if (file == "requests") return requests();
    if (file == "checked") return checked;
    if (file == "followers")
      return run({"pgrep", "-f", "-x", "tail -F -n 1 " + path("tmp/syslog.log")}).out;
    if (file == "grouped")
      return std::regex_replace(normalized_log(read("tmp/kiv.log"), true), std::regex(R"(20\d\d)"),
                                "YEAR");
    if (file.starts_with("/")) return slurp(file);
    if (file.starts_with("run:")) {
      std::istringstream in(file.substr(4));
      std::vector<std::string> args;
      for (std::string w; in >> w;)
        args.push_back(w == "kivrule" || w == "nvram" ? bin(w.c_str()) : w);
      return run(args).out;
    }
    return read(file);
  }

  // Looks at done() every step_s seconds until it holds, for `seconds` at most.
  template <typename F>
  static void within(double seconds, double step_s, F done) {
    for (const double end = now_s() + seconds; !done() && now_s() < end;) pause_s(step_s);
  }
};

// A step's arguments, placeholders replaced; "" past the last one given.
struct step {
  std::vector<std::string> a;
  const std::string& operator[](size_t i) const {
    static const std::string none;
    return i < a.size() ? a[i] : none;
  }
  double number(size_t i, double otherwise) const {
    return (*this)[i].empty() ? otherwise : std::stod((*this)[i]);
  }
};

// A verb: its name, its arguments (those in brackets may be left out) and what it does or checks.
struct verb {
  const char* name;
  const char* args;
  const char* does;
  void (*run)(story& s, const step& a);
};

const verb kVerbs[] = {
    // ---- the router, its files and the rule server
    {"settings", "KEY=VALUE;...", "sets keys of the settings store",
     [](story& s, const step& a) { s.settings(a[0]); }},
    {"key", "KEY VALUE", "checks that the settings store holds KEY=VALUE",
     [](story& s, const step& a) { EXPECT_EQ(s.get(a[0]), a[1]); }},
    {"hook", "SCRIPT", "makes SCRIPT the program each service event runs (sbin/service-event)",
     [](story& s, const step& a) { s.service_hook(a[0]); }},
    {"clock", "UPTIME", "sets the test clock (proc/uptime)",
     [](story& s, const step& a) { s.clock(std::stod(a[0])); }},
    {"write", "PATH [TEXT [append]]", "makes PATH hold TEXT, or appends TEXT to PATH",
     [](story& s, const step& a) { s.write(a[0], a[1], a[2] == "append"); }},
    {"mkdir", "PATH", "makes the directory PATH",
     [](story& s, const step& a) { mkdir(s.path(a[0]).c_str(), 0755); }},
    {"remove", "PATH", "removes PATH and all below it",
     [](story& s, const step& a) { std::filesystem::remove_all(s.path(a[0])); }},
    {"move", "PATH NEW", "renames PATH to NEW",
     [](story& s, const step& a) { rename(s.path(a[0]).c_str(), s.path(a[1]).c_str()); }},
    {"fifo", "PATH", "makes a FIFO at PATH",
     [](story& s, const step& a) { ASSERT_EQ(mkfifo(s.path(a[0]).c_str(), 0644), 0); }},
    {"hold", "PATH",
     "opens the FIFO PATH for writing once a reader waits on it (30 s), till the end",
     [](story& s, const step& a) {
       story::within(30, 0.02, [&] {
         return s.held >= 0 || (s.held = open(s.path(a[0]).c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
       });
       ASSERT_GE(s.held, 0) << "nobody read " << a[0];
     }},
    {"answer", "STATUS BODY [DELAY_S]",
     "from now on the rule server answers STATUS and BODY, DELAY_S (0) late",
     [](story& s, const step& a) { s.answer(std::stoi(a[0]), a[1], a.number(2, 0)); }},
    {"shed", "STATUS RETRY_AFTER",
     "from now on the rule server answers STATUS with the header \"Retry-After: RETRY_AFTER\"",
     [](story& s, const step& a) { s.shed(std::stoi(a[0]), a[1]); }},
    {"fault", "MODE",
     "from now on the rule server's answers fail: stall, reset, garbage, huge, stall_body "
     "(plain: an empty 200)",
     [](story& s, const step& a) { s.fault(a[0]); }},
    {"sign", "PATH KEY KEYWORD SERIAL [STAGE]",
     "makes PATH a container of one rule (KEYWORD) signed with KEY at SERIAL and STAGE (100)",
     [](story& s, const step& a) {
       std::string out;
       EXPECT_EQ(sign_container(packed("[" + rule("\"keyword\":\"" + a[2] + "\"") + "]"),
                                std::stoull(a[3]), s.key(a[1]).first.get(), &out,
                                static_cast<uint32_t>(a.number(4, 100))),
                 rule_sig::ok);
       s.write(a[0], out);
     }},
    {"pubkey", "KEY PATH", "makes PATH hold KEY's public key (PEM)",
     [](story& s, const step& a) { s.write(a[1], s.key(a[0]).second); }},
    {"flip", "PATH AT MASK", "XORs the byte AT of PATH (from its end when negative) with MASK",
     [](story& s, const step& a) {
       std::string t = s.read(a[0]);
       const long at = std::stol(a[1]);
       t.at(static_cast<size_t>(at < 0 ? static_cast<long>(t.size()) + at : at)) ^=
           static_cast<char>(std::stoi(a[2]));
       s.write(a[0], t);
     }},
    {"cut", "PATH N", "removes the last N bytes of PATH",
     [](story& s, const step& a) {
       const std::string t = s.read(a[0]);
       s.write(a[0], t.substr(0, t.size() - std::stoul(a[1])));
     }},
    {"background", "COMMAND",
     "runs the shell's COMMAND (kivrule and nvram the ones built) till the end of the scenario",
     [](story& s, const step& a) {
       s.helpers.push_back(spawn({"setsid", "sh", "-c", a[0]}, s.path("background.out"),
                                 {"PATH=" + bin("") + ":" + getenv("PATH")}));
     }},
    {"pause", "S", "waits S seconds", [](story&, const step& a) { pause_s(std::stod(a[0])); }},
    // ---- the daemon
    {"start", "[SCALE]",
     "starts kiv at time scale SCALE (0.02); waits until it walks a line of the log",
     [](story& s, const step& a) { ASSERT_TRUE(s.start(a.number(0, 0.02))); }},
    {"boot", "", "starts kiv at time scale 0.02; waits for its signal handlers only",
     [](story& s, const step&) { ASSERT_TRUE(s.sandbox::start(0.02)); }},
    {"launch", "[NAME=VALUE]",
     "starts another kiv (with that environment) without waiting; the earlier one is the current "
     "one again after the next stop",
     [](story& s, const step& a) {
       s.others.push_back(s.pid);
       s.sandbox::start(0.02, a[0].empty() ? std::vector<std::string>{} : std::vector{a[0]}, false);
     }},
    {"stop", "[STATUS [WITHIN_S [SIGNAL]]]",
     "sends SIGNAL (TERM) and checks the exit status (0; a SIGNAL: 128 + it) within WITHIN_S (60); "
     "a signal sent takes the follower too",
     [](story& s, const step& a) {
       const double from = now_s();
       const pid_t tail = s.follower();
       const int sig = a[2].empty() ? SIGTERM : signal_number(a[2]);
       const bool named = !a[0].empty() && !isdigit(static_cast<unsigned char>(a[0][0]));
       EXPECT_EQ(s.stop(sig), named ? 128 + signal_number(a[0]) : a.number(0, 0));
       EXPECT_LT(now_s() - from, a.number(1, 60));
       story::within(5, 0.02, [&] { return !sig || tail <= 0 || kill(tail, 0) == -1; });
       EXPECT_TRUE(!sig || tail <= 0 || kill(tail, 0) == -1) << "the follower outlived it";
       if (!s.others.empty()) s.pid = s.others.back(), s.others.pop_back();
     }},
    {"signal", "SIGNAL [follower]", "sends SIGNAL to the daemon, or to its follower",
     [](story& s, const step& a) {
       const pid_t to = a[1] == "follower" ? s.follower() : s.pid;
       ASSERT_GT(to, 0);
       ASSERT_EQ(kill(to, signal_number(a[0])), 0);
     }},
    {"load", "JSON",
     "serves JSON packed to one forced check; waits (30 s) until the reader has read a set",
     [](story& s, const step& a) { ASSERT_TRUE(s.load(a[0])); }},
    {"offer", "PATH",
     "the rule server answers 200 and PATH's bytes to one forced check, whose records are "
     "\"checked\" from now on",
     [](story& s, const step& a) {
       s.answer(200, s.read(a[0]));
       s.checked = s.check();
     }},
    {"masks", "", "checks that the handlers' signals reach the main thread only",
     []([[maybe_unused]] story& s, const step&) {
#ifndef KIV_TEST_EMULATED  // the emulator's masks are shown in the host's numbering
       const std::string tasks = "/proc/" + std::to_string(s.pid) + "/task/";
       int blocking = 0;  // (a sanitizer's runtime may add a thread of its own)
       for (const auto& task : std::filesystem::directory_iterator(tasks)) {
         const std::string status = slurp(task.path().string() + "/status");
         const auto mask = std::stoull(status.substr(status.find("SigBlk:") + 7), nullptr, 16);
         if (task.path().filename() == std::to_string(s.pid))
           EXPECT_EQ(mask & kiv_signal_bits, 0u);
         else
           blocking += (mask & kiv_signal_bits) == kiv_signal_bits;
       }
       EXPECT_GE(blocking, 2);
#endif
     }},
    {"use", "cpu|peak [MORE]",
     "notes the daemon's CPU seconds or peak memory (kB); with MORE, checks they grew by less",
     [](story& s, const step& a) {
       const std::string status = slurp("/proc/" + std::to_string(s.pid) + "/status");
       const double now =
           a[0] == "cpu" ? cpu_seconds(s.pid) : std::stod(status.substr(status.find("VmHWM:") + 6));
       if (a[1].empty())
         s.used[a[0]] = now;
       else if (a[0] == "cpu" || !kSanitized) {
         EXPECT_LT(now - s.used[a[0]], a.number(1, 1)) << a[0] << " grew";
       }
     }},
    {"timer", "[S]", "without S starts a timer; with S checks that S seconds have passed since",
     [](story& s, const step& a) {
       if (a[0].empty())
         s.timer = now_s();
       else
         EXPECT_GE(now_s() - s.timer, a.number(0, 0));
     }},
    // ---- the system log the daemon follows
    {"syslog", "TEXT", "appends TEXT to the system log",
     [](story& s, const step& a) { s.syslog(a[0]); }},
    {"lines", "[TEXT]", "appends TEXT and a marker line to the system log; waits until both walked",
     [](story& s, const step& a) { ASSERT_TRUE(s.lines(a[0])); }},
    {"feed", "LINE", "appends LINE to the system log until the daemon walks it (10 s)",
     [](story& s, const step& a) {
       const std::string walked = "pBuf=[" + a[0] + "]";
       story::within(10, 0, [&] {
         return s.wait_for("tmp/kiv.log", walked, 1, 0.2) || (s.syslog(a[0] + "\n"), false);
       });
       ASSERT_TRUE(s.wait_for("tmp/kiv.log", walked, 1, 0));
     }},
    {"numbered", "TAG FROM TO [PAUSE_S]",
     "appends lines TAG-FROM .. TAG-(TO-1), a pause after each",
     [](story& s, const step& a) {
       for (int i = std::stoi(a[1]); i < std::stoi(a[2]); ++i, pause_s(a.number(3, 0)))
         s.syslog(a[0] + "-" + std::to_string(i) + "\n");
     }},
    {"caught-up", "", "waits (5 s) until the follower has read the log to its end",
     [](story& s, const step&) {
       const auto size = static_cast<long long>(s.read("tmp/syslog.log").size());
       story::within(5, 0.001, [&] { return s.position() == size; });
     }},
    {"received", "",
     "waits (5 s) until kiv holds all of the log: its follower has read it to its end, the pipe "
     "between them is empty and every thread of kiv sleeps, twice 10 ms apart",
     [](story& s, const step&) {
       int settled = 0;
       story::within(5, 0.01, [&] { return (settled = s.received() ? settled + 1 : 0) == 2; });
       ASSERT_EQ(settled, 2) << "kiv did not take in the log";
     }},
    {"tally", "TAG FROM TO REGEX",
     "checks how often each line TAG-FROM .. TAG-(TO-1) was walked, a digit a line (2: more): "
     "REGEX matches the digits whole",
     [](story& s, const step& a) {
       const std::string log = s.read("tmp/kiv.log.1") + s.read("tmp/kiv.log");
       std::string marks;
       for (int i = std::stoi(a[1]); i < std::stoi(a[2]); ++i)
         marks += static_cast<char>(
             '0' + std::min<size_t>(
                       occurrences(log, ")]pBuf=[" + a[0] + "-" + std::to_string(i) + "]\n"), 2));
       EXPECT_TRUE(std::regex_match(marks, std::regex(a[3]))) << marks;
     }},
    // ---- what the files hold
    {"wait", "PATH TEXT [N]", "waits (90 s) until PATH holds TEXT N (1) times",
     [](story& s, const step& a) {
       ASSERT_TRUE(s.wait_for(a[0], a[1], size_t(a.number(2, 1)), 90));
     }},
    {"absent", "PATH TEXT [N [WITHIN_S]]",
     "checks that PATH does not come to hold TEXT N (1) times within WITHIN_S (1)",
     [](story& s, const step& a) {
       EXPECT_FALSE(s.wait_for(a[0], a[1], size_t(a.number(2, 1)), a.number(3, 1)));
     }},
    {"count", "FILE TEXT N", "checks that FILE holds TEXT N times",
     [](story& s, const step& a) {
       EXPECT_EQ(occurrences(blank_lines(s.text(a[0])), a[1]), std::stoul(a[2]));
     }},
    {"order", "FILE TEXT...", "checks that FILE holds the TEXTs in this order",
     [](story& s, const step& a) {
       EXPECT_TRUE(in_order(blank_lines(s.text(a[0])), {a.a.begin() + 1, a.a.end()}));
     }},
    {"equals", "FILE [TEXT]",
     "checks that FILE is TEXT (looked at for 2 s: an emulator may be late)",
     [](story& s, const step& a) {
       story::within(2, 0.02, [&] { return s.text(a[0]) == a[1]; });
       EXPECT_EQ(s.text(a[0]), a[1]);
     }},
    {"like", "FILE REGEX", "checks that REGEX matches FILE whole",
     [](story& s, const step& a) {
       EXPECT_TRUE(std::regex_match(s.text(a[0]), std::regex(a[1]))) << a[1];
     }},
    {"matched", "FILE REGEX N", "checks that REGEX matches N times in FILE",
     [](story& s, const step& a) { EXPECT_EQ(s.matches(a[0], a[1]), std::stoul(a[2])) << a[1]; }},
    {"golden", "NAME FILE", "checks FILE against tests/golden/NAME",
     [](story& s, const step& a) { expect_golden(a[0], s.text(a[1])); }},
    {"dumps", "DIR", "checks that DIR holds files and each is a whole dump",
     [](story& s, const step& a) {
       size_t n = 0;
       for (const auto& file : std::filesystem::directory_iterator(s.path(a[0]))) {
         EXPECT_TRUE(whole_dump(slurp(file.path()))) << file.path();
         ++n;
       }
       EXPECT_GT(n, 0u) << "no dump in " << a[0];
     }},
    {"whole", "FILE [or none]",
     "checks that FILE is a whole dump (support/kivtest.h, whole_dump()), or with \"or none\" "
     "empty",
     [](story& s, const step& a) {
       const std::string t = s.text(a[0]);
       EXPECT_TRUE((a[1] == "or none" && t.empty()) || whole_dump(t)) << t.substr(0, 200);
     }},
    {"missing", "PATH", "checks that there is no PATH",
     [](story& s, const step& a) { EXPECT_EQ(access(s.path(a[0]).c_str(), F_OK), -1); }},
    {"same", "dump|PATH",
     "checks that a fresh dump's text, or PATH's inode and time, is as at the first look",
     [](story& s, const step& a) {
       const std::string now =
           a[0] == "dump" ? s.dump() : run({"stat", "-c", "%i %y", s.path(a[0])}).out;
       EXPECT_EQ(s.stamps.emplace(a[0], now).first->second, now) << "changed";
     }},
    {"mark", "FILE REGEX", "notes how often REGEX matches in FILE, for grows",
     [](story& s, const step& a) { s.marks[a[0] + '\n' + a[1]] = s.matches(a[0], a[1]); }},
    {"grows", "FILE REGEX N", "waits (20 s) until REGEX matches N times more than at its mark",
     [](story& s, const step& a) {
       const size_t want = s.marks[a[0] + '\n' + a[1]] + std::stoul(a[2]);
       story::within(20, 0.05, [&] { return s.matches(a[0], a[1]) >= want; });
       EXPECT_GE(s.matches(a[0], a[1]), want) << a[1];
     }},
    {"balance", "PATH TEXT OTHER", "waits (20 s) until PATH holds TEXT as often as OTHER",
     [](story& s, const step& a) {
       story::within(20, 0.02, [&] { return s.count(a[0], a[1]) == s.count(a[0], a[2]); });
       EXPECT_EQ(s.count(a[0], a[1]), s.count(a[0], a[2])) << a[1] << " / " << a[2];
     }},
};

// How many arguments a verb needs: the words of its argument list before the first bracket.
size_t needed(const verb& v) {
  std::istringstream in(std::string(v.args).substr(0, std::string(v.args).find('[')));
  size_t n = 0;
  for (std::string w; in >> w;) ++n;
  return n;
}

// The rows of a scenario file with every repeat block unrolled: a block's steps once a round,
// each "{NAME}" replaced with that round's value and the round named in `where`.
std::vector<table_row> unrolled(const std::vector<table_row>& rows) {
  std::vector<table_row> out;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i][0] != "repeat") {
      out.push_back(rows[i]);
      continue;
    }
    const table_row& names = rows[i];
    std::vector<table_row> rounds, block;
    for (++i; i < rows.size() && rows[i][0] == "with"; ++i) rounds.push_back(rows[i]);
    for (; i < rows.size() && rows[i][0] != "end"; ++i) block.push_back(rows[i]);
    for (const table_row& r : block)
      if (r[0] == "repeat" || r[0] == "with") ADD_FAILURE() << r.where << ": inside a repeat block";
    if (i == rows.size()) ADD_FAILURE() << names.where << ": a repeat without its \"end\"";
    if (rounds.empty()) ADD_FAILURE() << names.where << ": a repeat without a \"with\" row";
    for (size_t k = 0; k < rounds.size(); ++k) {
      if (rounds[k].size() != names.size())
        ADD_FAILURE() << rounds[k].where << ": " << names.size() - 1 << " values wanted";
      for (table_row r : block) {
        for (std::string& cell : r)
          for (size_t n = 1; n < names.size() && n < rounds[k].size(); ++n)
            for (size_t at = 0; (at = cell.find("{" + names[n] + "}", at)) != std::string::npos;
                 at += rounds[k][n].size())
              cell.replace(at, names[n].size() + 2, rounds[k][n]);
        r.where += " (round " + std::to_string(k + 1) + ", " + rounds[k].where + ")";
        out.push_back(r);
      }
    }
  }
  return out;
}

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
  for (const table_row& row : unrolled(cases(GetParam() + ".txt", "tests/scenarios", true))) {
    SCOPED_TRACE(row.where + ": " + row[0] + (row.size() > 1 ? " | " + row[1].substr(0, 80) : ""));
    const auto v = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                [&](const verb& v) { return row[0] == v.name; });
    if (v == std::end(kVerbs)) FAIL() << "no verb \"" << row[0] << "\"";
    if (row.size() - 1 < needed(*v)) FAIL() << row[0] << " takes " << v->args;
    step a;
    for (size_t i = 1; i < row.size(); ++i) a.a.push_back(s.value(row[i]));
    v->run(s, a);
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(, Scenario, testing::ValuesIn(names()),
                         [](const auto& info) { return info.param; });
