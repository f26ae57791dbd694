// What every test of kiv shares: the test process's runtime root, files and settings below it,
// the real daemon and tools run in it, a router with a loopback HTTPS rule server, and case
// tables and expected outputs kept as data (tests/cases/, tests/golden/). Every wait is bounded.
//
// A test process has one runtime root ($KIV_ROOT, KIV_TIME_SCALE 0.01), made before main(): the
// platform reads both once, as the daemon does. ctest runs each test case in a process of its
// own; `sandbox` empties the root for each test all the same.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "rules/monitor_profile.h"

namespace kivtest {

double now_s();
void pause_s(double seconds);
std::string bin(const char* name);           // a built program
std::string source(const std::string& rel);  // a file of the source tree
std::string slurp(const std::string& path);  // the whole file, "" when missing
// The daemon's four signals (SIGALRM, SIGUSR1, SIGUSR2, SIGTERM) as bits of a /proc mask line.
inline constexpr unsigned long long kiv_signal_bits =
    (1ULL << (SIGALRM - 1)) | (1ULL << (SIGUSR1 - 1)) | (1ULL << (SIGUSR2 - 1)) |
    (1ULL << (SIGTERM - 1));
// A sanitizer's runtime keeps shadow memory and quarantines what is freed: peak-memory figures
// of such a build say nothing about the daemon's own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
void put(const std::string& path, const std::string& content, bool append = false);
size_t occurrences(const std::string& text, const std::string& what);
bool in_order(const std::string& text, const std::vector<std::string>& parts);
double cpu_seconds(pid_t pid);  // user and system time of a process

// A row of a table, split at " | ", and where it starts ("tests/cases/NAME:LINE"): a test names
// it in its failures with SCOPED_TRACE(row.where).
struct table_row : std::vector<std::string> {
  std::string where;
};
// The rows of tests/cases/NAME (or of DIR/NAME), a line each; blank lines and lines starting with
// '#' are left out. In a cell "\n", "\t" and "\xNN" stand for their bytes, "<<TEXT*N>>" for TEXT
// N times and "<<TEXT*FROM..TO>>" for TEXT once for each number FROM to TO (both included), "{#}"
// in it standing for the number (0 to N-1 in the first form). With `continued`, a line that
// starts with blanks continues the row above: the blanks go and the rest is appended, a rest that
// starts with "| " as a cell of its own.
std::vector<table_row> cases(const std::string& name, const std::string& dir = "tests/cases",
                             bool continued = false);
// The C library's matcher, asked at run time, so that the suite holds on each C library kiv is
// built with (glibc, musl; uClibc-ng's matcher is glibc's). The goldens and tables hold glibc's
// words for its messages.
// What this library's regcomp (REG_EXTENDED) says of PATTERN, in glibc's words; "" if it compiles.
std::string library_refusal(const std::string& pattern);
// TEXT with this library's regcomp messages put in glibc's words.
std::string in_glibc_words(std::string text);
// Whether this library takes the text's start and end for word edges, whatever the byte beside
// them: its "\b" then holds there and its "\B" never does (musl).
bool library_edges_are_word_edges();
// The text, its C library's messages in glibc's words, against tests/golden/NAME
// (KIV_UPDATE_GOLDEN=1 writes the file instead).
void expect_golden(const std::string& name, const std::string& text);
// Source lines blanked ("[f:(N)]") and the daemon's system-log stamps ("MMM dd HH:MM:SS kiv: ").
std::string blank_lines(const std::string& text);
// The log's records with blank_lines, the storage report's left out; with by_function, grouped
// by function (each one's records in order), so that the threads' records compare steadily.
std::string normalized_log(const std::string& log, bool by_function = false);
// A dump holds the profiles its gArraylen line announces, every action with its lines, and ends
// with a line end.
bool whole_dump(const std::string& dump);

// Runs fn in a forked child that ends with it; its exit status (128 + n for signal n).
int in_child(const std::function<void()>& fn);
struct run_result {
  int status = -1;  // as in_child; -1 when it could not run or had to be killed
  std::string out, err;
};
run_result run(const std::vector<std::string>& argv, const std::string& input = "");
// argv started in a child (its first word looked up in PATH) with `env` ("NAME=value") added to
// its environment, no signal blocked, and its output and errors appended to the file `out`.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out,
            const std::vector<std::string>& env = {});
// Waits at most timeout_s for the child pid to end (then SIGKILLs it, showing its threads):
// its exit status as in_child, -1 when it had to be killed.
int reap(pid_t pid, double timeout_s);

// The root, emptied: tmp/ var/run/ dev/ jffs/ stay, files go, the settings store is cleared and
// the rule-set globals released.
struct sandbox {
  pid_t pid = -1;  // the daemon, while one runs
  int markers = 0;
  sandbox();
  ~sandbox();  // SIGKILLs a daemon still running
  std::string path(const std::string& rel) const;
  std::string read(const std::string& rel) const;
  void write(const std::string& rel, const std::string& content, bool append = false) const;
  void syslog(const std::string& lines) const;  // appended to tmp/syslog.log
  size_t count(const std::string& rel, const std::string& text) const;
  bool wait_for(const std::string& rel, const std::string& text, size_t n = 1,
                double timeout_s = 20) const;
  void set(const std::string& key, const std::string& value) const;
  void settings(const std::string& list) const;  // "KEY=VALUE;KEY=VALUE"
  std::string get(const std::string& key) const;
  void clock(double uptime) const;                 // the test clock, proc/uptime
  void service_hook(const std::string& sh) const;  // sbin/service-event
  // bin("kiv") with the time scale and more environment ("NAME=value"), output to kiv.out; true
  // once its four signal handlers are in place, or at once unless `ready`.
  bool start(double scale = 0.05, const std::vector<std::string>& env = {}, bool ready = true);
  // Sends sig (0: none) and waits for the daemon's exit status; -1 when it did not end.
  int stop(int sig = 15, double timeout_s = 20);
  // One check for rules, forced (link_internet 2 while it runs); the log's records of it.
  std::string check() const;
  bool following();  // true once the daemon walks the system log (marker lines until one is)
};

// A KV-1000 whose services run, online with a synchronised clock but making no check by itself
// (link_internet 1), the test clock at 100, an empty system log, and a rule server for this
// test (tests/support/rule_server.py) whose CA it trusts. Rule sets go in through the real
// download path.
struct router : sandbox {
  std::string server;  // the server's directory
  pid_t server_pid = -1;
  router();
  ~router();
  std::string url(const char* listener = "port") const;  // garbage_port, wrong_name_port, ...
  void answer(int status, const std::string& body, double delay = 0) const;
  // From now on the answer is STATUS with the header "Retry-After: VALUE" and no body.
  void shed(int status, const std::string& retry_after) const;
  void fault(const std::string& mode) const;  // stall, reset, garbage, huge, stall_body
  std::string requests() const;               // a JSON record a request
  void control(const std::string& json) const;
  bool start(double scale = 0.02, const std::vector<std::string>& env = {});  // and following
  bool load(const std::string& json);   // one forced check; true once a set is read in
  bool lines(const std::string& text);  // appended, and walked
  std::string dump();                   // a fresh SIGUSR2 dump, "" when none came
};

// The JSON text swapped in as the live rule set of a KV-1000 in this process; false when the
// reader refuses it.
bool install(const std::string& json);
// The live set's active profile of file index `index` (a test that runs no other thread).
monitor_profile& live_profile(int32_t index);
std::string packed(const std::string& json, unsigned ran = 12345);  // the rule container
std::string rule(const std::string& fields);                        // {"model":"KV-1000",<fields>}

}  // namespace kivtest
