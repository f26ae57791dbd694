// The host platform: kiv off the router. Fixed paths below $KIV_ROOT, pauses scaled by
// $KIV_TIME_SCALE, service events and reboot recorded in tmp/service_events.log and handed to
// optional hook programs in sbin/, the system log appended to tmp/syslog.log.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/settings_store.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"

extern char** environ;

namespace {

struct host_env {
  std::string root;
  double time_scale = 1.0;
};

std::mutex env_mutex;
host_env* env_cache = nullptr;
// Caches a reload replaced. They stay alive, because env() hands out references that a caller
// may still hold; only tests reload, a few times per process.
std::vector<std::unique_ptr<host_env>> retired_envs;
std::atomic<unsigned> env_generation{1};
std::atomic<bool> env_ready{false};  // env_cache has been made once
// Read by kiv_alarm from a signal handler: kept apart from the mutex-guarded cache, and in a
// type whose atomic needs no lock on 32-bit targets (a double's would take one there).
std::atomic<float> alarm_scale{1.0f};
static_assert(std::atomic<float>::is_always_lock_free, "alarm_scale is read in a signal handler");

host_env read_env() {
  host_env e;
  const char* root = getenv("KIV_ROOT");
  if (root && *root) e.root = root;
  while (e.root.size() > 1 && e.root.back() == '/') e.root.pop_back();
  const char* scale = getenv("KIV_TIME_SCALE");
  if (scale && *scale) {
    char* end = nullptr;
    double v = strtod(scale, &end);
    if (end != scale && std::isfinite(v) && v > 0) e.time_scale = v;
  }
  return e;
}

const host_env& env() {
  std::lock_guard<std::mutex> lock(env_mutex);
  if (!env_cache) {
    env_cache = new host_env(read_env());
    alarm_scale.store(static_cast<float>(env_cache->time_scale));
    env_ready.store(true, std::memory_order_release);
  }
  return *env_cache;
}

void format_time_prefix(char* out, size_t size) {
  time_t now = time(nullptr);
  struct tm tm_local;
  localtime_r(&now, &tm_local);
  strftime(out, size, "%b %e %H:%M:%S", &tm_local);
}

// Appends `text` to a file below the root; the file is created but no directory is.
void append_to(const char* logical_path, const std::string& text) {
  std::string path = kiv_path(logical_path);
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t r = write(fd, text.data(), text.size());
  (void)r;
  close(fd);
}

bool is_executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Starts a child with default signal handling and an empty signal mask: the daemon's worker
// threads block the daemon's signals, and a child must not inherit that.
pid_t spawn_child(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

}  // namespace

// ---- Paths, time, processes --------------------------------------------------------------

std::string kiv_path(const char* logical_path) {
  if (!logical_path) return std::string();
  const host_env& e = env();
  if (logical_path[0] != '/' || e.root.empty()) return logical_path;
  return e.root + logical_path;
}

void platform_reload_env() {
  {
    std::lock_guard<std::mutex> lock(env_mutex);
    retired_envs.emplace_back(env_cache);
    env_cache = new host_env(read_env());
    alarm_scale.store(static_cast<float>(env_cache->time_scale));
    env_generation.fetch_add(1);
  }
  // Outside env_mutex: a settings read holds the store's mutex while it asks for a path, so
  // taking the two the other way round here could deadlock.
  settings_store_reset();
}

// Asked at every log record and settings read: no lock once the environment has been read.
unsigned platform_env_generation() {
  if (!env_ready.load(std::memory_order_acquire)) env();
  return env_generation.load(std::memory_order_acquire);
}

void kiv_sleep(double seconds) {
  double scaled = seconds * env().time_scale;
  if (scaled <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(scaled);
  ts.tv_nsec = static_cast<long>((scaled - static_cast<double>(ts.tv_sec)) * 1e9);
  nanosleep(&ts, nullptr);  // a signal ends the pause early, as sleep() does
}

bool kiv_wait_readable(int fd, double seconds) {
  return poll_readable_for(fd, seconds * env().time_scale);
}

void kiv_alarm(double seconds) {
  double scaled = seconds * static_cast<double>(alarm_scale.load());
  struct itimerval it;
  memset(&it, 0, sizeof it);
  it.it_value.tv_sec = static_cast<time_t>(scaled);
  it.it_value.tv_usec =
      static_cast<suseconds_t>((scaled - static_cast<double>(it.it_value.tv_sec)) * 1e6);
  if (it.it_value.tv_sec == 0 && it.it_value.tv_usec == 0) it.it_value.tv_usec = 1;
  setitimer(ITIMER_REAL, &it, nullptr);
}

std::string uptime_path() {
  std::string test_clock = kiv_path("/proc/uptime");
  if (!env().root.empty() && access(test_clock.c_str(), F_OK) == 0) return test_clock;
  return "/proc/uptime";
}

int64_t platform_time() {
  return static_cast<int64_t>(time(nullptr));
}

std::string platform_ca_bundle() {
  const char* bundle = getenv("KIV_CA_BUNDLE");
  return bundle ? std::string(bundle) : std::string();
}

spawned_reader spawn_reader(const std::vector<std::string>& argv) {
  spawned_reader r;
  if (argv.empty()) return r;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid = spawn_child(argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return r;
  }
  r.pid = pid;
  r.fd = fds[0];
  return r;
}

int run_and_wait(const std::vector<std::string>& argv, double timeout_seconds) {
  if (argv.empty()) return -1;
  pid_t pid = spawn_child(argv, nullptr);
  if (pid < 0) return -1;
  const long long start = monotonic_ns();
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0 && errno != EINTR) return -1;
    if (seconds_since(start) >= timeout_seconds) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    struct timespec ts = {0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
}

bool platform_process_is_kiv(pid_t pid) {
  if (pid <= 0) return false;
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/comm", static_cast<long>(pid));
  FILE* f = fopen(path, "re");
  if (!f) return false;
  char comm[64] = {0};
  bool is_kiv = fgets(comm, sizeof comm, f) != nullptr;
  fclose(f);
  if (!is_kiv) return false;
  trimNL(comm);
  return strcmp(comm, "kiv") == 0;
}

// ---- Shared utility library ----------------------------------------------------------------

void logmessage_normal(const char* tag, const char* fmt, ...) {
  char message[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message, sizeof message, fmt, ap);
  va_end(ap);
  size_t len = strlen(message);
  if (len > 0 && message[len - 1] == '\n') message[len - 1] = '\0';
  char stamp[32];
  format_time_prefix(stamp, sizeof stamp);
  std::string line = std::string(stamp) + " " + (tag ? tag : "") + ": " + message + "\n";
  append_to("/tmp/syslog.log", line);
}

void console_write(const char* data, size_t len) {
  std::string path = kiv_path("/dev/console");
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_APPEND | O_NOCTTY | O_CLOEXEC);
  if (fd > 0) {
    ssize_t r = write(fd, data, len);
    (void)r;
    close(fd);
    return;
  }
  if (fd == 0) close(fd);
  ssize_t r = write(STDERR_FILENO, data, len);
  (void)r;
}

void cprintf(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  console_write(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

void notify_rc_and_wait_2min(const char* event) {
  if (!event) return;
  append_to("/tmp/service_events.log", std::string(event) + "\n");
  std::string hook = kiv_path("/sbin/service-event");
  if (is_executable(hook)) run_and_wait({hook, event}, 120.0);
}

void platform_reboot() {
  append_to("/tmp/service_events.log", "reboot\n");
  std::string hook = kiv_path("/sbin/reboot");
  if (is_executable(hook)) run_and_wait({hook}, 120.0);
}

int check_if_file_exist(const char* path) {
  if (!path) return 0;
  struct stat st;
  return lstat(kiv_path(path).c_str(), &st) == 0 ? 1 : 0;
}

char* trimNL(char* text) {
  if (!text) return text;
  size_t len = strlen(text);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) text[--len] = '\0';
  return text;
}
