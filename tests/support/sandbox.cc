#include "support/sandbox.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "platform/platform.h"

extern char** environ;

namespace kivtest {

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

namespace {

void pause_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void write_file(const std::string& path, const std::string& content, bool append) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// True when the command line of process p contains text (arguments joined by NULs).
bool cmdline_mentions(long p, const std::string& text) {
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/%ld/cmdline", p);
  std::ifstream in(proc, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str().find(text + "/") != std::string::npos;
}

}  // namespace

std::string bin(const char* name) {
  return std::string(KIV_BIN_DIR) + "/" + name;
}

sandbox::sandbox(double scale) : time_scale(scale) {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivtest.XXXXXX";
  std::string buf = tmpl;
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  root = buf;
  for (const char* dir : {"tmp", "var", "var/run", "dev", "jffs"}) {
    std::string p = root + "/" + dir;
    mkdir(p.c_str(), 0755);
  }
  setenv("KIV_ROOT", root.c_str(), 1);
  char scale_text[64];
  snprintf(scale_text, sizeof scale_text, "%.6g", time_scale);
  setenv("KIV_TIME_SCALE", scale_text, 1);
  platform_reload_env();
}

sandbox::~sandbox() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
  }
  // A log follower of a killed daemon outlives it: stop the processes the PID file names whose
  // command line reads a file below this root (never anything else the file may name).
  std::string pids = read("var/run/kiv.pid");
  std::istringstream in(pids);
  long p = 0;
  while (in >> p) {
    if (p > 1 && p != static_cast<long>(getpid()) && cmdline_mentions(p, root))
      kill(static_cast<pid_t>(p), SIGKILL);
  }
  nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string sandbox::path(const std::string& rel) const {
  return root + "/" + rel;
}

std::string sandbox::read(const std::string& rel) const {
  std::ifstream in(path(rel), std::ios::binary);
  if (!in) return std::string();
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void sandbox::write(const std::string& rel, const std::string& content) const {
  write_file(path(rel), content, false);
}

void sandbox::append(const std::string& rel, const std::string& content) const {
  write_file(path(rel), content, true);
}

void sandbox::set(const std::string& key, const std::string& value) const {
  nvram_set(key.c_str(), value.c_str());
}

std::string sandbox::get(const std::string& key) const {
  return nvram_safe_get(key.c_str());
}

pid_t sandbox::start_kiv() {
  std::string exe = bin("kiv");
  std::string out = path("kiv.out");
  char scale_text[64];
  snprintf(scale_text, sizeof scale_text, "%.6g", time_scale);
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    setenv("KIV_ROOT", root.c_str(), 1);
    setenv("KIV_TIME_SCALE", scale_text, 1);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      if (fd > STDERR_FILENO) close(fd);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl(exe.c_str(), "kiv", static_cast<char*>(nullptr));
    _exit(127);
  }
  pid = child;
  return child;
}

bool sandbox::wait_ready(double timeout_s) const {
  if (pid <= 0) return false;
#ifdef KIV_TEST_EMULATED
  // Under a user-mode emulator the kernel shows the emulator's own handlers, for every fatal
  // signal from the start and in the host's numbering: the dispositions tell nothing. The
  // follower's id in the PID file does: the syslog thread writes it after its start pause, and
  // the main thread installs the handlers right after starting that thread.
  return wait_for_count("var/run/kiv.pid", "\n", 2, timeout_s);
#else
  unsigned long long wanted = 0;
  for (int sig : {SIGALRM, SIGUSR1, SIGUSR2, SIGTERM}) wanted |= 1ULL << (sig - 1);
  std::string status_path = "/proc/" + std::to_string(pid) + "/status";
  double deadline = now_s() + timeout_s;
  for (;;) {
    std::ifstream in(status_path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("SigCgt:", 0) != 0) continue;
      unsigned long long caught = strtoull(line.c_str() + 7, nullptr, 16);
      if ((caught & wanted) == wanted) return true;
    }
    if (now_s() >= deadline) return false;
    pause_ms(20);
  }
#endif
}

