// Test harness: a temporary KIV_ROOT with the directories the daemon expects, helpers to read
// and write files below it, the settings store, and the real `kiv` binary started inside it.
//
// Every wait is bounded; pauses of the daemon are shortened through KIV_TIME_SCALE.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kivtest {

// Monotonic clock in seconds, for bounded waits and for timing the daemon.
double now_s();

// Path of one of the built programs: KIV_BIN_DIR "/" name (kiv, nvram, kivrule).
std::string bin(const char* name);

struct sandbox {
  // mkdtemp directory with tmp/ var/run/ dev/ jffs/ made.
  std::string root;

  // Also sets KIV_ROOT and KIV_TIME_SCALE in this process and calls platform_reload_env().
  explicit sandbox(double time_scale = 0.05);
  // SIGKILLs a daemon still running and removes the tree.
  ~sandbox();
  sandbox(const sandbox&) = delete;
  sandbox& operator=(const sandbox&) = delete;

  std::string path(const std::string& rel) const;  // root + "/" + rel
  std::string read(const std::string& rel) const;  // whole file, "" when missing
  void write(const std::string& rel, const std::string& content) const;
  void append(const std::string& rel, const std::string& content) const;
  void set(const std::string& key, const std::string& value) const;  // settings store
  std::string get(const std::string& key) const;

  // fork+exec bin("kiv") with KIV_ROOT/KIV_TIME_SCALE set, stdout and stderr appended to
  // root/kiv.out; remembers the pid.
  pid_t start_kiv();
  pid_t pid = -1;

  // Polls until the daemon has installed its four signal handlers (it is then in its main loop
  // or about to enter it). Before that, SIGTERM/USR1/USR2 take their default action and end it,
  // so a test waits for this before it signals the daemon. False on timeout or exit.
  bool wait_ready(double timeout_s) const;

  // Polls (every 20 ms) until the file contains text.
  bool wait_for(const std::string& rel, const std::string& text, double timeout_s) const;
  bool wait_for_count(const std::string& rel, const std::string& text, int count,
                      double timeout_s) const;
  // Sends sig, waits for exit; exit status, -1 on timeout (then SIGKILL), 128+n if killed.
  int signal_and_wait(int sig, double timeout_s);
  // Same without sending a signal.
  int wait_exit(double timeout_s);
  // Occurrences of text in the file.
  size_t count(const std::string& rel, const std::string& text) const;

  double time_scale;
};

// What a finished program left: its exit status (128 + n when signal n ended it, -1 when it
// could not be started or was killed for running too long) and what it wrote.
struct run_result {
  int status = -1;
  std::string out, err;
};

// Runs argv[0] with argv (no shell, the environment of this process), standard input from
// /dev/null and standard output and error into files below the sandbox root (removed once read;
// safe from several threads at once). Waits at most timeout_s; a program still running then is
// killed with SIGKILL and reported as status -1.
run_result run_program(const sandbox& sb, const std::vector<std::string>& argv,
                       double timeout_s = 30);

// CPU time (user + system) of a running process in seconds, -1 when it cannot be read.
double cpu_seconds(pid_t pid);

// Installs script as the service controller hook the host platform runs for every service
// event (sandbox path sbin/service-event, mode 0755).
void service_hook(const sandbox& sb, const std::string& script);

}  // namespace kivtest
