// The parts of the platform seam that are plain POSIX and the same on the host and on the router:
// clocks, scaled pauses and the alarm, the console device, and the processes the daemon starts.
// Each variant supplies kiv_path() and platform_time_scale(); everything here builds on them.
#include "platform/platform_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace {

long long ns_of(const struct timespec& ts) {
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A wait's length as a time_t holds it: a longer one (a huge setting, a 32-bit time_t) would wrap
// to a negative count, which the system refuses, and the wait would end at once.
double bounded_wait(double seconds) {
  constexpr double kLongest = 1e9;                                     // about 31 years
  return seconds > 0 ? (seconds < kLongest ? seconds : kLongest) : 0;  // NaN: no wait
}

struct timespec timespec_of(double seconds) {
  seconds = bounded_wait(seconds);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  return ts;
}

// The program a child runs: argv[0] itself when it names a path, else the first executable
// regular file of that name in PATH. Looked up before the fork, so that a program that cannot
// be found is a start that fails, not a child that dies.
std::string find_program(const std::string& name) {
  struct stat st;
  auto runnable = [&st](const std::string& p) {
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string::npos) return runnable(name) ? name : std::string();
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/bin:/usr/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    if (runnable(dir + "/" + name)) return dir + "/" + name;
    start = end + 1;
  }
  return std::string();
}

// Starts argv with standard output to out_fd (when not -1). The child runs with default signal
// handling and an empty mask (the daemon's worker threads block its signals and the daemon
// ignores a few) and is killed when the thread that started it ends.
pid_t spawn_child(const std::vector<std::string>& argv, int out_fd) {
  if (argv.empty()) return -1;
  const std::string program = find_program(argv[0]);
  if (program.empty()) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
    // The child: async-signal-safe calls only, up to the exec.
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
  if (getppid() != parent) _exit(127);  // the parent was gone before the death signal was set
  // A pipe end that already is fd 1 (the daemon started with its standard output closed) keeps
  // its close-on-exec flag through dup2: clear it instead.
  if (out_fd == STDOUT_FILENO) fcntl(out_fd, F_SETFD, 0);
  if (out_fd >= 0 && out_fd != STDOUT_FILENO) dup2(out_fd, STDOUT_FILENO);
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(program.c_str(), args.data());
  _exit(127);
}

}  // namespace

// ---- Clocks and waits ------------------------------------------------------------------------

long long monotonic_coarse_ns() {
  struct timespec ts;
#ifdef CLOCK_MONOTONIC_COARSE
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#else
  clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
  return ns_of(ts);
}

long long monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ns_of(ts);
}

double seconds_since(long long start_ns) {
  return static_cast<double>(monotonic_ns() - start_ns) / 1e9;
}

bool poll_readable_for(int fd, double seconds) {
  if (seconds <= 0) return false;
  const long long start = monotonic_ns();
  for (;;) {
    double left = seconds - seconds_since(start);
    if (left <= 0) return false;
    double ms = left * 1000.0 + 0.999;
    struct pollfd pfd = {fd, POLLIN, 0};
    int rc = poll(&pfd, 1, ms > 2147483647.0 ? 2147483647 : static_cast<int>(ms));
    if (rc > 0) return (pfd.revents & (POLLIN | POLLHUP)) != 0;
    if (rc == 0) continue;  // the time is up, or nearly: looked at again above
    if (errno != EINTR) return false;
  }
}

void kiv_sleep(double seconds) {
  const double scaled = seconds * platform_time_scale();
  if (scaled <= 0) return;
  struct timespec ts = timespec_of(scaled);
  nanosleep(&ts, nullptr);  // a signal ends the pause early, as sleep() does
}

bool kiv_wait_readable(int fd, double seconds) {
  return poll_readable_for(fd, seconds * platform_time_scale());
}

void kiv_alarm(double seconds) {
  const double scaled = bounded_wait(seconds * platform_time_scale());
  struct itimerval it;
  memset(&it, 0, sizeof it);
  it.it_value.tv_sec = static_cast<time_t>(scaled);
  it.it_value.tv_usec =
      static_cast<suseconds_t>((scaled - static_cast<double>(it.it_value.tv_sec)) * 1e6);
  if (it.it_value.tv_sec == 0 && it.it_value.tv_usec == 0) it.it_value.tv_usec = 1;
  setitimer(ITIMER_REAL, &it, nullptr);
}

int64_t platform_time() {
#ifdef SYS_clock_gettime64
  // A 32-bit time_t's time() fails (EOVERFLOW) past 2038 where the C library checks: ask the
  // kernel's 64-bit clock, where it has one.
  if (sizeof(time_t) < 8) {
    struct {
      long long sec;
      long long nsec;
    } ts{};
    if (syscall(SYS_clock_gettime64, CLOCK_REALTIME, &ts) == 0) return ts.sec;
  }
#endif
  return seconds_since_1970(static_cast<int64_t>(time(nullptr)), 8 * sizeof(time_t));
}

