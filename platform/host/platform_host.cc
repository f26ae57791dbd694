// The host platform: kiv off the router. Fixed paths below $KIV_ROOT, pauses scaled by
// $KIV_TIME_SCALE, service events and reboot recorded in tmp/service_events.log and handed to
// optional hook programs in sbin/, the system log appended to tmp/syslog.log.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace {

struct host_env {
  std::string root;
  double time_scale = 1.0;
};

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

// Read once, at the first use: the daemon is started with its root and time scale, and the
// SIGALRM handler reads the scale (it has been read long before the first alarm).
const host_env& env() {
  static const host_env e = read_env();
  return e;
}

void format_time_prefix(char* out, size_t size) {
  struct tm tm_local {};
  local_calendar(platform_time(), &tm_local);
  strftime(out, size, "%b %e %H:%M:%S", &tm_local);
}

// Appends `text` to a file below the root; the file is created but no directory is.
void append_to(const char* logical_path, const std::string& text) {
  std::string path = kiv_path(logical_path);
  int fd = open_unblocked(path.c_str(), O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) return;
  ssize_t r = write(fd, text.data(), text.size());
  (void)r;
  close(fd);
}

}  // namespace

// ---- Paths and time ------------------------------------------------------------------------

std::string kiv_path(const char* logical_path) {
  if (!logical_path) return std::string();
  const host_env& e = env();
  if (logical_path[0] != '/' || e.root.empty()) return logical_path;
  return e.root + logical_path;
}

double platform_time_scale() {
  return env().time_scale;
}

std::string uptime_path() {
  std::string test_clock = kiv_path("/proc/uptime");
  if (!env().root.empty() && access(test_clock.c_str(), F_OK) == 0) return test_clock;
  return "/proc/uptime";
}

std::string platform_ca_bundle() {
  const char* bundle = getenv("KIV_CA_BUNDLE");
  return bundle ? std::string(bundle) : std::string();
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
  // The hook runs only where it exists and is executable; the limit is never scaled.
  run_and_wait({kiv_path("/sbin/service-event"), event}, 120.0);
}

void platform_reboot() {
  append_to("/tmp/service_events.log", "reboot\n");
  run_and_wait({kiv_path("/sbin/reboot")}, 120.0);
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
