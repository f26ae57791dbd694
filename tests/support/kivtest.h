// What every test of kiv shares: the test process's runtime root, files and settings below it,
// the real daemon and tools started in it, case tables and expected outputs kept as data, and a
// router with a loopback rule server. Every wait is bounded.
//
// A test process has one runtime root ($KIV_ROOT, and KIV_TIME_SCALE 0.01), made before the
// first test: the platform reads both once, as the daemon does. ctest runs every test case in a
// process of its own; `sandbox` empties the root for each test all the same.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kivtest {

double now_s();
void pause_s(double seconds);
std::string bin(const char* name);          // a built program
std::string source(const std::string& rel);  // a file of the source tree
std::string slurp(const std::string& path);  // whole file, "" when missing
void put(const std::string& path, const std::string& content, bool append = false);
size_t occurrences(const std::string& text, const std::string& what);
// The parts stand in the text in the order given.
bool in_order(const std::string& text, const std::vector<std::string>& parts);

// Lines of tests/cases/NAME split at " | ", with "\n", "\t" and "\xNN" made bytes and
// "<<TEXT*N>>" written out N times; blank lines and lines starting with '#' left out.
std::vector<std::vector<std::string>> cases(const std::string& name);
// The text compared with tests/golden/NAME; KIV_UPDATE_GOLDEN=1 writes the file instead.
void expect_golden(const std::string& name, const std::string& text);
// Source lines in records and console copies blanked ("[f:(N)]"), and the time stamps of the
// daemon's own system-log lines ("MMM dd HH:MM:SS kiv: ").
std::string blank_lines(const std::string& text);
// Records of the daemon's log with their source lines blanked ("[KIV][f:(N)]"), the storage
// report's records left out; with by_function, grouped by function (each function's records in
// their order, functions by name), so that records of different threads compare steadily.
std::string normalized_log(const std::string& text, bool by_function = false);

// CPU time (user and system) a process has used, in seconds.
double cpu_seconds(pid_t pid);
// Runs fn in a forked child that ends with fn; the child's exit status (128 + n for signal n).
int in_child(const std::function<void()>& fn);

struct run_result {
  int status = -1;  // exit status, 128 + n for signal n, -1 when not run or killed at the end
  std::string out, err;
};
// Runs a program (no shell) with standard input from `input`; at most timeout_s.
run_result run(const std::vector<std::string>& argv, const std::string& input = "",
               double timeout_s = 30);

// The runtime root of this test process, emptied for the test: tmp/ var/run/ dev/ jffs/ stay,
// every file goes, the settings store is cleared and the rule-set globals are released.
struct sandbox {
  sandbox();
  ~sandbox();  // SIGKILLs a daemon still running
  sandbox(const sandbox&) = delete;
  sandbox& operator=(const sandbox&) = delete;

  std::string path(const std::string& rel) const;
  std::string read(const std::string& rel) const;
  void write(const std::string& rel, const std::string& content) const;
  void append(const std::string& rel, const std::string& content) const;
  size_t count(const std::string& rel, const std::string& text) const;
  bool wait_for(const std::string& rel, const std::string& text, size_t n = 1,
                double timeout_s = 20) const;
  void set(const std::string& key, const std::string& value) const;
  std::string get(const std::string& key) const;
  // The test clock: proc/uptime reads `uptime`.
  void clock(double uptime) const;
  // sbin/service-event, run by the host platform for every service event.
  void service_hook(const std::string& script) const;

  // Starts bin("kiv") with the root, the scale and the extra environment ("NAME=value"),
  // output appended to kiv.out; true once its signal handlers are in place (at once, unless
  // `ready`).
  bool start(double scale = 0.05, const std::vector<std::string>& env = {}, bool ready = true);
  // Sends sig (0: none) and waits for the daemon's exit status; -1 when it did not end.
  int stop(int sig = 15, double timeout_s = 20);
  pid_t pid = -1;
};

// The test CA, the server's answers and the requests it recorded, for a loopback HTTPS rule
// server started for one test (tests/support/rule_server.py).
struct rule_server {
  std::string dir;
  pid_t pid = -1;
  rule_server();
  ~rule_server();
  std::string url(const char* listener = "port") const;  // garbage_port, wrong_name_port, ...
  std::string ca() const;
  void answer(int status, const std::string& body, double delay = 0) const;
  void fault(const std::string& mode) const;  // stall, reset, garbage, huge, stall_body
  std::string requests() const;               // one JSON record per request
  void stop();
};

// A KV-1000 whose services run, online with a synchronised clock but making no check by itself
// (link_internet 1), the rule server's CA trusted, an empty system log and the test clock at
// 100. Rule sets go in through the real download path.
struct router : sandbox {
  rule_server server;
  int loads = 0;
  router();
  // Started, with its follower walking the log.
  bool start(double scale = 0.02, const std::vector<std::string>& env = {});
  // The JSON text installed through one forced check; true once read in.
  bool load(const std::string& json);
  // Appends the lines and waits until the daemon has walked them.
  bool lines(const std::string& text);
  // A fresh dump (SIGUSR2), "" when none came.
  std::string dump();
  int markers = 0;
};

// The JSON text made the live rule set of a KV-1000 in this process, swapped in as the reader
// does; false when the reader refuses it.
bool install(const std::string& json);
// The container of a JSON text, as the rule server delivers it.
std::string packed(const std::string& json, unsigned ran = 12345);
// A rule for the test router: {"model":"KV-1000",<fields>}.
std::string rule(const std::string& fields);

}  // namespace kivtest