int64_t seconds_since_1970(int64_t reading, int bits) {
  return bits < 64 ? static_cast<int64_t>(static_cast<uint32_t>(reading)) : reading;
}

bool local_calendar(int64_t seconds, struct tm* out) {
  // From 1901 to 2099 the calendar repeats every 28 years, days of the week included (so the time
  // zone's rules do too): a time past what time_t holds is read 28 years back, as often as it
  // takes.
  constexpr int64_t kCycle = 883612800;  // 28 years of seconds
  constexpr int64_t kMax = sizeof(time_t) < 8 ? INT32_MAX : INT64_MAX;
  const int64_t cycles = seconds > kMax ? (seconds - kMax - 1) / kCycle + 1 : 0;
  if (cycles > 1000) return false;  // beyond any year a tm holds
  seconds -= cycles * kCycle;       // a count, not a loop: the kernel's clock may say any year
  const time_t t = static_cast<time_t>(seconds);
  if (!localtime_r(&t, out)) return false;
  out->tm_year += static_cast<int>(28 * cycles);
  return true;
}

// ---- The console -----------------------------------------------------------------------------

void console_write(const char* data, size_t len) {
  const std::string path = kiv_path("/dev/console");
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_APPEND | O_NOCTTY | O_CLOEXEC);
  int out = fd > 0 ? fd : STDERR_FILENO;  // descriptor 0 is no console
  ssize_t r = write(out, data, len);
  (void)r;
  if (fd >= 0) close(fd);
}

// ---- Processes -------------------------------------------------------------------------------

child_process::child_process(child_process&& other) noexcept
    : pid(std::exchange(other.pid, -1)), fd(std::exchange(other.fd, -1)) {}

child_process& child_process::operator=(child_process&& other) noexcept {
  if (this != &other) {
    stop(1.0);
    pid = std::exchange(other.pid, -1);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

child_process::~child_process() {
  stop(1.0);
}

int child_process::wait(double seconds) {
  if (fd >= 0) close(fd);
  fd = -1;
  if (pid <= 0) return -1;
  const long long start = monotonic_ns();
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      pid = -1;
      return -1;
    }
    double left = seconds - seconds_since(start);
    if (left <= 0) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      pid = -1;
      return -1;
    }
    struct timespec ts = timespec_of(left < 0.01 ? left : 0.01);
    nanosleep(&ts, nullptr);
  }
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void child_process::stop(double grace) {
  if (pid > 0) kill(pid, SIGTERM);
  wait(grace);
}

child_process spawn_reader(const std::vector<std::string>& argv) {
  child_process c;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return c;
  c.pid = spawn_child(argv, fds[1]);
  close(fds[1]);
  if (c.pid < 0)
    close(fds[0]);
  else
    c.fd = fds[0];
  return c;
}

int run_and_wait(const std::vector<std::string>& argv, double timeout_seconds) {
  child_process c;
  c.pid = spawn_child(argv, -1);
  return c.wait(timeout_seconds);
}

// The command name is the text between the first '(' and the last ')' of /proc/PID/stat,
// which every kernel the router may run provides.
bool platform_process_is_kiv(pid_t pid) {
  if (pid <= 0) return false;
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat_text[256];
  ssize_t n = read(fd, stat_text, sizeof stat_text - 1);
  close(fd);
  if (n <= 0) return false;
  stat_text[n] = '\0';
  char* open_paren = strchr(stat_text, '(');
  char* close_paren = strrchr(stat_text, ')');
  if (!open_paren || !close_paren || close_paren < open_paren) return false;
  *close_paren = '\0';
  return strcmp(open_paren + 1, "kiv") == 0;
}

int open_unblocked(const char* path, int flags, mode_t mode) {
  // Cut only once the file is known to be kiv's: O_TRUNC at the open would cut whatever a hard
  // link planted at the path leads to.
  const bool cut = (flags & O_TRUNC) != 0;
  int fd = open(path, (flags & ~O_TRUNC) | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0 && errno == ENXIO) errno = EINVAL;  // a FIFO opened for writing with no reader
  if (fd < 0) return -1;
  struct stat st;
  // A regular file to write that has another name as well is a hard link someone planted (kiv
  // makes none): writing it would cut or fill a file elsewhere, /etc/passwd as like as not.
  const bool writes = (flags & O_ACCMODE) != O_RDONLY;
  if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
      (writes && S_ISREG(st.st_mode) && st.st_nlink > 1) ||
      (cut && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  // Reads and writes block as usual again (a regular file never waits; a device may).
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}