bool sandbox::wait_for(const std::string& rel, const std::string& text, double timeout_s) const {
  return wait_for_count(rel, text, 1, timeout_s);
}

bool sandbox::wait_for_count(const std::string& rel, const std::string& text, int n,
                             double timeout_s) const {
  double deadline = now_s() + timeout_s;
  for (;;) {
    if (count(rel, text) >= static_cast<size_t>(n)) return true;
    if (now_s() >= deadline) return false;
    pause_ms(20);
  }
}

int sandbox::signal_and_wait(int sig, double timeout_s) {
  if (pid <= 0) return -1;
  kill(pid, sig);
  return wait_exit(timeout_s);
}

int sandbox::wait_exit(double timeout_s) {
  if (pid <= 0) return -1;
  double deadline = now_s() + timeout_s;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      pid = -1;
      return decode_status(status);
    }
    if (r < 0 && errno != EINTR) {
      pid = -1;
      return -1;
    }
    if (now_s() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      pid = -1;
      return -1;
    }
    pause_ms(20);
  }
}

size_t sandbox::count(const std::string& rel, const std::string& text) const {
  if (text.empty()) return 0;
  std::string content = read(rel);
  size_t n = 0;
  for (size_t pos = content.find(text); pos != std::string::npos;
       pos = content.find(text, pos + text.size()))
    ++n;
  return n;
}

namespace {

// Opens a fresh output file for a spawned program; close-on-exec, so that a program another
// thread starts at the same moment does not inherit it (the dup2 onto 1 or 2 clears the flag).
int open_output(const sandbox& sb, const char* suffix, std::string* rel) {
  static std::atomic<unsigned> serial{0};
  for (;;) {
    *rel = "run." + std::to_string(serial.fetch_add(1)) + suffix;
    int fd = open(sb.path(*rel).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
}

// Reaps pid within timeout_s; SIGKILL and -1 past it, -1 when it cannot be waited for.
int reap(pid_t pid, double timeout_s) {
  const double deadline = now_s() + timeout_s;
  long pause = 1;  // short programs are reaped at once, long ones polled less often
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return decode_status(status);
    if (r < 0 && errno != EINTR) return -1;
    if (now_s() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    pause_ms(pause);
    if (pause < 16) pause *= 2;
  }
}

}  // namespace

run_result run_program(const sandbox& sb, const std::vector<std::string>& argv, double timeout_s) {
  run_result r;
  if (argv.empty()) {
    r.err = "run_program: no program given";
    return r;
  }
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (std::string& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  std::string out_rel, err_rel;
  int out_fd = open_output(sb, ".out", &out_rel);
  int err_fd = out_fd < 0 ? -1 : open_output(sb, ".err", &err_rel);
  if (out_fd < 0 || err_fd < 0) {
    r.err = "run_program: cannot create output files below " + sb.root + ": " + strerror(errno);
    if (out_fd >= 0) {
      close(out_fd);
      unlink(sb.path(out_rel).c_str());
    }
    return r;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&fa, err_fd, STDERR_FILENO);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out_fd);
  close(err_fd);
  if (rc == 0) {
    r.status = reap(pid, timeout_s);
    r.out = sb.read(out_rel);
    r.err = sb.read(err_rel);
  } else {
    r.err = "run_program: cannot run " + argv[0] + ": " + strerror(rc);
  }
  unlink(sb.path(out_rel).c_str());
  unlink(sb.path(err_rel).c_str());
  return r;
}

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold spaces and parentheses: the fields start after the last ')'.
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream fields(text.substr(close_paren + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void service_hook(const sandbox& sb, const std::string& script) {
  mkdir(sb.path("sbin").c_str(), 0755);  // may exist already
  sb.write("sbin/service-event", script);
  if (chmod(sb.path("sbin/service-event").c_str(), 0755) != 0)
    throw std::runtime_error("cannot make the service hook executable: " +
                             std::string(strerror(errno)));
}

}  // namespace kivtest
