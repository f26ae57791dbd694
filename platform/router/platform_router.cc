// The router variant of the platform seam: forwards to the firmware's own C libraries (the
// settings library and the shared utility library) and uses the real paths, unscaled pauses
// and the router's own programs. KIV_PLATFORM=router links it against the firmware's libraries.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/platform_posix.h"

extern char** environ;

// The firmware's C interfaces. Declared inside a namespace so that they do not clash with the
// C++ names of the seam, which share their spelling but not their types.
namespace firmware {
extern "C" {
char* nvram_get(const char* name);
int nvram_set(const char* name, const char* value);
int nvram_get_int(const char* name);
int nvram_set_int(const char* name, int value);
int nvram_unset(const char* name);
void logmessage_normal(const char* logheader, const char* fmt, ...);
void cprintf(const char* fmt, ...);
int notify_rc_and_wait_2min(const char* event_name);
int check_if_file_exist(const char* path);
char* trimNL(char* text);
}
}  // namespace firmware

namespace {

// A child with default signal handling and an empty mask: the daemon's worker threads block the
// daemon's signals, and a child must not inherit that.
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

// ---- Settings store ------------------------------------------------------------------------

std::optional<std::string> nvram_get(const char* key) {
  if (!key) return std::nullopt;
  const char* value = firmware::nvram_get(key);
  if (!value) return std::nullopt;
  return std::string(value);  // the store's text is copied at once
}

std::string nvram_safe_get(const char* key) {
  return nvram_get(key).value_or(std::string());
}

bool nvram_match(const char* key, const char* value) {
  if (!key || !value) return false;
  const char* stored = firmware::nvram_get(key);
  return stored && strcmp(stored, value) == 0;
}

void nvram_set(const char* key, const char* value) {
  if (!key) return;
  firmware::nvram_set(key, value ? value : "");
}

int nvram_get_int(const char* key) {
  return key ? firmware::nvram_get_int(key) : 0;
}

void nvram_set_int(const char* key, int value) {
  if (key) firmware::nvram_set_int(key, value);
}

void nvram_unset(const char* key) {
  if (key) firmware::nvram_unset(key);
}

// The router's own tool lists the store; its output is read directly, never through a shell.
std::vector<std::pair<std::string, std::string>> nvram_show() {
  std::vector<std::pair<std::string, std::string>> pairs;
  spawned_reader reader = spawn_reader({"nvram", "show"});
  if (reader.pid < 0) return pairs;
  std::string text;
  char chunk[512];
  for (;;) {
    ssize_t n = read(reader.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  close(reader.fd);
  int status = 0;
  while (waitpid(reader.pid, &status, 0) < 0 && errno == EINTR) {
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0)
      pairs.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    start = end + 1;
  }
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

// ---- Shared utility library ----------------------------------------------------------------

void logmessage_normal(const char* tag, const char* fmt, ...) {
  char message[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message, sizeof message, fmt, ap);
  va_end(ap);
  // The formatted text goes on as an argument, never as a format.
  firmware::logmessage_normal(tag ? tag : "kiv", "%s", message);
}

void cprintf(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  firmware::cprintf("%s", buf);
}

void console_write(const char* data, size_t len) {
  int fd = open("/dev/console", O_WRONLY | O_NONBLOCK | O_APPEND | O_NOCTTY | O_CLOEXEC);
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

void notify_rc_and_wait_2min(const char* event) {
  if (event) firmware::notify_rc_and_wait_2min(event);
}

// The router's reboot, through the shell with a fixed command text (no outside input).
void platform_reboot() {
  run_and_wait({"/bin/sh", "-c", "reboot"}, 120.0);
}

int check_if_file_exist(const char* path) {
  return path ? firmware::check_if_file_exist(path) : 0;
}

char* trimNL(char* text) {
  return text ? firmware::trimNL(text) : text;
}

// ---- Paths, time and processes -------------------------------------------------------------

std::string kiv_path(const char* logical_path) {
  return logical_path ? logical_path : "";
}

void platform_reload_env() {}

unsigned platform_env_generation() {
  return 1;
}

void kiv_sleep(double seconds) {
  if (seconds <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  nanosleep(&ts, nullptr);  // a signal ends the pause early, as sleep() does
}

bool kiv_wait_readable(int fd, double seconds) {
  return poll_readable_for(fd, seconds);
}

void kiv_alarm(double seconds) {
  struct itimerval it;
  memset(&it, 0, sizeof it);
  it.it_value.tv_sec = static_cast<time_t>(seconds);
  it.it_value.tv_usec =
      static_cast<suseconds_t>((seconds - static_cast<double>(it.it_value.tv_sec)) * 1e6);
  if (it.it_value.tv_sec == 0 && it.it_value.tv_usec == 0) it.it_value.tv_usec = 1;
  setitimer(ITIMER_REAL, &it, nullptr);
}

std::string uptime_path() {
  return "/proc/uptime";
}

int64_t platform_time() {
  return static_cast<int64_t>(time(nullptr));
}

std::string platform_ca_bundle() {
  return std::string();
}

spawned_reader spawn_reader(const std::vector<std::string>& argv) {
  spawned_reader r;
  if (argv.empty()) return r;
  int fds[2];
  if (pipe(fds) != 0) return r;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
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
